#pragma once

#include <mutex>

namespace ipcam {

// The media state of one channel: its frame rings and decoders, behind one lock. Created once
// at start-up for every channel and kept until exit; connecting and reconnecting reuse it.
class ChannelMedia {
 public:
  explicit ChannelMedia(int channel) : channel_(channel) {}
  ChannelMedia(const ChannelMedia&) = delete;
  ChannelMedia& operator=(const ChannelMedia&) = delete;

  void initialise();
  // Closes whatever decoders are open and frees the rings; safe to call twice.
  void close();

  int channel() const { return channel_; }
  std::mutex& lock() { return lock_; }

 private:
  const int channel_;
  std::mutex lock_;  // the media lock: taken before any recorder lock, never after
};

}  // namespace ipcam
