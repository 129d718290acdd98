#include "protocols/stream_worker_loop.h"

#include <optional>

#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "platform/run_wait.h"
#include "platform/thread_slot.h"

namespace ipcam {

void reportStreamLost(ChannelRecord& record) {
  reportPicturesLost(record);
  logChannelEvent(record.channel, "Reconnect...");
}

bool runStreamWorker(const platform::ThreadRun& run, const StreamWorkerSteps& steps) {
  using Clock = std::chrono::steady_clock;
  const auto call = [](const std::function<void()>& step) {
    if (step) step();
  };

  std::optional<Clock::time_point> lastOpen;
  Clock::time_point lastGood;
  bool connected = false;
  while (run.running()) {
    if (!connected) {
      call(steps.connecting);
      if (lastOpen) {
        const auto wait = *lastOpen + kStreamReopenPace - Clock::now();
        if (wait > Clock::duration::zero() &&
            !platform::sleepWhileRunning(run.flag(),
                                         std::chrono::ceil<std::chrono::milliseconds>(wait))) {
          break;
        }
      }
      lastOpen = Clock::now();
      const StreamOpen opened = steps.open();
      if (!run.running()) break;
      if (opened == StreamOpen::kServerBusy) return true;
      if (opened == StreamOpen::kFailed) {
        call(steps.lost);
        continue;
      }
      connected = true;
      // The silence clock starts with every open, not with the last picture of the previous
      // connection.
      lastGood = Clock::now();
      call(steps.opened);
      continue;
    }

    switch (steps.read()) {
      case StreamRead::kData:
        lastGood = Clock::now();
        break;
      case StreamRead::kServerBusy:
        return true;
      case StreamRead::kLost:
        connected = false;
        if (run.running()) call(steps.lost);
        break;
      case StreamRead::kRefused:
        if (Clock::now() - lastGood >= kStreamSilenceLimit) {
          connected = false;
          if (run.running()) call(steps.lost);
        } else {
          platform::sleepWhileRunning(run.flag(), kStreamRetryPause);
        }
        break;
    }
  }
  return false;
}

}  // namespace ipcam
