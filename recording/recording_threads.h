#pragma once

namespace ipcam {

struct ChannelRecord;

// The channel's manual recording thread, started by the record button, the tile menu, and the
// channel pipeline at a stream's first picture while manual recording is wanted. It raises
// manualRecordRunning in the channel's slot and returns whether a thread now runs.
bool startManualRecordThread(ChannelRecord& record);

}  // namespace ipcam
