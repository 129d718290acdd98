#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/frame_sink.h"

namespace ipcam {

// One AVI recorder of a channel; every channel has three: "Schedule", "Manual" and "Motion".
// Created once at start-up and kept until exit.
class ChannelRecorder final : public FrameSink {
 public:
  ChannelRecorder(int channel, std::string mode) : channel_(channel), mode_(std::move(mode)) {}
  ChannelRecorder(const ChannelRecorder&) = delete;
  ChannelRecorder& operator=(const ChannelRecorder&) = delete;
  ~ChannelRecorder() override { close(); }

  // Finishes any open file; safe to call twice.
  void close() override;

  int channel() const { return channel_; }
  const std::string& mode() const { return mode_; }
  // Full path of the file being written, empty when none. Read by the storage cleaner, which
  // must never delete it.
  std::string currentFile() const;

  // True while a file is being written. Recording comes with the AVI writer; until then no
  // recorder ever records.
  bool recording() const override { return false; }
  // A compressed frame for the file being written. The recorder starts its file at a key
  // frame and, for H.264, writes the parameter sets once in front of it. Recording comes
  // with the AVI writer; until then the frame is not kept.
  void writeFrame(std::span<const std::uint8_t> /*frame*/, bool /*keyFrame*/,
                  std::string_view /*parameterSets*/) override {}

 private:
  const int channel_;
  const std::string mode_;
  mutable std::mutex mutex_;  // the recorder lock: taken inside the media lock, never around it
  std::string currentFile_;   // guarded by mutex_
};

}  // namespace ipcam
