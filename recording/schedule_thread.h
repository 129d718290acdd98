#pragma once

namespace ipcam {

struct ChannelRecord;

// The channel's schedule thread, started when its stream begins: it raises scheduleRunning in
// the channel's slot and returns whether a thread now runs.
bool startScheduleThread(ChannelRecord& record);

}  // namespace ipcam
