#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/frame_sink.h"
#include "recording/avi_file.h"
#include "recording/recording_format.h"

namespace ipcam {

// One AVI recorder of a channel; every channel has three: "Schedule", "Manual" and "Motion".
// Created once at start-up and kept until exit. Its mode's thread starts and stops it; the
// channel's video and audio threads write into it; the recorder lock serialises them.
class ChannelRecorder final : public FrameSink {
 public:
  // startRecording's answers.
  static constexpr int kStarted = 0;
  static constexpr int kNoRecordDir = -1;
  static constexpr int kCannotCreateFile = -2;
  static constexpr int kVideoStreamFailed = -3;
  static constexpr int kVideoFormatFailed = -4;
  static constexpr int kAudioStreamFailed = -5;
  static constexpr int kAudioFormatFailed = -6;
  // writeSample's answers.
  static constexpr int kWritten = 0;
  static constexpr int kIdleOrEmpty = -1;
  static constexpr int kWriteFailed = -2;

  ChannelRecorder(int channel, std::string mode) : channel_(channel), mode_(std::move(mode)) {}
  ChannelRecorder(const ChannelRecorder&) = delete;
  ChannelRecorder& operator=(const ChannelRecorder&) = delete;
  ~ChannelRecorder() override;

  // Opens a new file in the current recording directory (stopping any open one first).
  int startRecording() override;
  // Closes the current file and opens the next one at once, under one hold of the lock, so
  // that no frame falls between the two; no log lines, the channel stays "recording". Does
  // nothing while the next file would get the current one's name (same second) and returns
  // kStarted; any other start failure leaves the recorder idle and returns its code.
  int splitRecording();
  // Closes the file if one is open; always safe.
  void stopRecording() override;
  // The frame suppliers: one compressed video frame or audio block at the stream's end.
  // kIdleOrEmpty also before the file's first key frame, which nothing precedes, not even
  // audio; kWriteFailed for audio the file has no stream for, for a frame larger than
  // kLargestFrameBytes (the file is left as it was), and for a failed write, which ends the
  // file where it was whole and says so in the event log.
  int writeSample(std::span<const std::uint8_t> data, bool isAudio, bool keyFrame);

  // FrameSink: a video frame from the channel's decode thread, written from the first key
  // frame of the file on, with the H.264 parameter sets once in front of it.
  bool recording() const override;
  void writeFrame(std::span<const std::uint8_t> frame, bool keyFrame,
                  std::string_view parameterSets) override;
  // FrameSink: audio from the channel's audio thread; the coding must be the file's.
  int writeAudio(std::span<const std::uint8_t> audio, AudioCoding coding) override;
  // At exit: stops without logging and without touching the channel's state.
  void close() override;

  int channel() const { return channel_; }
  const std::string& mode() const { return mode_; }
  // Full path of the file being written, empty when none. Read by the storage cleaner, which
  // must never delete it.
  std::string currentFile() const override;
  // Running estimate of the current file's size in bytes: each sample's length plus 24
  // (chunk header and index entry), plus 1 for an odd length's padding.
  std::uint32_t writtenBytes() const;
  // The size at which the mode's thread continues in a new file (0: none). The write that
  // brings a file to it wakes the recording threads, so that nobody has to look periodically.
  void watchSplit(std::uint64_t bytes);
  // Set just before a stop that only continues in a new file: no "Start"/"Stop" log lines.
  void setSplitting(bool splitting);
  // The wall clock that names the files and tells whether a new file would still fall into
  // the current one's second; tests pin it instead of racing the real one.
  using WallClock = std::function<std::time_t()>;
  void setWallClock(WallClock clock);
  bool splitting() const;

 private:
  enum class StopKind {
    kNormal,   // logs "Stop %s" unless splitting, sets the channel's status
    kSplit,    // a new file follows at once: nothing to tell anyone
    kClosing,  // exit: no log, no channel state
  };
  // Which message a failed start shows once the lock is released.
  enum class StartMessage { kNone, kSpaceFull, kPathError };

  int startLocked(StartMessage& message);
  // kStarted, or the failure's code with `failure` saying what went wrong.
  int openFileLocked(const std::string& name, std::string& failure);
  // Removes the file of a start that failed, when it was created.
  void discardFileLocked(const std::string& name);
  // The event-log line of a failed start, once per stretch of the same failure.
  void noteStartFailureLocked(int failure, const std::string& what);
  void stopLocked(StopKind kind);
  void showStartMessage(StartMessage message) const;
  int writeVideoLocked(std::span<const std::uint8_t> frame, bool keyFrame,
                       std::string_view parameterSets);
  int writeAudioLocked(std::span<const std::uint8_t> block);
  int appendLocked(int stream, std::span<const std::uint8_t> data, std::int64_t samples,
                   bool keyFrame);
  bool prepareKeyFrameLocked(std::span<const std::uint8_t> frame);
  bool keyFrameSize(std::span<const std::uint8_t> frame, int& width, int& height) const;
  void fitVideoLocked(std::uint32_t handler, int width, int height);
  void updateDurationLocked();
  void endAfterFailureLocked(int error);
  void restartGsmBlocks() const;
  void enterRecordingState();
  void leaveRecordingState(bool swapButtons);

  const int channel_;
  const std::string mode_;
  mutable std::mutex mutex_;  // the recorder lock: taken inside the media lock, never around it
  // Read without the lock by the frame suppliers and by the channel's other recorders.
  std::atomic<bool> recording_{false};
  std::atomic<bool> splitting_{false};        // set by the mode's thread, read under mutex_
  std::atomic<std::uint64_t> splitBytes_{0};  // set by the mode's thread, read under mutex_

  // Guarded by mutex_:
  std::string currentFile_;
  std::unique_ptr<AviFile> avi_;
  int videoStream_ = -1;
  int audioStream_ = -1;
  RecordingFormat format_;
  int width_ = 0;
  int height_ = 0;
  std::chrono::steady_clock::time_point startTick_{};
  std::time_t startSecond_ = 0;
  WallClock wallClock_ = [] { return std::time(nullptr); };
  std::uint32_t writtenBytes_ = 0;
  std::uint32_t durationMs_ = 0;
  bool keySeen_ = false;
  bool parameterSetsWritten_ = false;
  // The code of the last failed start, kStarted once a file starts again: while it is set,
  // the mode's thread is retrying.
  int startFailure_ = kStarted;
};

// The general settings were confirmed: a recorder that finds no recording directory says so
// again, once. (A recorder whose failed starts end in a file re-arms both of its messages too.)
void rearmRecordingSpaceFullMessage();

// A channel's recorder as the recording threads use it; null for a slot that holds none.
inline ChannelRecorder* asRecorder(const std::shared_ptr<FrameSink>& sink) {
  return dynamic_cast<ChannelRecorder*>(sink.get());
}

}  // namespace ipcam
