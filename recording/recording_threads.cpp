#include "recording/recording_threads.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/recording_wake.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"
#include "recording/channel_recorder.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// How soon a pass that could not do its work (the camera not live, no file opened, a split
// that had to wait for the next second) is tried again.
constexpr auto kRetry = 1000ms;
// A "FileSize" made smaller than the open file already is has no write that reaches it: it is
// read again this often.
constexpr auto kSizeSettingCheck = 60s;
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
// "FileSize" goes on in a new file at once, so no frame is lost between the two. True when
// the recorder is where it should be, false when the pass must be tried again.
bool manualRecordPass(const ChannelRecord& record, ChannelRecorder& recorder, std::uint64_t limit) {
  if (!live(record.status.load())) return false;
  if (!recorder.recording()) {
    recorder.startRecording();
    recorder.setSplitting(false);
  } else if (recorder.writtenBytes() >= limit) {
    recorder.setSplitting(true);
    // Should the next file fail to open, the start of a later pass stays quiet as well.
    if (recorder.splitRecording() == ChannelRecorder::kStarted) recorder.setSplitting(false);
  }
  return recorder.recording() && recorder.writtenBytes() < limit;
}

// Sleeps between passes: while the file is being written, until the write that reaches
// "FileSize" or a file that ends by itself wakes it (and at least once a minute for a new
// "FileSize"); a second while a pass could not do its work; see PictureSizeWait before the
// picture size is known.
void runManualRecord(const ChannelRecord& record, ChannelRecorder& recorder,
                     const platform::ThreadRun& run) {
  RecordingWake& wake = recordingWake();
  PictureSizeWait pictureWait;
  while (run.running()) {
    const std::uint64_t seen = wake.generation();
    const std::uint64_t limit = fileSizeLimit();
    recorder.watchSplit(limit);
    std::optional<RecordingWake::Clock::time_point> deadline;
    const bool pictureKnown = record.pictureWidth.load() != 0 && record.pictureHeight.load() != 0;
    if (pictureKnown) {
      pictureWait.found();
      deadline = RecordingWake::Clock::now() +
                 (manualRecordPass(record, recorder, limit) ? kSizeSettingCheck : kRetry);
    } else {
      deadline = pictureWait.nextLook(seen);
    }
    wake.wait(seen, run.stopToken(), deadline);
  }
  // A thread the slot gave up on leaves the recorder to the thread that replaced it.
  if (!run.abandoned() && recorder.recording()) recorder.stopRecording();
}

}  // namespace

bool startManualRecordThread(ChannelRecord& record) {
  // The thread holds the recorder, so one given up on at a stop never outlives it.
  std::shared_ptr<FrameSink> sink = record.manualRecorder;
  if (asRecorder(sink) == nullptr) return false;
  return record.threads.manualRecord.start(
      record.manualRecordRunning,
      [&record, sink](const platform::ThreadRun& run) {
        runManualRecord(record, *asRecorder(sink), run);
      },
      "manual " + std::to_string(record.channel + 1));
}

}  // namespace ipcam
