#include "core/media_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

bool pushBytes(MediaQueue& queue, std::size_t count) {
  const std::vector<std::uint8_t> bytes(count, 0x5A);
  return queue.push(bytes);
}

// What ends a consumer's wait, and what the wait then says.
struct WaitEnd {
  const char* what;
  std::function<void(MediaQueue&, std::jthread&)> end;
  bool entryWaits;
};

// A consumer sleeps on the queue without a time-out: it looks once as it begins and not again
// until something ends the wait, which each of these does at once.
TEST(MediaQueueWait, SleepsWithoutWakingUntilAnEntryTheStopOrAWake) {
  const WaitEnd ends[] = {
      {"a push", [](MediaQueue& queue, std::jthread&) { ASSERT_TRUE(pushBytes(queue, 3)); }, true},
      {"the stop", [](MediaQueue&, std::jthread& waiter) { waiter.request_stop(); }, false},
      {"a wake", [](MediaQueue& queue, std::jthread&) { queue.wake(); }, false},
  };
  for (const WaitEnd& end : ends) {
    SCOPED_TRACE(end.what);
    MediaQueue queue(4);
    std::atomic<int> result{-1};
    std::jthread waiter([&](std::stop_token stop) { result.store(queue.waitForEntry(stop)); });
    ASSERT_TRUE(testing::waitFor([&] { return queue.waitLooks() >= 1; }));
    // A wait with an idle time-out would look again within this time, many times over.
    EXPECT_FALSE(testing::waitFor([&] { return queue.waitLooks() > 1; }, 300ms));
    EXPECT_EQ(result.load(), -1);

    end.end(queue, waiter);
    ASSERT_TRUE(testing::waitFor([&] { return result.load() != -1; }));
    EXPECT_EQ(result.load(), end.entryWaits ? 1 : 0);
  }
}

TEST(MediaQueueWait, WaitingEntryWakeGivenEarlierAndPastDeadlineReturnAtOnce) {
  MediaQueue queue(4);
  const std::stop_source never;
  ASSERT_TRUE(pushBytes(queue, 1));
  EXPECT_TRUE(queue.waitForEntry(never.get_token()));
  queue.clear();

  // A wake that came while the consumer was busy is not lost: its next wait ends at once, and
  // only that one.
  queue.wake();
  EXPECT_FALSE(queue.waitForEntry(never.get_token()));
  EXPECT_FALSE(queue.waitForEntryUntil(never.get_token(), std::chrono::steady_clock::now()));

  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_FALSE(queue.waitForEntry(stopped.get_token()));
}

// A shut queue drops what comes without filling up or counting refusals; the full queue's
// limits and count hold as before once it is open again.
TEST(MediaQueueDoor, ShutQueueDropsEverythingAndOpenQueueKeepsItsLimits) {
  MediaQueue queue(2);
  ASSERT_TRUE(pushBytes(queue, 5));
  queue.setAccepting(false);
  EXPECT_FALSE(queue.accepting());
  EXPECT_EQ(queue.size(), 0u) << "shutting empties the queue";
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(pushBytes(queue, 5));
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(queue.refused(), 0u);

  queue.setAccepting(true);
  EXPECT_TRUE(pushBytes(queue, 5));
  EXPECT_TRUE(pushBytes(queue, 5));
  EXPECT_FALSE(pushBytes(queue, 5));
  EXPECT_EQ(queue.refused(), 1u);
  std::vector<std::uint8_t> entry;
  ASSERT_TRUE(queue.take(entry));
  EXPECT_EQ(entry.size(), 5u);
}

}  // namespace
}  // namespace ipcam
