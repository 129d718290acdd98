#pragma once

#include <QPixmap>
#include <QSize>
#include <QWidget>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/channel_count.h"
#include "ui/tile_host.h"

class QComboBox;
class QFrame;
class QLabel;
class QListWidget;

namespace ipcam::ui {

class CCustomStaticButton;
class CDisplayFrame;
class CViewerElement;
class QtViewerUi;

// Control ids of the main window's skinned buttons and menu commands.
enum ButtonId : int {
  kButtonOneDivision = 1178,
  kButtonFourDivision = 1170,
  kButtonSixDivision = 1173,
  kButtonEightDivision = 1174,
  kButtonNineDivision = 1171,
  kButtonTenDivision = 1175,
  kButtonThirteenDivision = 1176,
  kButtonSixteenDivision = 1172,
  kButtonFullScreen = 1179,
  kButtonScan = 1177,
  kButtonZoomIn = 1180,
  kButtonZoomOut = 1181,
  kButtonPtLeftUp = 1182,
  kButtonPtRightDown = 1190,
  kButtonSetup = 1165,
  kButtonPlayback = 1168,
  kButtonSnapshot = 1166,
  kButtonStartRecord = 1167,
  kButtonStopRecord = 1169,
  kButtonMinimize = 1163,
  kButtonPower = 1164,
};
inline constexpr int kMenuConfigureCameras = 32771;
inline constexpr int kMenuGeneralOptions = 32772;
inline constexpr int kSkinButtonCount = 28;

// The main window: borderless, shaped and sized by its background bitmap, with the 16 tiles
// in the video area, the language choice, the version label and the event log.
class CTarsilDlg : public QWidget, public TileHost {
  Q_OBJECT

 public:
  explicit CTarsilDlg(QtViewerUi& ui);
  ~CTarsilDlg() override;

  // The start-up sequence. False when the program must end (screen too small, no background
  // bitmap); the reason has been shown. `screen` is the primary screen's size.
  bool initialize(QSize screen);

  // The way out, however the window goes (close, power button, signal, end of the desktop
  // session): boxes still open are dismissed and waiting workers released, the settings are
  // saved, and every thread is stopped off the user-interface thread while the window keeps
  // painting; then the window closes. Runs once; returns at once.
  void startShutdown();
  bool shutdownFinished() const { return coreStopped_; }
  // The same, waiting for the end: for when the event loop is gone or going (the window's
  // destructor, the application's last moments). Still handles window events while it waits,
  // except from the destructor.
  void shutdown();

  // Closing asked for from outside the window (a signal, the end of the desktop session).
  // During start-up it is remembered, open boxes are dismissed, and the start-up ends at once.
  void requestClose();
  bool closeRequested() const { return closeRequested_; }

  // Targets of QtViewerUi, on the user-interface thread.
  void showChannelStatus(int channel, int code, const std::optional<std::string>& text);
  void insertEventLogLine(const std::string& line);
  void repaintTile(int channel);
  void setRecordingOn(bool on);

  CViewerElement* tile(int channel) const;
  CCustomStaticButton* button(int id) const;
  QListWidget* eventLog() const { return eventLog_; }
  QComboBox* languageCombo() const { return languageCombo_; }
  bool scanning() const;

  // The layouts (1, 4, 6, 8, 9, 10, 13 or 16 tiles) in the current video area; they stop the
  // scan first.
  void applyLayout(int tiles);
  void setFullScreen(bool on);
  // The commands of the setup button's menu.
  void runMenuCommand(int command);

  // TileHost.
  void selectTile(int channel) override;
  int selectedChannel() const override;
  void updatePtzButtons(int channel) override;
  void showOneTileFullScreen() override;
  bool fullScreen() const override { return fullScreen_; }
  void swapTiles(int channelA, int channelB) override;
  void configureCameras() override;

  // Video area of the window.
  static constexpr int kVideoLeft = 60;
  static constexpr int kVideoTop = 60;
  static constexpr int kVideoWidth = 640;
  static constexpr int kVideoHeight = 480;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool start(QSize screen);
  bool loadSkin();
  void createTiles();
  void createControls();
  void createButtons();
  QPixmap skinBitmap(const QString& file);
  void fillLanguageCombo();
  void applyLanguage(int comboIndex);
  // Tells every other top-level window (open dialogs) that the language changed.
  void retranslateOpenWindows();

  void onButtonClicked(int id);
  void onButtonReleased(int id);
  void resetButtons();
  void stopScan();
  void toggleScan();
  void applyOneTile();
  // `channel`'s tile alone fills the video area.
  void showSingle(int channel);
  void setVisibleTiles(int tiles);
  void openSetupMenu();
  // With no camera configured, the event log says where cameras are added.
  void hintFirstCamera();
  void takeSnapshot();
  void openPlayback();
  void startRecording();
  void stopRecording();
  void sendPtzButton(int id);
  void placeRecordButtons();
  // Closes every box, dialog and menu that is open, so that no nested event loop holds up the
  // exit.
  void dismissOpenBoxes();
  // The core has stopped: nothing more reaches the window; it closes when `closeWindow`.
  void finishShutdown(bool closeWindow);

  QtViewerUi& ui_;
  QPixmap background_;
  QSize screen_;
  std::array<CViewerElement*, kChannelCount> tiles_{};
  std::array<CCustomStaticButton*, kSkinButtonCount> buttons_{};
  std::map<QString, QPixmap> bitmapCache_;  // a missing file is reported once, then blank
  QWidget* placeholder_ = nullptr;
  QFrame* blackFrame_ = nullptr;
  QComboBox* languageCombo_ = nullptr;
  QLabel* versionLabel_ = nullptr;
  QListWidget* eventLog_ = nullptr;
  std::unique_ptr<CDisplayFrame> displayFrame_;
  int videoWidth_ = kVideoWidth;
  int videoHeight_ = kVideoHeight;
  bool fullScreen_ = false;
  bool recordingOn_ = false;
  bool initializing_ = false;
  bool closeRequested_ = false;
  bool shutdownStarted_ = false;
  bool coreStopped_ = false;
  bool destroying_ = false;
};

}  // namespace ipcam::ui
