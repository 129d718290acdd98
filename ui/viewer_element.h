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

  int channel() const { return channel_; }
  const QString& statusText() const { return statusText_; }
  void setStatusText(const QString& text);
  // The selected tile wears a green frame over its picture.
  bool selected() const { return selected_; }
  void setSelected(bool selected);

  // The clock the age of the picture is measured with; tests move it on instead of waiting.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  void setClock(Clock clock);
  // The channel is live, but its last picture is kFrozenPictureAge old or older. Such a tile
  // repaints itself every second, so the age it shows keeps counting.
  bool showsFrozenPicture() const;

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
  bool paintPicture(QPainter& painter);
  void paintFrozenMarker(QPainter& painter, std::chrono::seconds age);
  void paintStatus(QPainter& painter);
  bool live() const;
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
