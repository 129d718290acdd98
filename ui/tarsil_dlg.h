#pragma once

#include <QPixmap>
#include <QSize>
#include <QWidget>
#include <array>
#include <optional>
#include <string>

#include "app/channel_count.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace ipcam::ui {

class CViewerElement;
class QtViewerUi;

// The main window: borderless, shaped and sized by its background bitmap, with the 16 tiles
// in the video area, the language choice, the version label and the event log.
class CTarsilDlg : public QWidget {
  Q_OBJECT

 public:
  explicit CTarsilDlg(QtViewerUi& ui);
  ~CTarsilDlg() override;

  // The start-up sequence. False when the program must end (screen too small, no background
  // bitmap); the reason has been shown. `screen` is the primary screen's size.
  bool initialize(QSize screen);

  // Saves the settings, stops every thread and releases the channels; runs once, however the
  // window goes away (close, power button, signal, end of the desktop session).
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
  QListWidget* eventLog() const { return eventLog_; }
  QComboBox* languageCombo() const { return languageCombo_; }

  // Video area of the window.
  static constexpr int kVideoLeft = 60;
  static constexpr int kVideoTop = 60;
  static constexpr int kVideoWidth = 640;
  static constexpr int kVideoHeight = 480;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool start(QSize screen);
  bool loadSkin();
  void createTiles();
  void createControls();
  void fillLanguageCombo();
  void applyLanguage(int comboIndex);

  QtViewerUi& ui_;
  QPixmap background_;
  std::array<CViewerElement*, kChannelCount> tiles_{};
  QComboBox* languageCombo_ = nullptr;
  QLabel* versionLabel_ = nullptr;
  QListWidget* eventLog_ = nullptr;
  QPushButton* powerButton_ = nullptr;
  bool recordingOn_ = false;
  bool initializing_ = false;
  bool closeRequested_ = false;
  bool shutDown_ = false;
};

}  // namespace ipcam::ui
