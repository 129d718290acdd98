#include "recording/recording_threads.h"

#include <chrono>
#include <cstdint>
#include <memory>

#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "platform/run_wait.h"
#include "platform/thread_slot.h"
#include "recording/channel_recorder.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr auto kPass = 1000ms;
constexpr auto kPictureSizeRetry = 1ms;
// "FileSize" counts megabytes of a million bytes.
constexpr std::uint64_t kFileSizeUnit = 1000000;

std::uint64_t fileSizeLimit() {
  std::lock_guard lock(settingsMutex());
  const std::int32_t megabytes = liveSettings().fileSize;
  return static_cast<std::uint64_t>(megabytes > 0 ? megabytes : 1) * kFileSizeUnit;
}

bool live(std::int32_t status) {
  return status == kStatusLive || status == kStatusRecording;
}

// One pass: a recorder that is idle starts (quietly after a split); one whose file reached
// "FileSize" goes on in a new file at once, so no frame is lost between the two.
void manualRecordPass(const ChannelRecord& record, ChannelRecorder& recorder) {
  if (!live(record.status.load())) return;
  if (!recorder.recording()) {
    recorder.startRecording();
    recorder.setSplitting(false);
  } else if (recorder.writtenBytes() >= fileSizeLimit()) {
    recorder.setSplitting(true);
    // Should the next file fail to open, the start of a later pass stays quiet as well.
    if (recorder.splitRecording() == ChannelRecorder::kStarted) recorder.setSplitting(false);
  }
}

void runManualRecord(const ChannelRecord& record, ChannelRecorder& recorder,
                     const platform::ThreadRun& run) {
  while (run.running()) {
    if (record.pictureWidth.load() == 0 || record.pictureHeight.load() == 0) {
      platform::sleepWhileRunning(run.flag(), kPictureSizeRetry);
      continue;
    }
    manualRecordPass(record, recorder);
    platform::sleepWhileRunning(run.flag(), kPass);
  }
  // A thread the slot gave up on leaves the recorder to the thread that replaced it.
  if (!run.abandoned() && recorder.recording()) recorder.stopRecording();
}

}  // namespace

bool startManualRecordThread(ChannelRecord& record) {
  // The thread holds the recorder, so one given up on at a stop never outlives it.
  std::shared_ptr<FrameSink> sink = record.manualRecorder;
  if (asRecorder(sink) == nullptr) return false;
  return record.threads.manualRecord.start(record.manualRecordRunning,
                                           [&record, sink](const platform::ThreadRun& run) {
                                             runManualRecord(record, *asRecorder(sink), run);
                                           });
}

}  // namespace ipcam
