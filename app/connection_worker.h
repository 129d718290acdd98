#pragma once

namespace ipcam {

struct ChannelRecord;

// Arms the auto-reconnect flag of the channel's server family before a connection pass.
void armReconnect(ChannelRecord& record);

// Starts the connection worker of the record's channel in its connection slot (run flag
// `connectRunning`). False when a worker of that channel is still running.
bool startConnectionWorker(ChannelRecord& record);

// The worker itself: identifies the camera, chooses its road and hands the channel to it.
void connectionWorker(ChannelRecord& record);

}  // namespace ipcam
