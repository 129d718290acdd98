#pragma once

#include <chrono>
#include <thread>

namespace ipcam::testing {

// Waits until `condition` holds or `limit` passes, looking every few milliseconds. The limits
// are generous on purpose: the suite must pass on a machine that is busy with other work, so
// a test waits for the event it expects rather than for a fixed time.
template <class Condition>
bool waitFor(Condition condition,
             std::chrono::steady_clock::duration limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace ipcam::testing
