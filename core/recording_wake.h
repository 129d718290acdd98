#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>

namespace ipcam {

// What the recording threads (schedule, manual, motion) sleep on between their passes. They
// have no period of their own: each sleeps until something it waits for happens (a stream's
// first picture, a recorder's file reaching "FileSize" or ending by itself, the schedule table
// changing), until a time it computed, or until its stop. Every such event wakes all of them;
// the events are rare, and each thread looks again and goes back to sleep.
class RecordingWake {
 public:
  using Clock = std::chrono::steady_clock;

  // Taken before a pass looks at the world, so that an event during the pass is not missed.
  std::uint64_t generation() const;
  void notify();
  // Sleeps until an event after `seen`, until `deadline` (none: no time limit) or until
  // `stop` is requested.
  void wait(std::uint64_t seen, std::stop_token stop, std::optional<Clock::time_point> deadline);

 private:
  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  std::uint64_t generation_ = 0;  // guarded by mutex_
};

// The one every recording thread and every recorder of the program uses.
RecordingWake& recordingWake();

// Tells the recording threads to look again (a first picture, a new schedule table).
inline void wakeRecordingThreads() {
  recordingWake().notify();
}

}  // namespace ipcam
