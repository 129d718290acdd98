#pragma once

#include <cstddef>

#include "core/stream_context.h"

namespace ipcam {

struct ChannelRecord;
namespace platform {
class ThreadRun;
}

// Receive buffers of the two HTTP workers, each allocated once per worker run. The picture
// buffer takes the largest picture any camera sends (the documented 1,000,000 bytes refused
// the pictures of today's high-resolution cameras).
inline constexpr std::size_t kVideoReceiveBytes = kLargestFrameBytes;
inline constexpr std::size_t kAudioReceiveBytes = 1000;

// The HTTP video worker: reads the camera's picture stream into the channel's video queue,
// opening it again (at most every 5 seconds) while it fails, until `run` says stop or the
// camera says it has too many users. Runs in the StreamContext's HTTP video slot.
void httpVideoWorker(ChannelRecord& record, const platform::ThreadRun& run);

// The HTTP audio worker: the camera's 33-byte audio blocks into the channel's audio queue.
// Shows nothing; ends only when `run` says stop.
void httpAudioWorker(ChannelRecord& record, const platform::ThreadRun& run);

// Hands the channel to its stream workers, using the StreamContext's set-up. If any of the
// three workers still runs, nothing happens (true). Kind 0 starts the HTTP video worker and,
// for a camera with audio, the HTTP audio worker; for the RTSP kinds, the RTSP worker.
bool startStreamWorkers(ChannelRecord& record, StreamKind kind);

}  // namespace ipcam
