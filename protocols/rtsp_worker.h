#pragma once

#include <cstddef>

#include "core/media_queue.h"

namespace ipcam {

struct ChannelRecord;
namespace platform {
class ThreadRun;
}

// Buffers of the RTSP worker, allocated once per worker run.
// The video buffer holds a whole frame (a 4K camera's H.264 key frame runs past the documented
// 1,000,000 bytes).
inline constexpr std::size_t kRtspVideoBufferBytes = kLargestFrameBytes;
inline constexpr std::size_t kRtspAudioBufferBytes = 1000;
// A-law audio goes to the player in whole blocks of this many bytes only.
inline constexpr std::size_t kAlawBlockBytes = 160;

// The RTSP worker: asks the camera for its RTSP port and path, opens the stream of the
// StreamContext's kind and feeds frames and A-law packets into the channel's queues, opening it
// again (at most every 5 seconds) while it fails, until `run` says stop or the camera is busy
// (406). Runs in the StreamContext's RTSP slot.
void rtspWorker(ChannelRecord& record, const platform::ThreadRun& run);

}  // namespace ipcam
