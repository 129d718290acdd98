#pragma once

namespace ipcam {

struct ChannelRecord;

// The channel's stream decode thread: drains the StreamContext's video queue, hands frames to
// the recorders, decodes them and presents the pictures. Started and stopped by the HTTP video
// worker and the RTSP worker. Start does nothing while the thread runs; stop waits up to 1000 ms.
void startStreamDecodeThread(ChannelRecord& record);
void stopStreamDecodeThread(ChannelRecord& record);
bool streamDecodeThreadRunning(const ChannelRecord& record);

}  // namespace ipcam
