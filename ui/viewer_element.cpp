#include "ui/viewer_element.h"

#include <QAction>
#include <QEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPointer>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "app/channel_commands.h"
#include "app/ui_services.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/channel_display.h"
#include "media/overlay_geometry.h"
#include "media/picture_stats.h"
#include "ui/tile_host.h"

namespace ipcam::ui {
namespace {

QColor qColor(OverlayColour colour) {
  return {colour.red, colour.green, colour.blue};
}

QString localTimeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, kTimeStampFormat, &local);
  return QString::fromLatin1(text, static_cast<qsizetype>(length));
}

QFont makeOverlayFont(int pixelHeight, QFont::Weight weight) {
  QFont font(QStringLiteral("Arial"));
  // Where Arial is missing, any sans face of the system stands in.
  font.setStyleHint(QFont::SansSerif, QFont::PreferAntialias);
  font.setPixelSize(pixelHeight);
  font.setWeight(weight);
  // The overlay table gives the height of the whole character cell (ascent and descent), as
  // the camera-side layout was measured with; a pixel size gives the em, which in most faces
  // is smaller than the cell. Sized by the em, "Rec" would run past the picture's corner.
  const qreal cell = QFontMetricsF(font).height();
  if (cell > pixelHeight) {
    font.setPixelSize(std::max(1, static_cast<int>(pixelHeight * pixelHeight / cell)));
  }
  return font;
}

// Every picture carries its overlays, so their fonts are made once per size and weight: the
// face lookup and the metrics cost more than the few letters drawn with them. The overlay
// table has a handful of sizes. Never destroyed: fonts must not outlive the application's
// font database at exit. User-interface thread only.
const QFont& overlayFont(int pixelHeight, QFont::Weight weight) {
  static auto* const fonts = new std::map<std::pair<int, int>, QFont>();
  const auto [entry, added] = fonts->try_emplace({pixelHeight, static_cast<int>(weight)});
  if (added) entry->second = makeOverlayFont(pixelHeight, weight);
  return entry->second;
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

// Black this opaque (of 255) over a frozen picture leaves about 40% of its brightness: well
// under half, yet the scene stays recognisable.
constexpr int kFrozenDimAlpha = 150;
// How the age marker sits in its corner.
constexpr int kMarkerMargin = 6;
constexpr int kMarkerPadding = 4;
constexpr int kMarkerMinFont = 10;
constexpr int kMarkerSmallestFont = 7;
constexpr int kMarkerMaxFont = 24;
const QColor kMarkerBox(0, 0, 0, 210);
const QColor kMarkerSymbol(255, 191, 0);

// A small clock face: no font needs to carry the symbol, and it reads the same in every
// language.
void drawClockSymbol(QPainter& painter, QRectF box) {
  QPen pen(kMarkerSymbol);
  pen.setWidthF(std::max(1.5, box.width() / 8));
  pen.setCapStyle(Qt::RoundCap);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  const qreal inset = pen.widthF() / 2;
  const QRectF face = box.adjusted(inset, inset, -inset, -inset);
  painter.drawEllipse(face);
  const QPointF centre = face.center();
  painter.drawLine(centre, centre - QPointF(0, face.height() * 0.32));
  painter.drawLine(centre, centre + QPointF(face.width() * 0.25, 0));
}

// The menu opens this far right of the cursor, so the pointer does not sit on the first entry.
constexpr int kMenuOffsetX = 65;
// The status text keeps this distance from the tile's edges.
constexpr int kStatusTextMargin = 10;

const char* menuTextKey(int command) {
  switch (command) {
    case kCommandConfigureCamera:
      return "Menu_ConfigureCamera";
    case kCommandReset:
      return "Menu_Reset";
    case kCommandDisconnect:
      return "Menu_Disconnect";
    case kCommandConnect:
      return "Menu_Connect";
    case kCommandStartRecord:
      return "Menu_Start_Record";
    case kCommandStopRecord:
      return "Menu_Stop_Record";
    default:
      return nullptr;
  }
}

std::shared_ptr<ChannelDisplay> displayOf(int channel) {
  if (channel < 0 || channel >= kChannelCount) return nullptr;
  return channelRecord(channel).display;
}

// "No picture since hh:mm:ss" of the picture's own clock time; a picture that came without
// one is dated back by its age.
QString markerText(const PictureOverlay& overlay,
                   std::optional<std::chrono::steady_clock::duration> age) {
  std::time_t shownAt = overlay.decodedAt;
  if (shownAt == 0) {
    const auto seconds = age ? std::chrono::duration_cast<std::chrono::seconds>(*age).count() : 0;
    shownAt = std::time(nullptr) - static_cast<std::time_t>(seconds);
  }
  return QString::fromStdString(noPictureSinceText(shownAt));
}

// One timer for the frozen marker of every tile. A live picture turns frozen when it is
// kFrozenPictureAge old, and then nothing else repaints its tile: no picture comes and the
// status stays. The timer sleeps until the first live picture on show turns that old, and is
// not armed while no tile shows one. A frozen tile needs no more repaints: its marker names
// the time its picture came, which does not change.
class FrozenPictureWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // User-interface thread only. Never destroyed: tiles may go after the application.
  static FrozenPictureWatch& instance() {
    static auto* const watch = new FrozenPictureWatch();
    return *watch;
  }

  // `tile` shows a live picture that turns frozen after `left`.
  void watch(CViewerElement* tile, Clock::duration left) {
    const Clock::time_point due = Clock::now() + std::max(left, Clock::duration::zero());
    const auto found = std::ranges::find(watched_, tile, &Watched::tile);
    if (found != watched_.end()) {
      found->due = due;
    } else {
      watched_.push_back({tile, due});
    }
    // A later due time (the tile's next picture) leaves the timer as it is: it fires early and
    // looks again.
    if (!timer_.isActive() || due < armedFor_) arm(due);
  }

  void forget(const CViewerElement* tile) {
    std::erase_if(watched_, [tile](const Watched& each) { return each.tile == tile; });
    if (watched_.empty()) timer_.stop();
  }

  bool armed() const { return timer_.isActive(); }

 private:
  struct Watched {
    CViewerElement* tile;
    Clock::time_point due;
  };

  FrozenPictureWatch() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { check(); });
  }

  void arm(Clock::time_point due) {
    armedFor_ = due;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
    timer_.start(static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count())));
  }

  // Tiles whose picture turned frozen repaint and leave the watch; the others are looked at
  // again when the first of them is due.
  void check() {
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> next;
    std::erase_if(watched_, [&](Watched& each) {
      const auto left = each.tile->timeUntilFrozen();
      if (!left) return true;
      if (*left <= Clock::duration::zero()) {
        each.tile->update();
        return true;
      }
      each.due = now + *left;
      next = next ? std::min(*next, each.due) : each.due;
      return false;
    });
    if (next) arm(*next);
  }

  QTimer timer_;
  Clock::time_point armedFor_{};
  std::vector<Watched> watched_;  // at most one entry per tile
};

}  // namespace

CViewerElement::CViewerElement(int channel, QWidget* parent, TileHost* host)
    : QWidget(parent), channel_(channel), host_(host) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setObjectName(QStringLiteral("tile%1").arg(channel + 1));
  setWindowTitle(QStringLiteral("Camera %1").arg(channel));
}

CViewerElement::~CViewerElement() {
  FrozenPictureWatch::instance().forget(this);
}

bool CViewerElement::frozenMarkerTimerArmed() {
  return FrozenPictureWatch::instance().armed();
}

void CViewerElement::setClock(Clock clock) {
  clock_ = clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now);
  update();
}

bool CViewerElement::live() const {
  if (channel_ < 0 || channel_ >= kChannelCount) return false;
  const int status = channelRecord(channel_).status.load();
  return status == kStatusLive || status == kStatusRecording;
}

std::optional<std::chrono::steady_clock::duration> CViewerElement::pictureAge() const {
  if (channel_ < 0 || channel_ >= kChannelCount) return std::nullopt;
  const std::shared_ptr<ChannelDisplay> display = channelRecord(channel_).display;
  if (!display) return std::nullopt;
  const auto shownAt = display->lastPictureTime();
  if (!shownAt) return std::nullopt;
  return std::max(std::chrono::steady_clock::duration::zero(), clock_() - *shownAt);
}

bool CViewerElement::keepsLastPicture() const {
  if (channel_ < 0 || channel_ >= kChannelCount) return false;
  const int status = channelRecord(channel_).status.load();
  return status == kStatusConnecting || status == kStatusDisconnected;
}

std::optional<std::chrono::steady_clock::duration> CViewerElement::timeUntilFrozen() const {
  if (!live()) return std::nullopt;
  const std::shared_ptr<ChannelDisplay> display = displayOf(channel_);
  if (!display || !display->withFrontPicture([](const PictureView&) {})) return std::nullopt;
  const auto age = pictureAge();
  if (!age) return std::nullopt;
  return std::chrono::steady_clock::duration(kFrozenPictureAge) - *age;
}

bool CViewerElement::showsFrozenPicture() const {
  const std::shared_ptr<ChannelDisplay> display = displayOf(channel_);
  if (!display || !display->withFrontPicture([](const PictureView&) {})) return false;
  if (keepsLastPicture()) return true;
  if (!live()) return false;
  const auto age = pictureAge();
  return age && *age >= kFrozenPictureAge;
}

QString CViewerElement::frozenMarkerText() const {
  if (!showsFrozenPicture()) return {};
  PictureOverlay overlay;
  displayOf(channel_)->withFrontPicture(
      [&](const PictureView& picture) { overlay = picture.overlay; });
  return markerText(overlay, pictureAge());
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

void CViewerElement::reportTileSize() {
  const std::shared_ptr<ChannelDisplay> display = displayOf(channel_);
  if (!display) return;
  if (!isVisible()) {
    display->setTileHidden();
    return;
  }
  const qreal ratio = devicePixelRatioF();
  display->setTileSize(static_cast<int>(std::lround(width() * ratio)),
                       static_cast<int>(std::lround(height() * ratio)));
}

void CViewerElement::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  reportTileSize();
}

void CViewerElement::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  reportTileSize();
}

void CViewerElement::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  FrozenPictureWatch::instance().forget(this);
  reportTileSize();
}

QString CViewerElement::statusLine() const {
  if (!live()) return {};
  const ChannelRecord& record = channelRecord(channel_);
  const PictureCounters& counters = record.pictureCounters;
  return QString::fromStdString(pictureStatusText(
      record.pictureWidth.load(), record.pictureHeight.load(), counters.receivedPerSecond.load(),
      counters.shownPerSecond.load(), counters.bitsPerSecond.load()));
}

bool CViewerElement::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    // Asked for each time the pointer rests, so the figures are the current ones.
    const QString text = statusLine();
    if (text.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text, this);
    }
    return true;
  }
  return QWidget::event(event);
}

void CViewerElement::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  // While the channel connects again, or after it was lost, its last picture stays, marked as
  // one that stopped and with the channel's state beside it; a black tile would say less.
  if (live() && paintPicture(painter, false)) return;
  // Whatever it shows now does not change by itself.
  FrozenPictureWatch::instance().forget(this);
  if (keepsLastPicture() && paintPicture(painter, true)) return;
  paintStatus(painter);
}

// The picture was converted at the tile's size where the tile is smaller than the camera's
// picture, and goes in as it is; a picture of another size (a larger tile, or the first
// picture after a change of layout) is stretched to the tile. The overlays are laid out for
// the camera's own picture size and drawn under the transform from that size to the tile,
// so they keep their share of the tile whatever size the picture was converted at. A
// picture that stopped coming is dimmed under its overlays and carries its age in tile
// pixels, so it never passes for live video.
bool CViewerElement::paintPicture(QPainter& painter, bool stopped) {
  const std::shared_ptr<ChannelDisplay> display = displayOf(channel_);
  if (!display) return false;

  PictureView shown;
  const bool painted = display->withFrontPicture([&](const PictureView& picture) {
    shown = picture;
    QImage image(picture.data, picture.width, picture.height, picture.stride, QImage::Format_RGB32);
    const qreal ratio = devicePixelRatioF();
    if (image.width() == std::lround(width() * ratio) &&
        image.height() == std::lround(height() * ratio)) {
      image.setDevicePixelRatio(ratio);
      painter.drawImage(QPointF(0, 0), image);
    } else {
      painter.drawImage(QRectF(rect()), image);
    }
  });
  if (!painted) return false;

  const auto age = pictureAge();
  const bool frozen = stopped || (age && *age >= kFrozenPictureAge);
  if (frozen) painter.fillRect(rect(), QColor(0, 0, 0, kFrozenDimAlpha));
  if (!frozen && age && isVisible()) {
    FrozenPictureWatch::instance().watch(this, kFrozenPictureAge - *age);
  } else if (!stopped) {
    FrozenPictureWatch::instance().forget(this);
  }

  const int pictureWidth = shown.pictureWidth > 0 ? shown.pictureWidth : shown.width;
  const int pictureHeight = shown.pictureHeight > 0 ? shown.pictureHeight : shown.height;
  painter.save();
  painter.scale(static_cast<qreal>(width()) / pictureWidth,
                static_cast<qreal>(height()) / pictureHeight);
  const OverlayLayout layout = overlayLayout(pictureWidth, pictureHeight);
  const PictureOverlay& overlay = shown.overlay;
  // A stopped channel's picture carries no time stamp, "Rec" or motion frame: none of them is
  // true of it now.
  if (overlay.timeStamp && !stopped) {
    drawOverlayText(painter, localTimeText(overlay.decodedAt), layout.timeStamp,
                    layout.timeStampFontHeight, QFont::Normal,
                    qColor(display->overlayTextColour()));
  }
  if (overlay.recording && !stopped) {
    drawOverlayText(painter, QString::fromLatin1(kRecText), layout.rec, layout.recFontHeight,
                    QFont::DemiBold, qColor(kOverlayRed));
  }
  if (overlay.motion && !stopped)
    drawOverlayFrame(painter, layout.motionFrame, qColor(kOverlayRed));
  if (selected_) drawOverlayFrame(painter, layout.selectionFrame, qColor(kOverlayGreen));
  painter.restore();

  if (frozen) paintFrozenMarker(painter, markerText(overlay, age));
  if (stopped) paintStatusOverPicture(painter);
  return true;
}

// Bottom left, clear of the time stamp (top left) and "Rec" (bottom right): a clock and the
// time the last picture came, light on a dark box so it reads on any picture. On a small tile
// the text gets smaller before it is cut.
void CViewerElement::paintFrozenMarker(QPainter& painter, const QString& text) {
  QFont font = painter.font();
  font.setBold(true);
  int pixels = std::clamp(height() / 14, kMarkerMinFont, kMarkerMaxFont);
  const auto room = [&](const QFontMetrics& metrics) {
    return width() - 2 * kMarkerMargin - 3 * kMarkerPadding - metrics.height();
  };
  for (;; --pixels) {
    font.setPixelSize(pixels);
    const QFontMetrics metrics(font);
    if (pixels <= kMarkerSmallestFont || metrics.horizontalAdvance(text) <= room(metrics)) break;
  }
  painter.setFont(font);
  const QFontMetrics metrics(font);
  const QString shown = metrics.elidedText(text, Qt::ElideRight, std::max(0, room(metrics)));
  const int textHeight = metrics.height();
  const int symbolSide = textHeight;
  const QSize box(kMarkerPadding * 3 + symbolSide + metrics.horizontalAdvance(shown),
                  kMarkerPadding * 2 + textHeight);
  const QRect boxRect(kMarkerMargin, height() - kMarkerMargin - box.height(), box.width(),
                      box.height());

  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.fillRect(boxRect, kMarkerBox);
  drawClockSymbol(painter, QRectF(boxRect.left() + kMarkerPadding, boxRect.top() + kMarkerPadding,
                                  symbolSide, symbolSide));
  painter.setPen(Qt::white);
  painter.drawText(
      QRect(boxRect.left() + kMarkerPadding * 2 + symbolSide, boxRect.top() + kMarkerPadding,
            metrics.horizontalAdvance(shown), textHeight),
      Qt::AlignLeft | Qt::AlignVCenter, shown);
}

// The channel's state ("1 Connecting...") top left over its last picture, where the status
// tile has it, on a dark box of its own.
void CViewerElement::paintStatusOverPicture(QPainter& painter) {
  if (statusText_.isEmpty()) return;
  QFont font = painter.font();
  font.setBold(false);
  font.setPixelSize(std::max(11, std::min(height() / 10, 18)));
  painter.setFont(font);
  const QRect room(kStatusTextMargin, kStatusTextMargin, width() - 2 * kStatusTextMargin,
                   height() - 2 * kStatusTextMargin);
  const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
  const QRect text = painter.fontMetrics().boundingRect(room, flags, statusText_);
  painter.fillRect(text.adjusted(-kMarkerPadding, -kMarkerPadding, kMarkerPadding, kMarkerPadding),
                   kMarkerBox);
  painter.setPen(Qt::white);
  painter.drawText(room, flags, statusText_);
}

// The frame goes around a canvas one pixel larger than the tile, and the tile shows the canvas
// from (1, 1): only the right and bottom lines remain, and side by side the tiles draw the
// white grid between them.
void CViewerElement::paintStatus(QPainter& painter) {
  const int w = width();
  const int h = height();
  QImage canvas(w + 1, h + 1, QImage::Format_RGB32);
  canvas.fill(Qt::black);
  {
    QPainter canvasPainter(&canvas);
    canvasPainter.setPen(Qt::white);
    canvasPainter.drawRect(0, 0, w, h);
    if (!statusText_.isEmpty()) {
      QFont font = canvasPainter.font();
      font.setPixelSize(std::max(11, std::min(h / 10, 18)));
      canvasPainter.setFont(font);
      canvasPainter.drawText(QRect(kStatusTextMargin, kStatusTextMargin, w - 2 * kStatusTextMargin,
                                   h - 2 * kStatusTextMargin),
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, statusText_);
    }
  }
  painter.drawImage(0, 0, canvas, 1, 1, w, h);
}

void CViewerElement::select() {
  if (host_ == nullptr) {
    setSelected(true);
    return;
  }
  host_->selectTile(channel_);
  host_->updatePtzButtons(channel_);
}

void CViewerElement::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  select();
  const QPoint at = event->position().toPoint();
  panTiltClick(channel_, width(), height(), at.x(), at.y());
}

void CViewerElement::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    swapWithSelectedTile(event);
  } else if (event->button() == Qt::RightButton) {
    select();
    const std::unique_ptr<QMenu> menu = createContextMenu();
    const QPoint at = event->globalPosition().toPoint() + QPoint(kMenuOffsetX, 0);
    // The menu runs its own event loop; the window may go away meanwhile.
    const QPointer<CViewerElement> self(this);
    QAction* chosen = menu->exec(at);
    if (chosen != nullptr && self) runCommand(chosen->data().toInt());
  }
}

void CViewerElement::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  select();
  if (host_ != nullptr) host_->showOneTileFullScreen();
}

// Qt hands the release to the tile that was pressed, wherever the cursor is now; the tile
// under the cursor is the one the user dropped onto.
void CViewerElement::swapWithSelectedTile(QMouseEvent* event) {
  if (host_ == nullptr || host_->fullScreen()) return;
  const int selected = host_->selectedChannel();
  if (selected < 0 || cameraSnapshot(selected).ip.empty()) return;
  const CViewerElement* target = tileAt(event->position().toPoint());
  if (target == nullptr || target->channel() == selected) return;
  host_->swapTiles(selected, target->channel());
}

CViewerElement* CViewerElement::tileAt(QPoint localPosition) const {
  QWidget* parent = parentWidget();
  if (parent == nullptr) return nullptr;
  for (QWidget* widget = parent->childAt(mapToParent(localPosition)); widget != nullptr;
       widget = widget->parentWidget()) {
    if (auto* tile = qobject_cast<CViewerElement*>(widget)) return tile;
    if (widget == parent) break;
  }
  return nullptr;
}

std::unique_ptr<QMenu> CViewerElement::createContextMenu() {
  // Not a child of the tile: the caller owns it, whatever happens to the tile.
  auto menu = std::make_unique<QMenu>();
  const CMultiLanguage& language = CMultiLanguage::instance();
  for (const int command : contextMenuEntries(channel_)) {
    const char* key = menuTextKey(command);
    if (key == nullptr) {
      menu->addSeparator();
      continue;
    }
    QAction* action =
        menu->addAction(QString::fromStdString(language.text("ViewerElementMenu", key)));
    action->setData(command);
  }
  return menu;
}

void CViewerElement::runCommand(int command) {
  if (command == kCommandConfigureCamera) {
    if (host_ != nullptr) host_->configureCameras();
    return;
  }
  // Stopping a channel waits for its threads; the channel's command worker does that, and the
  // tile and the event log show how it goes.
  postChannelCommand(channel_, command);
}

}  // namespace ipcam::ui
