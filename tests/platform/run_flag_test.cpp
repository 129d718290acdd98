#include "platform/run_flag.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/run_wait.h"
#include "platform/thread_slot.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long voluntarySwitchesOfThisThread() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

bool readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1;
}

// A sleep on the flag is one sleep: the thread does not come back to look at the flag while
// nothing happens. (A sleep in 1 ms steps would switch some 300 times here.)
TEST(RunFlag, ASleepDoesNotWakeUntilItsTimeIsUp) {
  RunFlag flag{1};
  const long before = voluntarySwitchesOfThisThread();
  const auto start = Clock::now();
  EXPECT_TRUE(sleepWhileRunning(flag, 300ms));
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_LE(voluntarySwitchesOfThisThread() - before, 5);
}

TEST(RunFlag, AClearEndsEverySleepAtOnce) {
  RunFlag flag{1};
  EXPECT_FALSE(RunFlag{0}.sleepWhileSet(1h)) << "a cleared flag does not sleep at all";
  std::vector<std::future<bool>> sleepers;
  for (int i = 0; i < 3; ++i) {
    sleepers.push_back(
        std::async(std::launch::async, [&flag] { return sleepWhileRunning(flag, 1h); }));
  }
  flag.store(0);
  for (auto& sleeper : sleepers) {
    ASSERT_EQ(sleeper.wait_for(20s), std::future_status::ready) << "a sleeper missed the clear";
    EXPECT_FALSE(sleeper.get());
  }
}

// The stop descriptor follows the flag, also when it is made only after the clear, and a
// re-armed flag (the slot's flag of a new thread) no longer reads as stopped.
TEST(RunFlag, StopDescriptorIsReadableExactlyWhileCleared) {
  RunFlag flag{1};
  const int fd = flag.stopDescriptor();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flag.stopDescriptor(), fd) << "one descriptor for the flag's life";
  EXPECT_FALSE(readable(fd));
  flag.store(0);
  EXPECT_TRUE(readable(fd));
  flag.store(1);
  EXPECT_FALSE(readable(fd));

  RunFlag late{1};
  late.store(0);
  EXPECT_TRUE(readable(late.stopDescriptor()));
}

// A condition-variable wait of a slot thread needs no time-out to notice its stop.
TEST(RunFlag, SlotStopWakesAWaitOnTheStopToken) {
  RunFlag slotFlag{0};
  ThreadSlot slot;
  std::promise<void> waiting;
  std::atomic<bool> woke{false};
  ASSERT_TRUE(slot.start(slotFlag, [&](const ThreadRun& run) {
    std::mutex mutex;
    std::condition_variable_any changed;
    std::unique_lock lock(mutex);
    waiting.set_value();
    changed.wait(lock, run.stopToken(), [] { return false; });
    woke.store(true);
  }));
  waiting.get_future().wait();
  EXPECT_TRUE(slot.stop(20s)) << "the waiting thread did not end";
  EXPECT_TRUE(woke.load());
  EXPECT_EQ(slotFlag.load(), 0);
}

}  // namespace
}  // namespace ipcam::platform
