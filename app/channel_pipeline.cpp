#include "app/channel_pipeline.h"

#include <algorithm>

#include "alerts/motion_thread.h"
#include "core/channel_record.h"
#include "core/recording_wake.h"
#include "media/audio_player.h"
#include "media/stream_decode_thread.h"
#include "platform/sound_file.h"
#include "recording/recording_threads.h"
#include "recording/schedule_thread.h"
#include "recording/snapshot.h"

namespace ipcam {
namespace {

// The turn of a record outside the table (a test's own) is the first channel's.
std::size_t turnIndex(const ChannelRecord& record) {
  return static_cast<std::size_t>(std::clamp(record.channel, 0, kChannelCount - 1));
}

void run(const ChannelParts::Step& step, ChannelRecord& record) {
  if (step) step(record);
}

}  // namespace

ChannelParts realChannelParts() {
  ChannelParts parts;
  parts.startDecode = startStreamDecodeThread;
  parts.stopDecode = stopStreamDecodeThread;
  parts.startAudio = [](ChannelRecord& record) { startAudioPlayback(record); };
  parts.stopAudio = stopAudioPlayback;
  parts.startSchedule = [](ChannelRecord& record) { startScheduleThread(record); };
  parts.stopSchedule = [](ChannelRecord& record) { record.threads.schedule.stop(); };
  parts.startManual = [](ChannelRecord& record) { startManualRecordThread(record); };
  parts.stopManual = [](ChannelRecord& record) { record.threads.manualRecord.stop(); };
  parts.startMotion = [](ChannelRecord& record) { startMotionThread(record); };
  parts.stopMotion = [](ChannelRecord& record) { record.threads.motion.stop(); };
  parts.stopChannel = stopChannelThreads;
  parts.playAlarm = [](ChannelRecord&) { platform::playAlarm(); };
  parts.saveJpeg = saveJpegSnapshot;
  parts.savePicture = savePictureSnapshot;
  return parts;
}

std::mutex& ChannelPipeline::turnOf(const ChannelRecord& record) {
  return turns_[turnIndex(record)];
}

void ChannelPipeline::streamOpened(ChannelRecord& record) {
  std::lock_guard turn(turnOf(record));
  run(parts_.startDecode, record);
}

void ChannelPipeline::audioOpened(ChannelRecord& record) {
  std::lock_guard turn(turnOf(record));
  run(parts_.startAudio, record);
}

void ChannelPipeline::streamLost(ChannelRecord& record) {
  std::lock_guard turn(turnOf(record));
  run(parts_.stopDecode, record);
  endRecordings(record);
}

void ChannelPipeline::streamStopped(ChannelRecord& record) {
  std::lock_guard turn(turnOf(record));
  run(parts_.stopDecode, record);
}

void ChannelPipeline::audioLost(ChannelRecord& record) {
  std::lock_guard turn(turnOf(record));
  run(parts_.stopAudio, record);
}

void ChannelPipeline::firstPicture(ChannelRecord& record) {
  // Recording threads started before the stream (the record button) wait for its picture size.
  wakeRecordingThreads();
  run(parts_.startSchedule, record);
  if (record.manualRecord.load() != 0 && record.manualRecordRunning.load() == 0) {
    run(parts_.startManual, record);
  }
}

void ChannelPipeline::motion(ChannelRecord& record) {
  run(parts_.startMotion, record);
}

void ChannelPipeline::alarm(ChannelRecord& record) {
  run(parts_.playAlarm, record);
}

void ChannelPipeline::jpegSnapshot(ChannelRecord& record, std::span<const std::uint8_t> jpeg) {
  if (parts_.saveJpeg) parts_.saveJpeg(record, jpeg);
}

void ChannelPipeline::pictureSnapshot(ChannelRecord& record, const PictureView& picture) {
  if (parts_.savePicture) parts_.savePicture(record, picture);
}

void ChannelPipeline::stopChannel(ChannelRecord& record) {
  // Not in the channel's turn: the roads report their end while they are being stopped.
  run(parts_.stopChannel, record);
  // What an answer that was under way meanwhile started is undone once nothing reports.
  std::lock_guard turn(turnOf(record));
  run(parts_.stopDecode, record);
  run(parts_.stopAudio, record);
  endRecordings(record);
}

void ChannelPipeline::endRecordings(ChannelRecord& record) {
  run(parts_.stopMotion, record);
  run(parts_.stopManual, record);
  run(parts_.stopSchedule, record);
}

ChannelPipeline& channelPipeline() {
  // Never destroyed: a thread given up on at shutdown may still report to it.
  static auto* const pipeline = new ChannelPipeline(realChannelParts());
  return *pipeline;
}

}  // namespace ipcam
