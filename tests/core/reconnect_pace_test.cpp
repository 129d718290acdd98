#include "core/reconnect_pace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A run's good data, as offsets from its open; whether it counts as a run that ran, and
// when its road may be opened again (nothing: at once).
struct RunCase {
  const char* name;
  std::vector<std::chrono::milliseconds> data;
  bool ran;
};

TEST(ServerStreamRun, OnlyAStreamThatKeptDeliveringForThePaceHasRun) {
  const Clock::time_point opened = Clock::now();
  const RunCase cases[] = {
      {"nothing arrived", {}, false},
      {"data only at first", {0ms, 100ms, 4999ms}, false},
      {"data past the pace", {0ms, 2000ms, 5000ms, 6000ms}, true},
      {"first data late", {7000ms}, true},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServerStreamRun run(opened);
    int fresh = 0;
    for (const auto at : c.data) fresh += run.delivered(opened + at) ? 1 : 0;
    EXPECT_EQ(run.ran(), c.ran);
    // The budget starts afresh once per run, not with every block.
    EXPECT_EQ(fresh, c.ran ? 1 : 0);
    EXPECT_EQ(run.reopenAt(), c.ran ? Clock::time_point{} : opened + kReconnectPace);
  }
}

TEST(ReconnectGate, WaitsUntilItOpensAndWakesAtOnceOnStop) {
  platform::RunFlag running{1};
  ReconnectGate gate;
  EXPECT_TRUE(gate.waitWhileRunning(running)) << "a clear gate is open";
  gate.openAt(Clock::now() - 1s);
  EXPECT_TRUE(gate.waitWhileRunning(running));

  // Far in the future: only the stop ends the wait, whenever it comes.
  gate.openAt(Clock::now() + 1h);
  std::thread stopper([&] { running.store(0); });
  EXPECT_FALSE(gate.waitWhileRunning(running));
  stopper.join();

  running.store(1);
  gate.clear();
  EXPECT_TRUE(gate.waitWhileRunning(running)) << "the user's Connect does not wait";
}

}  // namespace
}  // namespace ipcam
