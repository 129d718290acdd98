#include "recording/schedule_thread.h"

#include "core/channel_record.h"

namespace ipcam {

// Schedules come with the recorder; until then nothing starts, and the run flag stays clear
// so that nobody waits for a thread that does not exist.
bool startScheduleThread(ChannelRecord& /*record*/) {
  return false;
}

}  // namespace ipcam
