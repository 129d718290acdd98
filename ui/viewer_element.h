#pragma once

#include <QString>
#include <QWidget>

namespace ipcam::ui {

// One channel's tile in the video area: the newest picture of the channel, or black with the
// channel's status text.
class CViewerElement : public QWidget {
  Q_OBJECT

 public:
  CViewerElement(int channel, QWidget* parent);

  int channel() const { return channel_; }
  const QString& statusText() const { return statusText_; }
  void setStatusText(const QString& text);
  // The selected tile wears a green frame over its picture.
  bool selected() const { return selected_; }
  void setSelected(bool selected);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool paintPicture(QPainter& painter);
  void paintStatus(QPainter& painter);

  const int channel_;
  QString statusText_;
  bool selected_ = false;
};

}  // namespace ipcam::ui
