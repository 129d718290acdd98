#pragma once

#include <QDialog>
#include <array>
#include <functional>

#include "ui/advance_config_setting.h"

class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;

namespace ipcam {
class ViewerUi;
}

namespace ipcam::ui {

class CAdvanceConfigAV;
class CAdvanceConfigMR;
class CAdvanceConfigCameraPage;
class CAdvanceConfigRecord;

// What OK does to a channel whose connection settings changed. The program posts the channel
// commands to the channel's command worker, so the window never waits for a channel's threads;
// tests record the calls instead.
struct ChannelActions {
  std::function<void(int channel)> stop;
  std::function<void(int channel)> restart;
  std::function<void(int channel)> start;
};
ChannelActions channelCommandActions();

// "Configure Cameras": the settings of all 16 cameras on four pages, edited in the editing
// copy. OK applies the pages, saves the settings file, stops, restarts or starts the channels
// whose connection changed and closes a second later; Cancel drops the copy.
class CAdvanceConfig : public QDialog {
  Q_OBJECT

 public:
  // Copies the live settings into the editing copy and shows `channel` (-1: the first).
  CAdvanceConfig(ViewerUi& ui, int channel, QWidget* parent = nullptr,
                 DiscoveryAccess discovery = lanDiscovery(),
                 ChannelActions actions = channelCommandActions());
  ~CAdvanceConfig() override;

  void accept() override;
  void reject() override;
  void done(int result) override;
  void retranslateUi();

  // Every page takes what it shows, then shows `channel` on the tab `tab`.
  void selectChannel(int channel);
  void selectTab(int tab);
  // True from OK until the dialog closes.
  bool closing() const { return closing_; }

  enum Tab : int { kTabCamera = 0, kTabSchedule = 1, kTabAudio = 2, kTabMotion = 3 };

  QListWidget* channelList() const { return channels_; }
  QTabWidget* tabs() const { return tabs_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  CAdvanceConfigSetting* settingPage() const { return setting_; }
  CAdvanceConfigRecord* recordPage() const { return record_; }
  CAdvanceConfigAV* avPage() const { return av_; }
  CAdvanceConfigMR* mrPage() const { return mr_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void switchPages(int channel);
  void runChannelActions();

  ViewerUi& ui_;
  ChannelActions actions_;
  QListWidget* channels_ = nullptr;
  QLabel* channelLabel_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  CAdvanceConfigSetting* setting_ = nullptr;
  CAdvanceConfigRecord* record_ = nullptr;
  CAdvanceConfigAV* av_ = nullptr;
  CAdvanceConfigMR* mr_ = nullptr;
  std::array<CAdvanceConfigCameraPage*, 4> pages_{};  // in the order OK applies them
  bool closing_ = false;
};

}  // namespace ipcam::ui
