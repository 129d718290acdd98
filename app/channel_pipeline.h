#pragma once

namespace ipcam {

struct ChannelRecord;

// A channel's stream was lost: its motion, manual and schedule recording threads end, in the
// reverse of the order they were started, and each closes its file. When the stream comes
// back its decode thread starts them again and every recording goes on in a new file from
// the next key frame. Waits for the threads (each up to its time limit): not on the
// user-interface thread.
void endRecordingsAfterLoss(ChannelRecord& record);

}  // namespace ipcam
