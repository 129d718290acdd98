#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace ipcam::platform {

// Waits up to `duration` while `runFlag` stays set, looking at it every millisecond.
// Returns false as soon as the flag drops.
inline bool sleepWhileRunning(const std::atomic<std::int32_t>& runFlag,
                              std::chrono::milliseconds duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (runFlag.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace ipcam::platform
