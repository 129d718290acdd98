#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/frame_sink.h"

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
  int startRecording();
  // Closes the file if one is open; always safe.
  void stopRecording();
  // The frame suppliers: one compressed video frame or audio block at the stream's end.
  int writeSample(std::span<const std::uint8_t> data, bool isAudio, bool keyFrame);

  // FrameSink: a video frame from the channel's decode thread, written from the first key
  // frame of the file on, with the H.264 parameter sets once in front of it.
  bool recording() const override;
  void writeFrame(std::span<const std::uint8_t> frame, bool keyFrame,
                  std::string_view parameterSets) override;
  // At exit: stops without logging and without touching the channel's state.
  void close() override;

  int channel() const { return channel_; }
  const std::string& mode() const { return mode_; }
  // Full path of the file being written, empty when none. Read by the storage cleaner, which
  // must never delete it.
  std::string currentFile() const;
  // Running estimate of the current file's size in bytes.
  std::uint32_t writtenBytes() const;
  // Set just before a stop that only continues in a new file: no "Start"/"Stop" log lines.
  void setSplitting(bool splitting);
  bool splitting() const;

 private:
  const int channel_;
  const std::string mode_;
  mutable std::mutex mutex_;  // the recorder lock: taken inside the media lock, never around it
  std::string currentFile_;   // guarded by mutex_
};

// A channel's recorder as the recording threads use it; null for a slot that holds none.
inline ChannelRecorder* asRecorder(const std::shared_ptr<FrameSink>& sink) {
  return dynamic_cast<ChannelRecorder*>(sink.get());
}

}  // namespace ipcam
