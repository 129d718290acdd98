#include "media/picture_stats.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace ipcam {
namespace {

TEST(PictureStats, StatusTextUsesDigitsUnitsAndSymbolsOnly) {
  struct Case {
    int width;
    int height;
    double received;
    double shown;
    double bits;
    const char* text;
  };
  const Case cases[] = {
      {640, 480, 25, 25, 3'100'000, "640x480 · 25/25 fps · 3.1 Mbit/s"},
      {1280, 1024, 24.6, 7.5, 850'000, "1280x1024 · 25/7.5 fps · 850 kbit/s"},
      {0, 0, 0, 0, 0, "0/0 fps · 0 kbit/s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pictureStatusText(c.width, c.height, c.received, c.shown, c.bits), c.text);
  }
}

// The rates span the last two seconds, so a steady stream reads steady whenever it is asked.
TEST(PictureStats, RatesFollowTheCountersOverTheLastSeconds) {
  using namespace std::chrono_literals;
  const auto start = PictureRateMeter::Clock::time_point{} + 1h;
  PictureCounters counters;
  PictureRateMeter meter(start);
  const auto second = [&](int n, int received, int shown, int bytes) {
    counters.received += static_cast<std::uint64_t>(received);
    counters.shown += static_cast<std::uint64_t>(shown);
    counters.receivedBytes += static_cast<std::uint64_t>(bytes);
    meter.update(counters, start + std::chrono::seconds(n));
  };
  second(1, 25, 25, 50'000);
  EXPECT_FLOAT_EQ(counters.receivedPerSecond.load(), 25);
  EXPECT_FLOAT_EQ(counters.bitsPerSecond.load(), 400'000);
  second(2, 25, 25, 50'000);
  second(3, 25, 15, 50'000);
  EXPECT_FLOAT_EQ(counters.receivedPerSecond.load(), 25);
  EXPECT_FLOAT_EQ(counters.shownPerSecond.load(), 20);
  // Asked again within the second: nothing moves.
  meter.update(counters, start + 3500ms);
  EXPECT_FLOAT_EQ(counters.shownPerSecond.load(), 20);

  PictureCounts period;
  double seconds = 0;
  EXPECT_FALSE(meter.traceDue(counters, start + 9s, period, seconds));
  EXPECT_TRUE(meter.traceDue(counters, start + 10s, period, seconds));
  EXPECT_EQ(period.received, 75u);
  EXPECT_EQ(period.shown, 65u);
  EXPECT_DOUBLE_EQ(seconds, 10);
  EXPECT_FALSE(meter.traceDue(counters, start + 11s, period, seconds)) << "once per period";
}

// The decode thread sleeps on its queue with this as its only deadline: a stream that stops
// must still see its rates fall to zero, and then the thread needs no clock at all.
TEST(PictureStats, NextChangeIsDueUntilTheRatesRestAtZero) {
  using namespace std::chrono_literals;
  const auto start = PictureRateMeter::Clock::time_point{} + 1h;
  PictureCounters counters;
  PictureRateMeter meter(start);
  EXPECT_EQ(meter.nextChange(counters), std::nullopt) << "nothing came yet";

  counters.received += 1;
  counters.receivedBytes += 2000;
  EXPECT_EQ(meter.nextChange(counters), start + 1s) << "a picture within the first second";
  meter.update(counters, start + 1s);
  EXPECT_GT(counters.receivedPerSecond.load(), 0);
  // The stream stops: the rates span two seconds, so two more renewals take them to zero.
  EXPECT_EQ(meter.nextChange(counters), start + 2s);
  meter.update(counters, start + 2s);
  EXPECT_GT(counters.receivedPerSecond.load(), 0);
  EXPECT_EQ(meter.nextChange(counters), start + 3s);
  meter.update(counters, start + 3s);
  EXPECT_FLOAT_EQ(counters.receivedPerSecond.load(), 0);
  EXPECT_FLOAT_EQ(counters.bitsPerSecond.load(), 0);
  EXPECT_EQ(meter.nextChange(counters), std::nullopt);
}

}  // namespace
}  // namespace ipcam
