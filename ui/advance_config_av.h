#pragma once

#include "ui/advance_config_camera_page.h"

class QCheckBox;
class QGroupBox;

namespace ipcam::ui {

// The camera's sound: mute it live, and record the picture without it.
class CAdvanceConfigAV : public CAdvanceConfigCameraPage {
  Q_OBJECT

 public:
  explicit CAdvanceConfigAV(QWidget* parent = nullptr);

  void take() override;
  void showChannel(int channel) override;
  // Only a model with sound can change them; record-video-only waits while the channel records.
  void enable() override;
  bool apply() override;
  void retranslateUi() override;

  QCheckBox* muteAudio() const { return mute_; }
  QCheckBox* recordVideoOnly() const { return videoOnly_; }

 private:
  QGroupBox* group_ = nullptr;
  QCheckBox* mute_ = nullptr;
  QCheckBox* videoOnly_ = nullptr;
};

}  // namespace ipcam::ui
