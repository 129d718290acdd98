#include "alerts/motion_thread.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "alerts/motion_mail.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "platform/run_wait.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPass = 1000ms;
constexpr auto kPictureSizeRetry = 1ms;
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

// One motion recording: started in the first pass that finds the channel live, stopped in the
// first pass at or after the end time. A recorder that never got going by then is given up
// too, so that the next report of motion can start afresh.
void runMotion(ChannelRecord& record, FrameSink& recorder, const platform::ThreadRun& run) {
  const Clock::time_point end =
      Clock::now() +
      std::chrono::seconds(motionRecordingSeconds(cameraSettings(record.channel).mrSecond));
  while (run.running()) {
    const bool recording = recorder.recording();
    if (Clock::now() >= end) {
      if (recording) recorder.stopRecording();
      return;
    }
    if (record.pictureWidth.load() == 0 || record.pictureHeight.load() == 0) {
      platform::sleepWhileRunning(run.flag(), kPictureSizeRetry);
      continue;
    }
    if (!recording && live(record.status.load()) && recorder.startRecording() == 0) {
      announce(record, recorder);
    }
    platform::sleepWhileRunning(run.flag(), kPass);
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
      [&record, sink](const platform::ThreadRun& run) { runMotion(record, *sink, run); });
  if (started) platform::trace("motion thread started for channel %d", record.channel + 1);
  return started;
}

}  // namespace ipcam
