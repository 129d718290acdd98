#pragma once

#include <atomic>

namespace ipcam {

// Live sound output of one channel. Created once at start-up for every channel.
class AudioPlayer {
 public:
  explicit AudioPlayer(int channel) : channel_(channel) {}
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;
  ~AudioPlayer() { close(); }

  // Checks that a sound device can be opened. False means "no sound card": audio functions
  // are then disabled for the run.
  bool open();
  // Stops output and releases the device; safe to call twice.
  void close();

  int channel() const { return channel_; }
  bool isOpen() const { return open_.load(); }

 private:
  const int channel_;
  std::atomic<bool> open_{false};
};

struct ChannelRecord;

// The channel's audio player thread, which drains the StreamContext's audio queue. Sound output
// comes with the audio layer; until then nothing is started and the blocks simply queue up
// (the queue's limit bounds them).
bool startAudioPlayback(ChannelRecord& record);
void stopAudioPlayback(ChannelRecord& record);

// Whether a playback device can be opened at all. Tests replace the answer.
using SoundDeviceProbe = bool (*)();
void setSoundDeviceProbe(SoundDeviceProbe probe);

}  // namespace ipcam
