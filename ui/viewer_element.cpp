#include "ui/viewer_element.h"

#include <QPainter>

namespace ipcam::ui {

CViewerElement::CViewerElement(int channel, QWidget* parent) : QWidget(parent), channel_(channel) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setObjectName(QStringLiteral("tile%1").arg(channel + 1));
}

void CViewerElement::setStatusText(const QString& text) {
  if (text == statusText_) return;
  statusText_ = text;
  update();
}

void CViewerElement::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  painter.setPen(QColor(70, 70, 70));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  if (statusText_.isEmpty()) return;
  QFont font = painter.font();
  font.setPixelSize(std::max(11, std::min(height() / 10, 18)));
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(rect().adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap, statusText_);
}

}  // namespace ipcam::ui
