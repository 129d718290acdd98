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

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const int channel_;
  QString statusText_;
};

}  // namespace ipcam::ui
