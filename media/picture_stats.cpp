#include "media/picture_stats.h"

#include <cinttypes>
#include <cstdio>

namespace ipcam {
namespace {

constexpr double kBitsPerByte = 8;
constexpr double kKilo = 1000;
constexpr double kMega = 1000 * 1000;

// Whole pictures per second from 10 on; below, a tenth tells 2.5 from 3.
std::string rateText(double perSecond) {
  char text[32];
  if (perSecond >= 9.95 || perSecond == 0) {
    std::snprintf(text, sizeof text, "%.0f", perSecond);
  } else {
    std::snprintf(text, sizeof text, "%.1f", perSecond);
  }
  return text;
}

std::string bitRateText(double bitsPerSecond) {
  char text[32];
  if (bitsPerSecond >= kMega) {
    std::snprintf(text, sizeof text, "%.1f Mbit/s", bitsPerSecond / kMega);
  } else {
    std::snprintf(text, sizeof text, "%.0f kbit/s", bitsPerSecond / kKilo);
  }
  return text;
}

double perSecond(std::uint64_t count, double seconds) {
  return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

}  // namespace

PictureCounts readCounts(const PictureCounters& counters) {
  PictureCounts counts;
  counts.received = counters.received.load();
  counts.receivedBytes = counters.receivedBytes.load();
  counts.decoded = counters.decoded.load();
  counts.shown = counters.shown.load();
  counts.dropped = counters.dropped.load();
  return counts;
}

PictureCounts operator-(const PictureCounts& later, const PictureCounts& earlier) {
  PictureCounts difference;
  difference.received = later.received - earlier.received;
  difference.receivedBytes = later.receivedBytes - earlier.receivedBytes;
  difference.decoded = later.decoded - earlier.decoded;
  difference.shown = later.shown - earlier.shown;
  difference.dropped = later.dropped - earlier.dropped;
  return difference;
}

std::string pictureStatusText(int width, int height, double receivedPerSecond,
                              double shownPerSecond, double bitsPerSecond) {
  std::string text;
  if (width > 0 && height > 0) text = std::to_string(width) + "x" + std::to_string(height) + " · ";
  text += rateText(receivedPerSecond) + "/" + rateText(shownPerSecond) + " fps · " +
          bitRateText(bitsPerSecond);
  return text;
}

std::string pictureTraceLine(int channel, int width, int height, const PictureCounts& total,
                             const PictureCounts& period, double periodSeconds) {
  char line[320];
  std::snprintf(line, sizeof line,
                "Camera %d: %dx%d, pictures received %" PRIu64 ", decoded %" PRIu64
                ", shown %" PRIu64 ", dropped %" PRIu64
                "; last %.0f s: %.1f/s received, %.1f/s shown, %" PRIu64 " dropped, %.2f Mbit/s",
                channel + 1, width, height, total.received, total.decoded, total.shown,
                total.dropped, periodSeconds, perSecond(period.received, periodSeconds),
                perSecond(period.shown, periodSeconds), period.dropped,
                perSecond(period.receivedBytes, periodSeconds) * kBitsPerByte / kMega);
  return line;
}

PictureRateMeter::PictureRateMeter(Clock::time_point start)
    : lastRate_(start), previousRate_(start), lastTrace_(start) {}

void PictureRateMeter::update(PictureCounters& counters, Clock::time_point now) {
  if (now - lastRate_ < kRateInterval) return;
  const PictureCounts counts = readCounts(counters);
  const PictureCounts span = counts - atPreviousRate_;
  const double seconds = std::chrono::duration<double>(now - previousRate_).count();
  counters.receivedPerSecond.store(static_cast<float>(perSecond(span.received, seconds)));
  counters.shownPerSecond.store(static_cast<float>(perSecond(span.shown, seconds)));
  counters.bitsPerSecond.store(
      static_cast<float>(perSecond(span.receivedBytes, seconds) * kBitsPerByte));
  previousRate_ = lastRate_;
  atPreviousRate_ = atLastRate_;
  lastRate_ = now;
  atLastRate_ = counts;
}

std::optional<PictureRateMeter::Clock::time_point> PictureRateMeter::nextChange(
    const PictureCounters& counters) const {
  const PictureCounts since = readCounts(counters) - atLastRate_;
  const bool resting = counters.receivedPerSecond.load() == 0 &&
                       counters.shownPerSecond.load() == 0 && counters.bitsPerSecond.load() == 0 &&
                       since.received == 0 && since.shown == 0 && since.receivedBytes == 0;
  if (resting) return std::nullopt;
  return lastRate_ + kRateInterval;
}

bool PictureRateMeter::traceDue(const PictureCounters& counters, Clock::time_point now,
                                PictureCounts& period, double& seconds) {
  if (now - lastTrace_ < kTraceInterval) return false;
  const PictureCounts counts = readCounts(counters);
  period = counts - atLastTrace_;
  seconds = std::chrono::duration<double>(now - lastTrace_).count();
  lastTrace_ = now;
  atLastTrace_ = counts;
  return true;
}

}  // namespace ipcam
