#include "platform/thread_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "support/wait_for.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ipcam::testing::waitFor;

// The run flags outlive every thread, abandoned ones included, as the slot requires.
ThreadSlot::RunFlag gCooperativeFlag{0};
ThreadSlot::RunFlag gRefusedFlag{0};
ThreadSlot::RunFlag gAbandonFlag{0};
ThreadSlot::RunFlag gSelfEndFlag{0};
ThreadSlot::RunFlag gDestructorFlag{0};

// A body that does what channel threads do: work until the flag drops.
std::function<void()> untilFlagDrops(ThreadSlot::RunFlag& flag) {
  return [&flag] {
    while (flag.load() == 1) std::this_thread::sleep_for(1ms);
  };
}

TEST(ThreadSlot, StopsACooperativeThreadInTimeAndIsSafeToStopAgain) {
  ThreadSlot slot;
  EXPECT_TRUE(slot.stop()) << "an empty slot has nothing to abandon";

  ASSERT_TRUE(slot.start(gCooperativeFlag, untilFlagDrops(gCooperativeFlag)));
  EXPECT_EQ(gCooperativeFlag.load(), 1);
  EXPECT_TRUE(slot.running());

  EXPECT_TRUE(slot.stop());
  EXPECT_EQ(gCooperativeFlag.load(), 0);
  EXPECT_FALSE(slot.running());
  EXPECT_TRUE(slot.stop());
}

TEST(ThreadSlot, RefusesToStartWhileItsThreadRuns) {
  ThreadSlot slot;
  ASSERT_TRUE(slot.start(gRefusedFlag, untilFlagDrops(gRefusedFlag)));

  auto secondRan = std::make_shared<std::atomic<bool>>(false);
  EXPECT_FALSE(slot.start(gRefusedFlag, [secondRan] { secondRan->store(true); }));
  EXPECT_EQ(gRefusedFlag.load(), 1);
  EXPECT_TRUE(slot.running());

  EXPECT_TRUE(slot.stop());
  EXPECT_FALSE(secondRan->load());
  // Once stopped, the slot takes a new thread.
  ASSERT_TRUE(slot.start(gRefusedFlag, untilFlagDrops(gRefusedFlag)));
  EXPECT_TRUE(slot.stop());
}

TEST(ThreadSlot, AbandonedThreadEndingLateLeavesTheNewerThreadsFlagAlone) {
  ThreadSlot slot;
  // The token goes away with the body, which the slot releases only after the thread has
  // reported its end: once it has expired, the late thread has done all it will ever do.
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> lateThreadDone = token;
  // Deaf to the flag until the test lets it go, so that it is still there when the newer
  // thread starts, however long a busy machine makes the stop.
  auto release = std::make_shared<std::atomic<bool>>(false);
  ASSERT_TRUE(slot.start(gAbandonFlag, [token = std::move(token), release] {
    while (!release->load()) std::this_thread::sleep_for(1ms);
  }));

  const auto stopStarted = Clock::now();
  EXPECT_FALSE(slot.stop());
  const auto waited = Clock::now() - stopStarted;
  EXPECT_GE(waited, 950ms);
  EXPECT_LT(waited, 5s) << "stop() must give up at the limit, not wait for the thread";
  EXPECT_FALSE(slot.running());
  EXPECT_EQ(gAbandonFlag.load(), 0);

  ASSERT_TRUE(slot.start(gAbandonFlag, untilFlagDrops(gAbandonFlag)));
  release->store(true);
  ASSERT_TRUE(waitFor([&] { return lateThreadDone.expired(); }));
  EXPECT_EQ(gAbandonFlag.load(), 1) << "the abandoned thread cleared the newer thread's flag";
  EXPECT_TRUE(slot.running());
  EXPECT_TRUE(slot.stop());
}

TEST(ThreadSlot, ThreadThatEndsByItselfClearsItsFlagAndFreesTheSlot) {
  const struct {
    const char* name;
    std::function<void()> body;
  } cases[] = {
      {"returns", [] {}},
      {"throws a standard exception", [] { throw std::runtime_error("camera went away"); }},
      {"throws something else", [] { throw 42; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ThreadSlot slot;
    ASSERT_TRUE(slot.start(gSelfEndFlag, c.body));
    ASSERT_TRUE(waitFor([&] { return !slot.running(); }));
    EXPECT_EQ(gSelfEndFlag.load(), 0);

    // The finished thread is still to be joined; the next start does that.
    ASSERT_TRUE(slot.start(gSelfEndFlag, untilFlagDrops(gSelfEndFlag)));
    EXPECT_EQ(gSelfEndFlag.load(), 1);
    EXPECT_TRUE(slot.stop());
  }
}

TEST(ThreadSlot, DestructorStopsAndJoinsTheThread) {
  auto exited = std::make_shared<std::atomic<bool>>(false);
  {
    ThreadSlot slot;
    ASSERT_TRUE(slot.start(gDestructorFlag, [exited] {
      while (gDestructorFlag.load() == 1) std::this_thread::sleep_for(1ms);
      exited->store(true);
    }));
  }
  EXPECT_EQ(gDestructorFlag.load(), 0);
  EXPECT_TRUE(exited->load());
}

ThreadSlot::RunFlag gSharedSlotFlag{0};

TEST(ThreadSlot, StartsAndStopsFromSeveralThreadsAtOnce) {
  // A data thread restarting the connection worker while the user disconnects it: every start
  // and stop must leave the slot whole, with never more than one thread in it.
  ThreadSlot slot;
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  const auto body = [&] {
    const int now = ++inside;
    int seen = mostInside.load();
    while (now > seen && !mostInside.compare_exchange_weak(seen, now)) {
    }
    while (gSharedSlotFlag.load() == 1) std::this_thread::sleep_for(1ms);
    --inside;
  };
  std::thread starter([&] {
    for (int i = 0; i < 200; ++i) slot.start(gSharedSlotFlag, body);
  });
  std::thread stopper([&] {
    for (int i = 0; i < 200; ++i) slot.stop();
  });
  starter.join();
  stopper.join();
  EXPECT_TRUE(slot.stop());
  EXPECT_EQ(mostInside.load(), 1);
  EXPECT_EQ(inside.load(), 0);
}

}  // namespace
}  // namespace ipcam::platform
