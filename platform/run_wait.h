#pragma once

#include <chrono>

#include "platform/run_flag.h"

namespace ipcam::platform {

// Waits up to `duration` while `runFlag` stays set, asleep until the time passes or the flag
// drops. Returns false as soon as the flag drops.
inline bool sleepWhileRunning(const RunFlag& runFlag, std::chrono::milliseconds duration) {
  return runFlag.sleepWhileSet(duration);
}

}  // namespace ipcam::platform
