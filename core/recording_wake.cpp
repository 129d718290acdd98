#include "core/recording_wake.h"

#include <algorithm>
#include <memory>

namespace ipcam {

std::uint64_t RecordingWake::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

void RecordingWake::notify() {
  {
    std::lock_guard lock(mutex_);
    ++generation_;
  }
  changed_.notify_all();
}

void RecordingWake::wait(std::uint64_t seen, std::stop_token stop,
                         std::optional<Clock::time_point> deadline) {
  std::unique_lock lock(mutex_);
  const auto happened = [this, seen] { return generation_ != seen; };
  if (deadline) {
    changed_.wait_until(lock, stop, *deadline, happened);
  } else {
    changed_.wait(lock, stop, happened);
  }
}

RecordingWake::Clock::time_point PictureSizeWait::nextLook(std::uint64_t seen) {
  if (seen != seen_) {
    seen_ = seen;
    delay_ = kFirstDelay;
  }
  const RecordingWake::Clock::time_point next = RecordingWake::Clock::now() + delay_;
  delay_ = std::min(delay_ * 2, kLongestDelay);
  return next;
}

RecordingWake& recordingWake() {
  // Recorders and abandoned threads may still notify during exit: never destroyed.
  static auto* const wake = std::make_unique<RecordingWake>().release();
  return *wake;
}

}  // namespace ipcam
