#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread_slot.h"

namespace ipcam {

struct ChannelRecord;

// The HTTP/RTSP stream object of a channel: its three worker threads and what they share.
// Embedded in the channel record.
struct StreamContext {
  platform::ThreadSlot rtspWorker;
  platform::ThreadSlot httpVideoWorker;
  platform::ThreadSlot httpAudioWorker;
  platform::ThreadSlot::RunFlag rtspRunning{0};       // atomic
  platform::ThreadSlot::RunFlag httpVideoRunning{0};  // atomic
  platform::ThreadSlot::RunFlag httpAudioRunning{0};  // atomic
  ChannelRecord* record = nullptr;                    // written once before the threads start

  // Stops the workers in the order RTSP, HTTP video, HTTP audio. Each stop clears the
  // worker's running flag and waits for it (a few seconds at most, then it is abandoned).
  void stopWorkers();
};

}  // namespace ipcam
