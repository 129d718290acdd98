#include "ui/skin_button.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "core/multi_language.h"

namespace ipcam::ui {

CCustomStaticButton::CCustomStaticButton(int id, QString tooltipKey, QWidget* parent)
    : QWidget(parent), id_(id), tooltipKey_(std::move(tooltipKey)) {
  setObjectName(QStringLiteral("button%1").arg(id));
  // Hover follows the pointer without a button held.
  setMouseTracking(true);
}

void CCustomStaticButton::setBitmaps(const std::array<QPixmap, 4>& bitmaps) {
  bitmaps_ = bitmaps;
  update();
}

void CCustomStaticButton::setHoverState(int state) {
  if (state == hoverState_) return;
  hoverState_ = state;
  update();
}

bool CCustomStaticButton::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const std::string text =
        CMultiLanguage::instance().text("TarsilDlg", tooltipKey_.toStdString());
    const auto* help = static_cast<QHelpEvent*>(event);
    if (text.empty()) {
      QToolTip::hideText();
    } else {
      QToolTip::showText(help->globalPos(), QString::fromStdString(text), this);
    }
    return true;
  }
  return QWidget::event(event);
}

void CCustomStaticButton::paintEvent(QPaintEvent* /*event*/) {
  const QPixmap& bitmap = bitmaps_[static_cast<std::size_t>(hoverState_)];
  if (bitmap.isNull()) return;
  QPainter painter(this);
  // A disabled pan/tilt button stays in place but fades, so the operator sees it does nothing.
  if (!isEnabled()) painter.setOpacity(0.4);
  painter.drawPixmap(0, 0, bitmap);
}

void CCustomStaticButton::mouseMoveEvent(QMouseEvent* event) {
  emit mouseMoved();
  setHoverState((event->buttons() & Qt::LeftButton) ? kPressed : kHover);
  event->accept();
}

void CCustomStaticButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  setHoverState(hoverState_ == kPressed ? kHover : kPressed);
  event->accept();
  emit clicked(id_);
}

void CCustomStaticButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  event->accept();
  emit released(id_);
}

void CCustomStaticButton::leaveEvent(QEvent* event) {
  // The pointer may leave over a tile or off the window, where no window move resets it.
  setHoverState(kNormal);
  QWidget::leaveEvent(event);
}

}  // namespace ipcam::ui
