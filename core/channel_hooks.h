#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace ipcam {

struct ChannelRecord;
struct PictureView;
class FrameSink;

// What one subsystem asks of another for a channel, without knowing who answers: the stream
// workers start the decode thread and the sound, the decode thread starts the recording
// threads and the motion chain and hands over snapshots. The program fills the table once at
// start-up, before any channel thread starts (app/program_wiring); a hook left empty does
// nothing and answers false.
struct ChannelHooks {
  // The channel's stream decode thread.
  std::function<void(ChannelRecord&)> startDecodeThread;
  std::function<void(ChannelRecord&)> stopDecodeThread;
  std::function<bool(const ChannelRecord&)> decodeThreadRunning;
  // The channel's live sound.
  std::function<bool(ChannelRecord&)> startAudioPlayback;
  std::function<void(ChannelRecord&)> stopAudioPlayback;
  // The recording threads and the motion chain; each returns whether its thread now runs.
  std::function<bool(ChannelRecord&)> startScheduleThread;
  std::function<bool(ChannelRecord&)> startManualRecordThread;
  std::function<bool(ChannelRecord&)> startMotionThread;
  // The motion thread drives the channel's motion recorder through these; it holds the sink,
  // so a thread given up on at exit never reaches a freed recorder. Start answers whether a
  // file is now open; the file is its full path, empty when none is open.
  std::function<bool(FrameSink&)> startMotionRecording;
  std::function<void(FrameSink&)> stopMotionRecording;
  std::function<std::string(const FrameSink&)> motionRecordingFile;
  // The alarm sound, played once without waiting for it.
  std::function<void()> playAlarm;
  // A snapshot the user asked for: the camera's own JPEG, or a converted picture.
  std::function<void(ChannelRecord&, std::span<const std::uint8_t> jpeg)> saveJpegSnapshot;
  std::function<void(ChannelRecord&, const PictureView&)> savePictureSnapshot;
};

ChannelHooks& channelHooks();

// The hooks, called safely whether filled or not.
template <class Hook, class... Args>
auto callHook(const Hook& hook, Args&&... args) {
  using Result = decltype(hook(std::forward<Args>(args)...));
  if (!hook) return Result();
  return hook(std::forward<Args>(args)...);
}

}  // namespace ipcam
