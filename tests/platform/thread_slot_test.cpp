#include "platform/thread_slot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/run_wait.h"
#include "platform/serial_worker.h"
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
ThreadSlot::RunFlag gReaderFlag{0};

// A body that does what channel threads do: work until its run says stop.
void untilStopped(const ThreadRun& run) {
  while (run.running()) std::this_thread::sleep_for(1ms);
}

// A gate the test opens; a thread held at it is deaf to its run flag until then.
class Gate {
 public:
  void open() { opened_.set_value(); }
  void pass() const { gate_.wait(); }

 private:
  std::promise<void> opened_;
  std::shared_future<void> gate_ = opened_.get_future().share();
};

TEST(ThreadSlot, StopsACooperativeThreadInTimeAndIsSafeToStopAgain) {
  ThreadSlot slot;
  EXPECT_TRUE(slot.stop()) << "an empty slot has nothing to abandon";

  ASSERT_TRUE(slot.start(gCooperativeFlag, untilStopped));
  EXPECT_EQ(gCooperativeFlag.load(), 1);
  EXPECT_TRUE(slot.running());

  EXPECT_TRUE(slot.stop());
  EXPECT_EQ(gCooperativeFlag.load(), 0);
  EXPECT_FALSE(slot.running());
  EXPECT_TRUE(slot.stop());
}

TEST(ThreadSlot, RefusesToStartWhileItsThreadRuns) {
  ThreadSlot slot;
  ASSERT_TRUE(slot.start(gRefusedFlag, untilStopped));

  auto secondRan = std::make_shared<std::atomic<bool>>(false);
  EXPECT_FALSE(slot.start(gRefusedFlag, [secondRan](const ThreadRun&) { secondRan->store(true); }));
  EXPECT_EQ(gRefusedFlag.load(), 1);
  EXPECT_TRUE(slot.running());

  EXPECT_TRUE(slot.stop());
  EXPECT_FALSE(secondRan->load());
  // Once stopped, the slot takes a new thread.
  ASSERT_TRUE(slot.start(gRefusedFlag, untilStopped));
  EXPECT_TRUE(slot.stop());
}

// A thread that was given up on while it was stuck (in a message box, say) comes back after a
// newer thread took the slot: it must see itself stopped and abandoned, and the newer thread
// must keep running with its flag set.
TEST(ThreadSlot, AbandonedThreadSeesItselfStoppedAndLeavesTheNewerThreadAlone) {
  ThreadSlot slot;
  auto gate = std::make_shared<Gate>();
  struct Seen {
    std::atomic<bool> done{false};
    std::atomic<bool> running{true};
    std::atomic<bool> abandoned{false};
  };
  auto seen = std::make_shared<Seen>();
  // The token goes away with the body, which the slot releases only after the thread has
  // reported its end: once it has expired, the late thread has done all it will ever do.
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> lateThreadDone = token;
  ASSERT_TRUE(
      slot.start(gAbandonFlag, [gate, seen, token = std::move(token)](const ThreadRun& run) {
        gate->pass();
        seen->running = run.running();
        seen->abandoned = run.abandoned();
        seen->done = true;
      }));

  EXPECT_FALSE(slot.stop(100ms)) << "the stuck thread is abandoned at the limit";
  EXPECT_FALSE(slot.running());
  EXPECT_EQ(gAbandonFlag.load(), 0);

  ASSERT_TRUE(slot.start(gAbandonFlag, untilStopped));
  gate->open();
  ASSERT_TRUE(waitFor([&] { return lateThreadDone.expired(); }));
  ASSERT_TRUE(seen->done.load());
  EXPECT_FALSE(seen->running.load()) << "the abandoned thread saw the newer thread's run";
  EXPECT_TRUE(seen->abandoned.load());
  EXPECT_EQ(gAbandonFlag.load(), 1) << "the abandoned thread cleared the newer thread's flag";
  EXPECT_TRUE(slot.running());
  EXPECT_TRUE(slot.stop());
}

TEST(ThreadSlot, ThreadThatEndsByItselfClearsItsFlagAndFreesTheSlot) {
  const struct {
    const char* name;
    ThreadSlot::Body body;
  } cases[] = {
      {"returns", [](const ThreadRun&) {}},
      {"throws a standard exception",
       [](const ThreadRun&) { throw std::runtime_error("camera went away"); }},
      {"throws something else", [](const ThreadRun&) { throw 42; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ThreadSlot slot;
    ASSERT_TRUE(slot.start(gSelfEndFlag, c.body));
    ASSERT_TRUE(waitFor([&] { return !slot.running(); }));
    EXPECT_EQ(gSelfEndFlag.load(), 0);

    // The finished thread is still to be joined; the next start does that.
    ASSERT_TRUE(slot.start(gSelfEndFlag, untilStopped));
    EXPECT_EQ(gSelfEndFlag.load(), 1);
    EXPECT_TRUE(slot.stop());
  }
}

TEST(ThreadSlot, DestructorStopsAndJoinsTheThread) {
  auto exited = std::make_shared<std::atomic<bool>>(false);
  {
    ThreadSlot slot;
    ASSERT_TRUE(slot.start(gDestructorFlag, [exited](const ThreadRun& run) {
      untilStopped(run);
      exited->store(true);
    }));
  }
  EXPECT_EQ(gDestructorFlag.load(), 0);
  EXPECT_TRUE(exited->load());
}

// The user-interface thread asks running() (to build a menu) and requestStop() while another
// thread is inside a stop that waits: neither may wait with it.
TEST(ThreadSlot, ReadersAndStopRequestsDoNotWaitForAStopInProgress) {
  ThreadSlot slot;
  auto gate = std::make_shared<Gate>();
  ASSERT_TRUE(slot.start(gReaderFlag, [gate](const ThreadRun&) { gate->pass(); }));
  auto stopper = std::async(std::launch::async, [&slot] { return slot.stop(60s); });
  ASSERT_TRUE(waitFor([] { return gReaderFlag.load() == 0; }));

  // The stop holds the slot until the gate opens; these answer meanwhile.
  EXPECT_TRUE(slot.running());
  slot.requestStop();
  EXPECT_EQ(stopper.wait_for(0s), std::future_status::timeout);

  gate->open();
  EXPECT_TRUE(stopper.get());
  EXPECT_FALSE(slot.running());
}

ThreadSlot::RunFlag gSharedSlotFlag{0};

TEST(ThreadSlot, StartsAndStopsFromSeveralThreadsAtOnce) {
  // A data thread restarting the connection worker while the user disconnects it: every start
  // and stop must leave the slot whole, with never more than one thread in it.
  ThreadSlot slot;
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  const auto body = [&](const ThreadRun& run) {
    const int now = ++inside;
    int seen = mostInside.load();
    while (now > seen && !mostInside.compare_exchange_weak(seen, now)) {
    }
    untilStopped(run);
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

TEST(ThreadSlot, TheThreadFindsItsOwnRunWithoutBeingHandedIt) {
  ThreadSlot::RunFlag flag{0};
  ThreadSlot slot;
  std::atomic<const ThreadRun*> handed{nullptr};
  std::atomic<const ThreadRun*> found{nullptr};
  ASSERT_TRUE(slot.start(flag, [&](const ThreadRun& run) {
    handed = &run;
    found = currentThreadRun();
  }));
  ASSERT_TRUE(waitFor([&] { return !slot.running(); }));
  EXPECT_NE(handed.load(), nullptr);
  EXPECT_EQ(found.load(), handed.load());
  EXPECT_EQ(currentThreadRun(), nullptr) << "the test's own thread was started by no slot";
  slot.stop();
}

TEST(ThreadSlot, NamesItsThreadAsFarAsTheSystemKeepsNames) {
  struct Case {
    std::optional<std::string> given;
    std::string shown;
  };
  const Case cases[] = {
      {"conn 3", "conn 3"},
      {"fifteen letters", "fifteen letters"},
      {"sixteen letters!", "sixteen letters"},  // refused whole by the system unless cut
      {std::nullopt, "worker"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    ThreadSlot::RunFlag flag{0};
    ThreadSlot slot;
    std::atomic<pid_t> tid{0};
    const auto body = [&tid](const ThreadRun& run) {
      tid.store(::gettid());
      sleepWhileRunning(run.flag(), 60s);
    };
    ASSERT_TRUE(c.given ? slot.start(flag, body, *c.given) : slot.start(flag, body));
    // The starter names the thread before start() returns.
    ASSERT_TRUE(waitFor([&] { return tid.load() != 0; }));
    std::ifstream comm("/proc/self/task/" + std::to_string(tid.load()) + "/comm");
    std::string shown;
    std::getline(comm, shown);
    EXPECT_EQ(shown, c.shown);
    EXPECT_TRUE(slot.stop());
  }
}

TEST(ThreadSlot, WaitingForTheEndWakesOnTheEndTheStopOrTheDeadline) {
  ThreadSlot::RunFlag flag{0};
  ThreadSlot slot;
  EXPECT_TRUE(slot.waitUntilEnded(Clock::now(), {})) << "no thread: nothing to wait for";

  Gate gate;
  ASSERT_TRUE(slot.start(flag, [&gate](const ThreadRun&) { gate.pass(); }));
  EXPECT_FALSE(slot.waitUntilEnded(Clock::now() + 50ms, {})) << "the deadline passed";

  std::stop_source stop;
  std::thread stopper([&stop] { stop.request_stop(); });
  EXPECT_FALSE(slot.waitUntilEnded(Clock::now() + 60s, stop.get_token())) << "stopped";
  stopper.join();

  std::thread opener([&gate] { gate.open(); });
  EXPECT_TRUE(slot.waitUntilEnded(Clock::now() + 60s, {})) << "the thread ended";
  opener.join();
  EXPECT_FALSE(slot.running());
  slot.stop();
}

// ---- SerialWorker --------------------------------------------------------------------------

TEST(SerialWorker, RunsTasksInOrderWithoutMakingThePosterWait) {
  SerialWorker worker(8);
  auto gate = std::make_shared<Gate>();
  std::mutex mutex;
  std::vector<int> order;
  const auto note = [&](int n) {
    std::lock_guard lock(mutex);
    order.push_back(n);
  };
  // The first task is stuck; the poster goes on all the same.
  ASSERT_TRUE(worker.post([gate, note](const ThreadRun&) {
    gate->pass();
    note(1);
  }));
  for (int n = 2; n <= 4; ++n) {
    ASSERT_TRUE(worker.post([note, n](const ThreadRun&) { note(n); }));
  }
  EXPECT_TRUE(worker.busy());
  gate->open();
  ASSERT_TRUE(waitFor([&] { return !worker.busy(); }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(SerialWorker, RefusesBeyondItsQueueAndAfterStopAndDropsWhatWaits) {
  SerialWorker worker(2);
  auto gate = std::make_shared<Gate>();
  auto ran = std::make_shared<std::atomic<int>>(0);
  auto stuck = std::make_shared<std::atomic<int>>(0);  // 1 running, 2 done
  ASSERT_TRUE(worker.post([gate, stuck](const ThreadRun&) {
    stuck->store(1);
    gate->pass();
    stuck->store(2);
  }));
  // The running task has left the queue; two more fit behind it.
  ASSERT_TRUE(waitFor([&] { return stuck->load() == 1; }));
  EXPECT_TRUE(worker.post([ran](const ThreadRun&) { ++*ran; }));
  EXPECT_TRUE(worker.post([ran](const ThreadRun&) { ++*ran; }));
  EXPECT_FALSE(worker.post([ran](const ThreadRun&) { ++*ran; })) << "the queue holds two";

  // The stuck task is told to stop and given up on; the waiting ones never run.
  EXPECT_FALSE(worker.stop(100ms));
  EXPECT_FALSE(worker.post([ran](const ThreadRun&) { ++*ran; }));
  gate->open();
  ASSERT_TRUE(waitFor([&] { return stuck->load() == 2; }));
  EXPECT_EQ(ran->load(), 0);
}

TEST(SerialWorker, ALongTaskSeesTheStopAndATaskThatThrowsCostsOnlyItself) {
  SerialWorker worker(4);
  auto ran = std::make_shared<std::atomic<bool>>(false);
  ASSERT_TRUE(worker.post([](const ThreadRun&) { throw std::runtime_error("camera refused"); }));
  ASSERT_TRUE(worker.post([ran](const ThreadRun&) { ran->store(true); }));
  ASSERT_TRUE(waitFor([&] { return ran->load(); }));

  ASSERT_TRUE(worker.post(untilStopped));
  ASSERT_TRUE(waitFor([&] { return worker.busy(); }));
  EXPECT_TRUE(worker.stop(10s)) << "the task watching its run ends when the worker stops";
}

}  // namespace
}  // namespace ipcam::platform
