#include "alerts/motion_thread.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "alerts/motion_mail.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/recording_wake.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = RecordingWake::Clock;

// How soon a start that did not get going (the camera not live, no file opened) is tried
// again.
constexpr auto kRetry = 1000ms;
constexpr std::int32_t kDefaultSeconds = 10;

bool live(std::int32_t status) {
  return status == kStatusLive || status == kStatusRecording;
}

CameraSettings cameraSettings(int channel) {
  std::lock_guard lock(settingsMutex());
  return liveSettings().camera[static_cast<std::size_t>(channel)];
}

// A recording has just begun: the alarm, then the mail, which goes to the mail thread so that
// a slow server never holds up the recording or its stop.
void announce(ChannelRecord& record, const FrameSink& recorder) {
  const CameraSettings camera = cameraSettings(record.channel);
  if (camera.mrAlarm == 1) channelEvents().alarm(record);
  if (camera.mrMail != 1) return;
  std::string fileName = recorder.currentFile();
  MotionMailSettings mail;
  {
    std::lock_guard lock(settingsMutex());
    mail = MotionMailSettings::from(liveSettings());
  }
  motionMailWorker().post(record.channel, std::move(mail), std::move(fileName));
}

// One motion recording: started as soon as the channel is live with a known picture size
// (see PictureSizeWait), stopped at the end time. The thread sleeps until then; a start that
// did not get going is tried again every second. A recorder that never got going
// by the end is given up too, so that the next report of motion can start afresh.
void runMotion(ChannelRecord& record, FrameSink& recorder, const platform::ThreadRun& run) {
  const Clock::time_point end =
      Clock::now() +
      std::chrono::seconds(motionRecordingSeconds(cameraSettings(record.channel).mrSecond));
  RecordingWake& wake = recordingWake();
  PictureSizeWait pictureWait;
  while (run.running()) {
    const std::uint64_t seen = wake.generation();
    const Clock::time_point now = Clock::now();
    if (now >= end) {
      if (recorder.recording()) recorder.stopRecording();
      return;
    }
    Clock::time_point deadline = end;
    if (record.pictureWidth.load() == 0 || record.pictureHeight.load() == 0) {
      deadline = std::min(end, pictureWait.nextLook(seen));
    } else if (!recorder.recording()) {
      pictureWait.found();
      if (live(record.status.load()) && recorder.startRecording() == 0) {
        announce(record, recorder);
      } else {
        deadline = std::min(end, now + kRetry);
      }
    }
    wake.wait(seen, run.stopToken(), deadline);
  }
  // The channel is being stopped. A thread the slot gave up on leaves the recorder to the
  // thread that replaced it.
  if (!run.abandoned() && recorder.recording()) recorder.stopRecording();
}

}  // namespace

std::int32_t motionRecordingSeconds(std::int32_t stored) {
  switch (stored) {
    case 10:
    case 20:
    case 30:
    case 60:
      return stored;
    default:
      return kDefaultSeconds;
  }
}

bool startMotionThread(ChannelRecord& record) {
  if (record.channel < 0 || record.channel >= kChannelCount) return false;
  // Whoever asks, motion never records on a channel where it is off.
  if (cameraSettings(record.channel).mrEnable != 1) return false;
  // The thread holds the recorder, so one given up on at a stop never outlives it.
  std::shared_ptr<FrameSink> sink = record.motionRecorder;
  if (!sink) return false;
  const bool started = record.threads.motion.start(
      record.motionRunning,
      [&record, sink](const platform::ThreadRun& run) { runMotion(record, *sink, run); },
      "motion " + std::to_string(record.channel + 1));
  if (started) platform::trace("motion thread started for channel %d", record.channel + 1);
  return started;
}

}  // namespace ipcam
