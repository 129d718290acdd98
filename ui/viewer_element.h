#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QMenu;

namespace ipcam::ui {

class TileHost;

// A live picture this old is shown as frozen: dimmed, with its age in a corner.
inline constexpr std::chrono::seconds kFrozenPictureAge{3};

// One channel's tile in the video area: the newest picture of the channel, or black with the
// channel's status text. The user selects, swaps, enlarges and steers the channel here; what
// concerns the whole grid goes to the host (the main window).
class CViewerElement : public QWidget {
  Q_OBJECT

 public:
  CViewerElement(int channel, QWidget* parent, TileHost* host = nullptr);
  ~CViewerElement() override;

  int channel() const { return channel_; }
  const QString& statusText() const { return statusText_; }
  void setStatusText(const QString& text);
  // The selected tile wears a green frame over its picture.
  bool selected() const { return selected_; }
  void setSelected(bool selected);

  // The clock the age of the picture is measured with; tests move it on instead of waiting.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  void setClock(Clock clock);
  // The tile shows the channel's last picture as one that stopped: dimmed, with the time it
  // came. So it does for a live channel whose last picture is kFrozenPictureAge old or older,
  // and for a channel that is connecting again or was disconnected, whatever the age. A shown
  // tile repaints itself when its live picture turns that old.
  bool showsFrozenPicture() const;
  // How long the live picture on show has until it counts as frozen (zero or less: it does);
  // nullopt when the channel is not live or has no picture.
  std::optional<std::chrono::steady_clock::duration> timeUntilFrozen() const;
  // Whether the one timer that watches every tile's live picture for the moment it freezes is
  // armed: only while some shown tile paints a live picture.
  static bool frozenMarkerTimerArmed();
  // What the frozen picture's marker says ("No picture since 10:41:07"); empty when the tile
  // shows no frozen picture.
  QString frozenMarkerText() const;

  // What the tooltip says of a live channel: the camera's picture size, pictures per second
  // received and shown, and the bit rate ("640x480 · 25/25 fps · 3.1 Mbit/s"); empty when
  // the channel is not live.
  QString statusLine() const;

  // The context menu for the channel's current state; each action carries its command id as
  // its data.
  std::unique_ptr<QMenu> createContextMenu();
  // Runs a context-menu command on this tile's channel.
  void runCommand(int command);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  // Tells the channel's decoding how large the tile is on screen, or that it is not.
  void reportTileSize();
  // `stopped`: the channel is not live, and its picture is painted as the last one it had.
  bool paintPicture(QPainter& painter, bool stopped);
  void paintFrozenMarker(QPainter& painter, const QString& text);
  void paintStatusOverPicture(QPainter& painter);
  void paintStatus(QPainter& painter);
  bool live() const;
  // Connecting again or disconnected: the tile keeps the last picture, if there is one.
  bool keepsLastPicture() const;
  // How long ago the last picture was shown; nullopt without one.
  std::optional<std::chrono::steady_clock::duration> pictureAge() const;
  void select();
  void swapWithSelectedTile(QMouseEvent* event);
  CViewerElement* tileAt(QPoint localPosition) const;

  const int channel_;
  TileHost* host_ = nullptr;
  QString statusText_;
  bool selected_ = false;
  Clock clock_ = &std::chrono::steady_clock::now;
};

}  // namespace ipcam::ui
