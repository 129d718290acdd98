#include "core/stream_context.h"

namespace ipcam {

void StreamContext::configure(Setup setup) {
  std::lock_guard lock(setupMutex_);
  setup_ = std::move(setup);
}

StreamContext::Setup StreamContext::setup() const {
  std::lock_guard lock(setupMutex_);
  return setup_;
}

bool StreamContext::anyWorkerRunning() const {
  return rtspWorker.running() || httpVideoWorker.running() || httpAudioWorker.running();
}

void StreamContext::requestStopWorkers() {
  for (platform::ThreadSlot* slot :
       {&rtspWorker, &httpVideoWorker, &httpAudioWorker, &decodeThread, &audioPlayerThread}) {
    slot->requestStop();
  }
}

void StreamContext::stopWorkers() {
  stopReaders();
  // A worker ends its decode and player threads itself; one that had to be given up on leaves
  // them (a newer worker might own them), so they are stopped here. Usually there is nothing
  // left to stop.
  stopDecoding();
}

void StreamContext::stopReaders() {
  // The workers' sockets carry their own time-outs, so they end well within this; the limit
  // only keeps a worker stuck in something unforeseen from holding up the exit for good.
  constexpr auto kLimit = std::chrono::seconds(5);
  rtspWorker.stop(kLimit);
  httpVideoWorker.stop(kLimit);
  httpAudioWorker.stop(kLimit);
}

void StreamContext::stopDecoding() {
  decodeThread.stop();
  audioPlayerThread.stop();
}

}  // namespace ipcam
