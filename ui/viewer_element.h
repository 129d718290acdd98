#pragma once

#include <QString>
#include <QWidget>
#include <memory>

class QMenu;

namespace ipcam::ui {

class TileHost;

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

  // The context menu for the channel's current state; each action carries its command id as
  // its data.
  std::unique_ptr<QMenu> createContextMenu();
  // Runs a context-menu command on this tile's channel.
  void runCommand(int command);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool paintPicture(QPainter& painter);
  void paintStatus(QPainter& painter);
  void select();
  void swapWithSelectedTile(QMouseEvent* event);
  CViewerElement* tileAt(QPoint localPosition) const;

  const int channel_;
  TileHost* host_ = nullptr;
  QString statusText_;
  bool selected_ = false;
};

}  // namespace ipcam::ui
