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

// A recorder needs the picture size to start a file. The size comes with the stream's first
// decoded picture, a moment after its first picture is reported and with no report of its
// own, so a thread that waits for it looks again after 10 ms, then after twice as long each
// time up to a second; any event of the wake starts the series afresh.
class PictureSizeWait {
 public:
  // The time of the next look, for a pass that found no size and took `seen` before it.
  RecordingWake::Clock::time_point nextLook(std::uint64_t seen);
  // The size is known: the next wait for it starts short again.
  void found() { delay_ = kFirstDelay; }

 private:
  static constexpr std::chrono::milliseconds kFirstDelay{10};
  static constexpr std::chrono::milliseconds kLongestDelay{1000};
  std::chrono::milliseconds delay_ = kFirstDelay;
  std::uint64_t seen_ = 0;
};

// The one every recording thread and every recorder of the program uses.
RecordingWake& recordingWake();

// Tells the recording threads to look again (a first picture, a new schedule table).
inline void wakeRecordingThreads() {
  recordingWake().notify();
}

}  // namespace ipcam
