#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace ipcam::platform {

// The "go on" flag of a thread: set while the thread should run, cleared to tell it to end.
// Clearing it wakes every wait on it at once, so a thread that sleeps on its flag (a timed
// pause, a socket wait, a condition-variable wait through ThreadRun's stop token) needs no
// periodic look at it.
//
// Everything a plain atomic flag offered (load, store) stays, so readers are unchanged. Only a
// store of 0 wakes; a store of another value re-arms the flag for a new thread of the same slot.
class RunFlag {
 public:
  constexpr RunFlag() noexcept = default;
  constexpr explicit RunFlag(std::int32_t value) noexcept : value_(value) {}
  RunFlag(const RunFlag&) = delete;
  RunFlag& operator=(const RunFlag&) = delete;
  ~RunFlag();

  std::int32_t load() const noexcept { return value_.load(); }
  // Storing 0 wakes every sleep and socket wait on the flag.
  void store(std::int32_t value) noexcept;

  // Sleeps up to `duration` while the flag stays set. True when the time passed with the flag
  // still set, false as soon as it is (or already was) 0.
  bool sleepWhileSet(std::chrono::nanoseconds duration) const;

  // A descriptor for poll(): readable while the flag is 0. Made on first use and kept for the
  // flag's life; -1 when the system gives none (the caller then looks at the flag itself).
  int stopDescriptor() const;

 private:
  void signalStop() const noexcept;
  void clearStop() const noexcept;

  std::atomic<std::int32_t> value_{0};
  mutable std::atomic<int> stopFd_{-1};
};

}  // namespace ipcam::platform
