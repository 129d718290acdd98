#pragma once

namespace ipcam {

struct ChannelRecord;

// The channel's stream decode thread: drains the StreamContext's video queue, whichever road
// fills it, hands frames to the recorders, decodes them and presents the pictures. It reports
// the first picture of its run and the camera's motion marks to the channel's event sink.
// Started and stopped by the channel's owner when a road opens or loses its stream. Start does
// nothing while the thread runs; stop waits up to 1000 ms.
void startStreamDecodeThread(ChannelRecord& record);
void stopStreamDecodeThread(ChannelRecord& record);
bool streamDecodeThreadRunning(const ChannelRecord& record);

}  // namespace ipcam
