#pragma once

#include <mutex>
#include <string>

namespace ipcam {

// One AVI recorder of a channel; every channel has three: "Schedule", "Manual" and "Motion".
// Created once at start-up and kept until exit.
class ChannelRecorder {
 public:
  ChannelRecorder(int channel, std::string mode) : channel_(channel), mode_(std::move(mode)) {}
  ChannelRecorder(const ChannelRecorder&) = delete;
  ChannelRecorder& operator=(const ChannelRecorder&) = delete;
  ~ChannelRecorder() { close(); }

  // Finishes any open file; safe to call twice.
  void close();

  int channel() const { return channel_; }
  const std::string& mode() const { return mode_; }
  // Full path of the file being written, empty when none. Read by the storage cleaner, which
  // must never delete it.
  std::string currentFile() const;

 private:
  const int channel_;
  const std::string mode_;
  mutable std::mutex mutex_;  // the recorder lock: taken inside the media lock, never around it
  std::string currentFile_;   // guarded by mutex_
};

}  // namespace ipcam
