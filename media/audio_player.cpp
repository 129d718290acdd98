#include "media/audio_player.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "media/gsm_audio.h"
#include "platform/sound_output.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::ThreadRun;

constexpr unsigned kSampleRate = 8000;
// The audio queue's sample format for 33-byte GSM frames (HTTP, camera servers); 0 is A-law
// bytes (RTSP, MPEG-4 camera servers).
constexpr int kGsmSampleFormat = 1;
// A device that could not be opened is tried again after this long, not on every pass.
constexpr auto kReopenDelay = 1s;

std::atomic<SoundDeviceProbe> soundDeviceProbe{platform::defaultSoundDevicePresent};

// Live sound is for the channel shown alone in the window, and only when it is not muted.
bool channelHeard(int channel) {
  if (channel < 0 || channel >= kChannelCount) return false;
  ViewerUi* ui = appState().ui.load();
  if (ui == nullptr || ui->visibleTileCount() != 1 || ui->singleChannel() != channel) {
    return false;
  }
  std::lock_guard lock(settingsMutex());
  return liveSettings().camera[static_cast<std::size_t>(channel)].muteAudio == 0;
}

// The channel's sound device as a playback loop uses it: opened while the channel is heard,
// dropped and closed the moment it is not.
class ChannelOutput {
 public:
  explicit ChannelOutput(AudioPlayer& player) : player_(player) {}
  ~ChannelOutput() { stop(); }
  ChannelOutput(const ChannelOutput&) = delete;
  ChannelOutput& operator=(const ChannelOutput&) = delete;

  // False while there is no device; a failed open is tried again after kReopenDelay.
  bool ensureOpen() {
    if (output_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextTry_) return false;
    std::unique_ptr<platform::SoundOutput> output = platform::makeSoundOutput();
    if (!output || !output->open(kSampleRate)) {
      nextTry_ = now + kReopenDelay;
      return false;
    }
    output_ = std::move(output);
    player_.setPlaying(true);
    return true;
  }

  // Samples taken (what did not fit is dropped), or -1 when the device went away; it is
  // closed then and opened again on a later pass.
  long write(std::span<const std::int16_t> samples) {
    if (!output_) return -1;
    const long taken = output_->write(samples);
    if (taken < 0) {
      platform::trace("channel %d: the sound device went away", player_.channel() + 1);
      stop();
      return -1;
    }
    player_.addPlayed(static_cast<std::size_t>(taken));
    return taken;
  }

  long queued() { return output_ ? output_->queued() : 0; }
  bool isOpen() const { return output_ != nullptr; }

  void stop() {
    if (!output_) return;
    output_->reset();
    output_->close();
    output_.reset();
    player_.setPlaying(false);
  }

 private:
  AudioPlayer& player_;
  std::unique_ptr<platform::SoundOutput> output_;
  std::chrono::steady_clock::time_point nextTry_{};
};

// Hands a channel's audio to those of its recorders that are writing a file. GSM frames are
// repacked into the WAVE form and joined in pairs, one block being filled per recording mode,
// so that each file's audio begins with a whole block of its own frames.
class RecordingFeed {
 public:
  explicit RecordingFeed(ChannelRecord& record) : record_(record) {}

  void alaw(std::span<const std::uint8_t> bytes) {
    for (std::size_t mode = 0; mode < kRecordingModeCount; ++mode) {
      FrameSink* sink = sinkOf(mode);
      if (sink != nullptr && sink->recording()) sink->writeAudio(bytes, AudioCoding::kALaw);
    }
  }

  bool anyRecording() const {
    for (std::size_t mode = 0; mode < kRecordingModeCount; ++mode) {
      const FrameSink* sink = sinkOf(mode);
      if (sink != nullptr && sink->recording()) return true;
    }
    return false;
  }

  void gsm(std::span<const std::uint8_t, kGsmFrameBytes> frame) {
    std::array<std::uint8_t, kGsmFrameBytes> repacked{};
    std::copy(frame.begin(), frame.end(), repacked.begin());
    repackGsmFrame(repacked);
    for (std::size_t mode = 0; mode < kRecordingModeCount; ++mode) {
      GsmBlockAssembler& blocks = blocks_[mode];
      FrameSink* sink = sinkOf(mode);
      if (record_.gsmBlockRestart[mode].exchange(false) || sink == nullptr || !sink->recording()) {
        blocks.restart();
      }
      if (sink == nullptr || !sink->recording()) continue;
      if (const std::optional<GsmWaveBlock> block = blocks.add(repacked)) {
        sink->writeAudio(*block, AudioCoding::kGsmWaveBlock);
      }
    }
  }

 private:
  FrameSink* sinkOf(std::size_t mode) const {
    switch (static_cast<RecordingMode>(mode)) {
      case RecordingMode::kSchedule:
        return record_.scheduleRecorder.get();
      case RecordingMode::kManual:
        return record_.manualRecorder.get();
      case RecordingMode::kMotion:
        return record_.motionRecorder.get();
    }
    return nullptr;
  }

  ChannelRecord& record_;
  std::array<GsmBlockAssembler, kRecordingModeCount> blocks_;
};

// Every whole 33-byte frame of an entry; a ragged tail is not a frame.
template <class Each>
void forEachGsmFrame(std::span<const std::uint8_t> entry, Each each) {
  for (std::size_t at = 0; at + kGsmFrameBytes <= entry.size(); at += kGsmFrameBytes) {
    each(entry.subspan(at).first<kGsmFrameBytes>());
  }
}

}  // namespace

void setSoundDeviceProbe(SoundDeviceProbe probe) {
  soundDeviceProbe.store(probe != nullptr ? probe : platform::defaultSoundDevicePresent);
}

bool AudioPlayer::open() {
  open_.store(soundDeviceProbe.load()());
  return open_.load();
}

void AudioPlayer::close() {
  open_.store(false);
}

void PlaybackQueueControl::written(long samples) {
  if (samples <= 0) return;
  blocks_.push_back(samples);
  queuedTotal_ += samples;
  checkPause();
}

void PlaybackQueueControl::update(long queued) {
  // The device plays in order: the oldest block is done once the others alone cover what is
  // still queued.
  while (!blocks_.empty() && queuedTotal_ - blocks_.front() >= queued) {
    queuedTotal_ -= blocks_.front();
    blocks_.pop_front();
  }
  checkPause();
}

void PlaybackQueueControl::clear() {
  blocks_.clear();
  queuedTotal_ = 0;
  paused_ = false;
}

void PlaybackQueueControl::checkPause() {
  if (blocks_.size() >= kPauseAt) paused_ = true;
  if (paused_ && blocks_.size() < kResumeBelow) paused_ = false;
}

void runStreamAudio(ChannelRecord& record, AudioPlayer& player, const ThreadRun& run) {
  MediaQueue& queue = record.stream.audioQueue;
  RecordingFeed feed(record);
  GsmDecoder decoder;
  ChannelOutput output(player);
  PlaybackQueueControl control;
  std::vector<std::uint8_t> entry;
  std::vector<std::int16_t> pcm;

  while (run.running()) {
    const bool heard = player.isOpen() && channelHeard(record.channel);
    if (!heard && output.isOpen()) {
      output.stop();
      control.clear();
    }
    // Nobody listens and nothing records: the sound is dropped at the queue, and the thread
    // sleeps until audioAudienceChanged() or audioRecorded() wakes it.
    queue.setAccepting(heard || feed.anyRecording());
    if (!queue.waitForEntry(run.stopToken()) || !queue.take(entry)) continue;
    const bool gsm = queue.sampleFormat() == kGsmSampleFormat;

    if (gsm) {
      forEachGsmFrame(entry, [&](auto frame) { feed.gsm(frame); });
    } else {
      feed.alaw(entry);
    }

    if (!heard || !output.ensureOpen()) continue;
    control.update(output.queued());
    if (control.paused()) continue;
    pcm.clear();
    if (gsm) {
      forEachGsmFrame(entry, [&](auto frame) {
        decoder.decode(frame);
        pcm.insert(pcm.end(), decoder.samples().begin(), decoder.samples().end());
      });
    } else {
      std::transform(entry.begin(), entry.end(), std::back_inserter(pcm), alawToLinear);
    }
    const long taken = output.write(pcm);
    if (taken < 0) {
      control.clear();
    } else {
      control.written(taken);
    }
  }
  // Without its player the queue is a plain queue again, as the roads found it. A thread the
  // slot gave up on leaves it to the newer one.
  if (!run.abandoned()) queue.setAccepting(true);
}

bool startAudioPlayback(ChannelRecord& record) {
  const std::shared_ptr<AudioPlayer> player = record.audioPlayer;
  if (!player) return false;
  return record.stream.audioPlayerThread.start(
      record.stream.audioPlayerRunning,
      [&record, player](const ThreadRun& run) { runStreamAudio(record, *player, run); },
      "audio " + std::to_string(record.channel + 1));
}

void stopAudioPlayback(ChannelRecord& record) {
  record.stream.audioPlayerThread.stop();
}

void audioAudienceChanged() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    channelRecord(channel).stream.audioQueue.wake();
  }
}

void audioRecorded(ChannelRecord& record) {
  MediaQueue& queue = record.stream.audioQueue;
  if (!queue.accepting()) queue.wake();
}

}  // namespace ipcam
