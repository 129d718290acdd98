#pragma once

namespace ipcam {

// The drawing surfaces of one channel: the decoded picture in RGB32 and its overlays, handed
// to the channel's tile. Created once at start-up for every channel and kept until exit.
class ChannelDisplay {
 public:
  explicit ChannelDisplay(int channel) : channel_(channel) {}
  ChannelDisplay(const ChannelDisplay&) = delete;
  ChannelDisplay& operator=(const ChannelDisplay&) = delete;

  // Prepares the surfaces for the channel's tile. False when that fails; start-up goes on.
  bool setUp();
  // Forgets the last picture, so the tile stops showing a stale image while reconnecting.
  void discardPicture();
  // Releases the surfaces; safe to call twice.
  void close();

  int channel() const { return channel_; }

 private:
  const int channel_;
};

}  // namespace ipcam
