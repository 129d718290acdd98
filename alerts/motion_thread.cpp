#include "alerts/motion_thread.h"

#include "core/channel_record.h"

namespace ipcam {

// The motion chain (recording, alarm, mail) comes later; until then nothing starts and
// motionRunning stays clear.
bool startMotionThread(ChannelRecord& /*record*/) {
  return false;
}

}  // namespace ipcam
