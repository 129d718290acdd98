#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/run_flag.h"

namespace ipcam {

// Every road reconnects at one pace: two opens of a camera's stream start at least this far
// apart, so a camera whose stream fails at once is asked again every 5 s rather than in a
// tight loop. A stream that kept delivering for this long counts as one that ran: its loss is
// reconnected at once, and only such a stream gives the channel a fresh retry budget.
inline constexpr std::chrono::milliseconds kReconnectPace{5000};

// One run of a camera-server stream (the MPEG-4 server or the legacy road), from its open to
// its loss. Used by the data thread alone.
class ServerStreamRun {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ServerStreamRun(Clock::time_point opened = Clock::now()) : opened_(opened) {}

  // Good data arrived. True exactly once: with the first data at least a pace after the open.
  bool delivered(Clock::time_point now = Clock::now()) {
    if (ran_ || now - opened_ < kReconnectPace) return false;
    ran_ = true;
    return true;
  }
  bool ran() const { return ran_; }
  // When the road may be opened again once this run is over.
  Clock::time_point reopenAt() const {
    return ran_ ? Clock::time_point{} : opened_ + kReconnectPace;
  }

 private:
  Clock::time_point opened_;
  bool ran_ = false;
};

// When a channel's camera-server road may be opened again: set by the data thread that lost
// the stream, waited for by the connection worker that it starts, cleared by the user's
// "Connect". Atomic.
class ReconnectGate {
 public:
  using Clock = std::chrono::steady_clock;

  void openAt(Clock::time_point when) { at_.store(when.time_since_epoch().count()); }
  void clear() { at_.store(0); }
  // Waits until the gate is open while `runFlag` stays set; false as soon as it drops.
  bool waitWhileRunning(const platform::RunFlag& runFlag) const;

 private:
  std::atomic<Clock::rep> at_{0};
};

}  // namespace ipcam
