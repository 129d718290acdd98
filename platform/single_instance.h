#pragma once

#include <string_view>

namespace ipcam::platform {

// Process-wide guard against a second instance: an exclusive, non-blocking flock on a lock
// file named after the instance name in $XDG_RUNTIME_DIR (else the temp folder). The lock
// is held for as long as the object lives, and the kernel drops it when the process ends,
// however it ends.
class SingleInstance {
 public:
  explicit SingleInstance(std::string_view name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // False when another process holds the lock. When the lock file cannot be created at all
  // the program goes on (as it would if the mutex could not be created): true.
  bool acquired() const { return acquired_; }

 private:
  int fd_ = -1;
  bool acquired_ = false;
};

}  // namespace ipcam::platform
