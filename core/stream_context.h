#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/media_queue.h"
#include "platform/thread_slot.h"

namespace ipcam {

struct ChannelRecord;

// The HTTP/RTSP stream kinds of a channel's StreamContext.
enum class StreamKind : int {
  Http = 0,  // Motion JPEG picture stream, plus HTTP audio when the camera has audio
  RtspMpeg4 = 1,
  RtspH264 = 2,
  RtspMjpeg = 3,
};

// The HTTP/RTSP stream object of a channel: its three worker threads and what they share.
// Embedded in the channel record.
struct StreamContext {
  // What the connection worker hands over before it starts the workers.
  struct Setup {
    std::string user;
    std::string password;
    std::string host;
    std::string portText;  // "%d" of the camera's web port
    int kind = 0;          // 0 HTTP, 1 RTSP MPEG-4, 2 RTSP H.264, 3 RTSP Motion JPEG
  };

  void configure(Setup setup);
  // A copy for a worker to keep for its whole run.
  Setup setup() const;
  // True while any of the three workers runs.
  bool anyWorkerRunning() const;

  platform::ThreadSlot rtspWorker;
  platform::ThreadSlot httpVideoWorker;
  platform::ThreadSlot httpAudioWorker;
  platform::ThreadSlot::RunFlag rtspRunning{0};       // atomic
  platform::ThreadSlot::RunFlag httpVideoRunning{0};  // atomic
  platform::ThreadSlot::RunFlag httpAudioRunning{0};  // atomic
  ChannelRecord* record = nullptr;                    // written once before the threads start

  // Pictures for the channel's decode thread, and audio blocks for its player thread, from
  // whichever road the channel takes.
  MediaQueue videoQueue{100};
  MediaQueue audioQueue{1000};
  platform::ThreadSlot decodeThread;
  platform::ThreadSlot::RunFlag decodeRunning{0};  // atomic
  platform::ThreadSlot audioPlayerThread;
  platform::ThreadSlot::RunFlag audioPlayerRunning{0};  // atomic

  // Stops the workers in the order RTSP, HTTP video, HTTP audio, then whatever decode or
  // player thread they leave. Each stop clears the thread's running flag and waits for it (a
  // few seconds at most, then it is abandoned).
  void stopWorkers();
  // The two halves of stopWorkers, for a channel whose queues other roads fill too: the
  // three workers, then the decode and player threads once nothing feeds them any more.
  void stopReaders();
  void stopDecoding();
  // Tells the workers and their decode and player threads to end, without waiting.
  void requestStopWorkers();

 private:
  mutable std::mutex setupMutex_;
  Setup setup_;  // guarded by setupMutex_
};

}  // namespace ipcam
