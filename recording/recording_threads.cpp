#include "recording/recording_threads.h"

#include "core/channel_record.h"

namespace ipcam {

// Manual recording comes with the recorder; until then nothing starts, and the run flag stays
// clear so that nobody waits for a thread that does not exist.
bool startManualRecordThread(ChannelRecord& /*record*/) {
  return false;
}

}  // namespace ipcam
