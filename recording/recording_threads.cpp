#include "recording/recording_threads.h"

#include "core/channel_record.h"

namespace ipcam {

// Schedules and manual recording come with the recorder; until then nothing starts, and the
// run flags stay clear so that nobody waits for a thread that does not exist.
bool startScheduleThread(ChannelRecord& /*record*/) {
  return false;
}

bool startManualRecordThread(ChannelRecord& /*record*/) {
  return false;
}

}  // namespace ipcam
