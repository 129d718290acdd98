#include "ui/picture_refresh.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <utility>

namespace ipcam::ui {
namespace {

constexpr qreal kUnknownRefreshRate = 60;

}  // namespace

PictureRefresh::PictureRefresh(RepaintChannels repaint, QObject* parent)
    : QObject(parent), repaintChannels_(std::move(repaint)) {
  timer_.setSingleShot(true);
  // A coarse timer may fire a few milliseconds late, which at 60 Hz is a refresh missed.
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &PictureRefresh::repaint);
}

void PictureRefresh::pictureArrived(int channel) {
  if (channel < 0 || channel >= kChannelCount) return;
  // Only the first mark since the last repaint wakes the user-interface thread; the later ones
  // ride along with it.
  if (pending_.fetch_or(std::uint32_t{1} << channel, std::memory_order_acq_rel) != 0) return;
  QMetaObject::invokeMethod(this, &PictureRefresh::schedule, Qt::QueuedConnection);
}

void PictureRefresh::setInterval(std::chrono::milliseconds interval) {
  fixedInterval_ = std::max(interval, std::chrono::milliseconds(0));
}

std::chrono::milliseconds PictureRefresh::interval() const {
  if (fixedInterval_) return *fixedInterval_;
  const QScreen* screen = QGuiApplication::primaryScreen();
  qreal rate = screen != nullptr ? screen->refreshRate() : 0;
  if (rate < 1) rate = kUnknownRefreshRate;
  return std::chrono::milliseconds(static_cast<long long>(1000 / rate));
}

// A picture after a quiet spell is painted at once; in a stream of pictures the repaints keep
// one refresh apart, and every picture that came meanwhile is in the next one.
void PictureRefresh::schedule() {
  if (timer_.isActive() || pending_.load(std::memory_order_acquire) == 0) return;
  const auto now = std::chrono::steady_clock::now();
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(lastRepaint_ + interval() - now).count();
  timer_.start(static_cast<int>(std::max<long long>(0, wait)));
}

void PictureRefresh::repaint() {
  const std::uint32_t channels = pending_.exchange(0, std::memory_order_acq_rel);
  if (channels == 0) return;
  lastRepaint_ = std::chrono::steady_clock::now();
  repaintChannels_(channels);
}

}  // namespace ipcam::ui
