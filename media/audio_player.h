#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace ipcam {

namespace platform {
class ThreadRun;
}

// Live sound output of one channel. Created once at start-up for every channel.
class AudioPlayer {
 public:
  explicit AudioPlayer(int channel) : channel_(channel) {}
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;
  ~AudioPlayer() { close(); }

  // Checks that a sound device can be opened. False means "no sound card": the channel's
  // sound is then never played (its audio is still recorded).
  bool open();
  // No more playing; safe to call twice.
  void close();

  int channel() const { return channel_; }
  bool isOpen() const { return open_.load(); }

  // Samples handed to the sound device since start-up, and whether the channel is being
  // heard right now: what the demo and the tests look at, since nobody can listen.
  std::uint64_t samplesPlayed() const { return samplesPlayed_.load(); }
  bool playing() const { return playing_.load(); }
  void addPlayed(std::size_t samples) { samplesPlayed_.fetch_add(samples); }
  void setPlaying(bool playing) { playing_.store(playing); }

 private:
  const int channel_;
  std::atomic<bool> open_{false};                // atomic: set at start-up, read by the threads
  std::atomic<std::uint64_t> samplesPlayed_{0};  // atomic: the playback thread counts
  std::atomic<bool> playing_{false};             // atomic: the playback thread sets
};

// The audio path's queue control, counted in blocks as they went to the device: at
// kPauseAt blocks still queued new sound is dropped instead of played, until fewer than
// kResumeBelow are left. So at most about 420 ms of sound lies in the device.
class PlaybackQueueControl {
 public:
  static constexpr std::size_t kPauseAt = 21;
  static constexpr std::size_t kResumeBelow = 10;

  // A block of `samples` went to the device.
  void written(long samples);
  // The device still holds `queued` samples: the blocks before them have been played.
  void update(long queued);
  // The device dropped everything (reset or closed).
  void clear();
  std::size_t pending() const { return blocks_.size(); }
  bool paused() const { return paused_; }

 private:
  void checkPause();

  std::deque<long> blocks_;  // sizes of the blocks not yet known to be played, oldest first
  long queuedTotal_ = 0;     // their sum
  bool paused_ = false;
};

struct ChannelRecord;

// The channel's audio player thread, whatever road brings the sound: drains the StreamContext's
// audio queue (A-law bytes or 33-byte GSM frames, as its sample format says), hands every
// frame to the channel's recorders and plays it while the channel is shown alone and not
// muted. Started and stopped by the road that fills the queue.
//
// While the channel is neither heard nor recorded the thread shuts the queue (the sound is
// dropped as it comes, never decoded) and sleeps until one of the calls below wakes it.
bool startAudioPlayback(ChannelRecord& record);
void stopAudioPlayback(ChannelRecord& record);

// The layout, the channel shown alone or a channel's mute setting changed: every player looks
// again whether its channel is heard, starting or silencing its sound at once.
void audioAudienceChanged();
// A recorder of the channel is writing a file: its player takes the sound again if it slept.
// Cheap enough for every frame.
void audioRecorded(ChannelRecord& record);

// The thread body, for the tests: runs until `run` is stopped.
void runStreamAudio(ChannelRecord& record, AudioPlayer& player, const platform::ThreadRun& run);

// Whether a playback device can be opened at all. Tests replace the answer.
using SoundDeviceProbe = bool (*)();
void setSoundDeviceProbe(SoundDeviceProbe probe);

}  // namespace ipcam
