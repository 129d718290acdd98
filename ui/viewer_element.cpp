#include "ui/viewer_element.h"

#include <QImage>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <ctime>
#include <memory>

#include "app/channel_record.h"
#include "media/channel_display.h"
#include "media/overlay_geometry.h"

namespace ipcam::ui {
namespace {

QColor qColor(OverlayColour colour) {
  return {colour.red, colour.green, colour.blue};
}

QString localTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, kTimeStampFormat, &local);
  return QString::fromLatin1(text, static_cast<qsizetype>(length));
}

QFont overlayFont(int pixelHeight, QFont::Weight weight) {
  QFont font(QStringLiteral("Arial"));
  // Where Arial is missing, any sans face of the system stands in.
  font.setStyleHint(QFont::SansSerif, QFont::PreferAntialias);
  font.setPixelSize(pixelHeight);
  font.setWeight(weight);
  return font;
}

void drawOverlayText(QPainter& painter, const QString& text, OverlayPoint at, int height,
                     QFont::Weight weight, QColor colour) {
  painter.setFont(overlayFont(height, weight));
  painter.setPen(colour);
  painter.drawText(QRect(at.x, at.y, 1 << 14, 1 << 14), Qt::AlignLeft | Qt::AlignTop, text);
}

void drawOverlayFrame(QPainter& painter, const OverlayFrame& frame, QColor colour) {
  QPen pen(colour);
  pen.setWidth(frame.penWidth);
  pen.setJoinStyle(Qt::MiterJoin);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  // The pen is centred on the outline from (left, top) to (right - 1, bottom - 1).
  painter.drawRect(
      QRectF(frame.left, frame.top, frame.right - 1 - frame.left, frame.bottom - 1 - frame.top));
}

}  // namespace

CViewerElement::CViewerElement(int channel, QWidget* parent) : QWidget(parent), channel_(channel) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setObjectName(QStringLiteral("tile%1").arg(channel + 1));
}

void CViewerElement::setStatusText(const QString& text) {
  if (text == statusText_) return;
  statusText_ = text;
  update();
}

void CViewerElement::setSelected(bool selected) {
  if (selected == selected_) return;
  selected_ = selected;
  update();
}

void CViewerElement::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  // Only a live channel shows its picture; while it connects or after it is lost, the last
  // picture would be a stale image, so the tile says what is going on instead.
  const int status = channelRecord(channel_).status.load();
  const bool live = status == kStatusLive || status == kStatusRecording;
  if (!live || !paintPicture(painter)) paintStatus(painter);
}

// The picture goes in stretched to the tile; the overlays are laid out in picture pixels
// under the same transform, so they stretch with it.
bool CViewerElement::paintPicture(QPainter& painter) {
  if (channel_ < 0 || channel_ >= kChannelCount) return false;
  const std::shared_ptr<ChannelDisplay> display = channelRecord(channel_).display;
  if (!display) return false;

  PictureView shown;
  const bool painted = display->withFrontPicture([&](const PictureView& picture) {
    shown = picture;
    const QImage image(picture.data, picture.width, picture.height, picture.stride,
                       QImage::Format_RGB32);
    painter.scale(static_cast<qreal>(width()) / picture.width,
                  static_cast<qreal>(height()) / picture.height);
    painter.drawImage(0, 0, image);
  });
  if (!painted) return false;

  const std::optional<OverlayLayout> layout = overlayLayout(shown.width, shown.height);
  if (!layout) return true;
  const PictureOverlay& overlay = shown.overlay;
  if (overlay.timeStamp) {
    drawOverlayText(painter, localTimeText(), layout->timeStamp, layout->timeStampFontHeight,
                    QFont::Normal, qColor(display->overlayTextColour()));
  }
  if (overlay.recording) {
    drawOverlayText(painter, QString::fromLatin1(kRecText), layout->rec, layout->recFontHeight,
                    QFont::DemiBold, qColor(kOverlayRed));
  }
  if (overlay.motion) drawOverlayFrame(painter, layout->motionFrame, qColor(kOverlayRed));
  if (selected_) drawOverlayFrame(painter, layout->selectionFrame, qColor(kOverlayGreen));
  return true;
}

void CViewerElement::paintStatus(QPainter& painter) {
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
