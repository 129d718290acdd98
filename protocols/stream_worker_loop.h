#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <span>

#include "core/reconnect_pace.h"

namespace ipcam {

namespace platform {
class ThreadRun;
}
struct ChannelRecord;

// The reconnect rules that every stream worker (HTTP video, HTTP audio, RTSP) follows, in one
// place.

// Two opens of a stream start at least this far apart. A camera that refuses, or that accepts
// and hangs up at once, is therefore asked again after 5 s rather than in a tight loop; a
// stream that ran for a while is reopened at once when it ends. The camera-server roads keep
// the same pace.
inline constexpr auto kStreamReopenPace = kReconnectPace;
// A stream that has delivered nothing good for this long since it was opened, or since its
// last good data, is given up and opened again.
inline constexpr auto kStreamSilenceLimit = std::chrono::milliseconds(10000);
// After a refused read the worker pauses this long before it reads again.
inline constexpr auto kStreamRetryPause = std::chrono::milliseconds(1);
// The status a camera answers with when it has too many viewers.
inline constexpr int kServerBusyStatus = 406;
// The status of an open the camera refused with the credentials given.
inline constexpr int kLoginRefusedStatus = 401;

enum class StreamOpen { kOpened, kFailed, kServerBusy };
enum class StreamRead {
  kData,        // something good arrived
  kRefused,     // this read failed; the connection may still deliver
  kLost,        // the connection is gone (closed, reset, no socket)
  kServerBusy,  // the camera has too many viewers
};

// What a worker does at each step of its loop. Every step is optional but `open` and `read`.
struct StreamWorkerSteps {
  std::function<void()> connecting;  // before every open: the tile says so, decoding stops
  std::function<StreamOpen()> open;
  std::function<void()> opened;  // after a good open: the tile goes live, decoding starts
  std::function<StreamRead()> read;
  std::function<void()> lost;  // an open failed or the stream was lost; another open follows
};

// True when `result` is one of `codes` (a worker's list of results that mean the connection
// is gone).
inline bool isOneOf(int result, std::span<const int> codes) {
  return std::ranges::find(codes, result) != codes.end();
}

// An open failed or the stream was lost: the event log says "Reconnect..." as every pass
// does, and, once per loss of a stream that delivered, when its last picture came.
void reportStreamLost(ChannelRecord& record);

// Runs the worker's loop until `run` says stop (false) or the camera says it is busy (true).
bool runStreamWorker(const platform::ThreadRun& run, const StreamWorkerSteps& steps);

}  // namespace ipcam
