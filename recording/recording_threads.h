#pragma once

namespace ipcam {

struct ChannelRecord;

// The recording threads a channel's decode thread starts when its stream begins. Each starts
// its thread in the channel's slot, which raises the run flag (scheduleRunning,
// manualRecordRunning), and returns whether a thread now runs.
bool startScheduleThread(ChannelRecord& record);
bool startManualRecordThread(ChannelRecord& record);

}  // namespace ipcam
