#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/ui_services.h"
#include "core/viewer_settings.h"
#include "ui/advance_config_camera_page.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace ipcam::ui {

// The LAN search as the camera page uses it. The program uses the process-wide discovery;
// tests hand in a list of their own.
struct DiscoveryAccess {
  std::function<void()> start;
  std::function<void()> stop;
  std::function<void()> refresh;
  std::function<DiscoverySnapshot(bool clearChanged)> snapshot;
  std::function<std::string(int model, int vendor, int third)> modelName;
};
DiscoveryAccess lanDiscovery();

// The video formats a camera type offers, in list order: "M-JPEG" always, then "MPEG-4" and
// "H.264" where the model has them. A camera's stored format is its position in this list.
std::vector<std::string> videoFormatChoices(int type);

// The connection settings of one camera, and the cameras found on the network.
class CAdvanceConfigSetting : public CAdvanceConfigCameraPage {
  Q_OBJECT

 public:
  // Starts the search; the list follows it on a timer while the page exists.
  explicit CAdvanceConfigSetting(DiscoveryAccess discovery, QWidget* parent = nullptr);
  ~CAdvanceConfigSetting() override;

  void take() override;
  void showChannel(int channel) override;
  void enable() override;
  // Sets each channel's change flags in the live settings from the differences between the
  // live and the edited connection settings, then copies the connection fields over.
  bool apply() override;
  void retranslateUi() override;

  // Ends the search; safe to call twice.
  void stopDiscovery();
  // "Button_Reset", "Button_Select" (and a double click in the list), "Button_Refresh".
  void resetCamera();
  void selectFoundCamera();
  void refreshSearch();
  // Brings the list up to date with the search; runs on the page's timer.
  void updateFoundCameras();

  struct Controls {
    QGroupBox* group = nullptr;
    QCheckBox* vosk = nullptr;
    QLineEdit* voskHost = nullptr;
    QLabel* voskSuffix = nullptr;
    QLineEdit* name = nullptr;
    QLineEdit* ip = nullptr;
    QLineEdit* webPort = nullptr;
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;
    QLineEdit* model = nullptr;
    QComboBox* videoFormat = nullptr;
    QPushButton* reset = nullptr;
    QGroupBox* searchGroup = nullptr;
    QTreeWidget* found = nullptr;
    QPushButton* select = nullptr;
    QPushButton* refresh = nullptr;
  };
  const Controls& controls() const { return c_; }

 private:
  QLabel* addLabel(const char* key);
  void fillVideoFormats(int type, int selected);

  DiscoveryAccess discovery_;
  bool discoveryRunning_ = false;
  Controls c_;
  std::vector<QLabel*> labels_;  // in the order of their keys below
  std::vector<DiscoveryEntry> found_;
  // The cameras as the sheet found them when it opened: tells a model the user chose here
  // from one the connection worker found meanwhile.
  std::array<CameraSettings, kChannelCount> opened_;
  QTimer* searchTimer_ = nullptr;
};

}  // namespace ipcam::ui
