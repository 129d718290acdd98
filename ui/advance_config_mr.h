#pragma once

#include "ui/advance_config_camera_page.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QRadioButton;

namespace ipcam::ui {

// Motion recording of the camera: on or off, its length, the alarm and the mail.
class CAdvanceConfigMR : public CAdvanceConfigCameraPage {
  Q_OBJECT

 public:
  explicit CAdvanceConfigMR(QWidget* parent = nullptr);

  void take() override;
  void showChannel(int channel) override;
  // The length and both alerts only while Enable is chosen.
  void enable() override;
  bool apply() override;
  void retranslateUi() override;

  QRadioButton* enableButton() const { return enable_; }
  QRadioButton* disableButton() const { return disable_; }
  QComboBox* seconds() const { return seconds_; }
  QCheckBox* alarm() const { return alarm_; }
  QCheckBox* mail() const { return mail_; }

 private:
  QGroupBox* group_ = nullptr;
  QRadioButton* enable_ = nullptr;
  QRadioButton* disable_ = nullptr;
  QLabel* timeLabel_ = nullptr;
  QComboBox* seconds_ = nullptr;
  QLabel* secondsLabel_ = nullptr;
  QCheckBox* alarm_ = nullptr;
  QCheckBox* mail_ = nullptr;
};

}  // namespace ipcam::ui
