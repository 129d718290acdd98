#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/picture_counters.h"

namespace ipcam {

// The counters of a channel at one moment.
struct PictureCounts {
  std::uint64_t received = 0;
  std::uint64_t receivedBytes = 0;
  std::uint64_t decoded = 0;
  std::uint64_t shown = 0;
  std::uint64_t dropped = 0;
};
PictureCounts readCounts(const PictureCounters& counters);
PictureCounts operator-(const PictureCounts& later, const PictureCounts& earlier);

// What the tile tells about its channel, in digits, units and symbols only, so it reads the
// same in every language: "640x480 · 25/25 fps · 3.1 Mbit/s" (pictures per second received
// and shown, and the stream's bit rate). Without a known size the size is left out.
std::string pictureStatusText(int width, int height, double receivedPerSecond,
                              double shownPerSecond, double bitsPerSecond);

// The trace line of one channel's counters: the totals, and the rates over the last period.
std::string pictureTraceLine(int channel, int width, int height, const PictureCounts& total,
                             const PictureCounts& period, double periodSeconds);

// Kept by a channel's decode thread: renews the rates in the counters about once a second,
// over the last two seconds or so, and says when the counters are due in the trace.
class PictureRateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kRateInterval = std::chrono::seconds(1);
  static constexpr auto kTraceInterval = std::chrono::seconds(10);

  explicit PictureRateMeter(Clock::time_point start);

  // Renews the rates when a second has passed since the last time.
  void update(PictureCounters& counters, Clock::time_point now);
  // When update() next has a change to make: a second after the last renewal while the rates
  // shown or the counts since that renewal are not all zero. Nullopt while the rates rest at
  // zero, so that an idle channel needs no look at the clock.
  std::optional<Clock::time_point> nextChange(const PictureCounters& counters) const;
  // True (once per period) when kTraceInterval has passed since the last trace; `period` gets
  // the counts of that period and `seconds` its length.
  bool traceDue(const PictureCounters& counters, Clock::time_point now, PictureCounts& period,
                double& seconds);

 private:
  Clock::time_point lastRate_;
  PictureCounts atLastRate_;
  // The previous rate period's counts, so the rates span two periods and do not jump with
  // a picture that came just before or after the turn of a second.
  Clock::time_point previousRate_;
  PictureCounts atPreviousRate_;
  Clock::time_point lastTrace_;
  PictureCounts atLastTrace_;
};

}  // namespace ipcam
