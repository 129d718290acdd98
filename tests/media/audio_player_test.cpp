// The playback threads with a fake sound device: queue control, the single-tile rule, the
// AV server ring's pre-fill, and what the recorders get.
#include "media/audio_player.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "media/gsm_audio.h"
#include "platform/thread_slot.h"
#include "support/fake_sound_output.h"
#include "support/recording_viewer_ui.h"
#include "support/wait_for.h"
#include "tools/camsim/test_media.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Device = testing::FakeSoundDevice;

constexpr int kChannel = 6;
constexpr int kGsmFormat = 1;

// A recorder that keeps the audio it is given.
class AudioSink final : public FrameSink {
 public:
  bool recording() const override { return recording_.load(); }
  void writeFrame(std::span<const std::uint8_t>, bool, std::string_view) override {}
  int writeAudio(std::span<const std::uint8_t> audio, AudioCoding coding) override {
    std::lock_guard lock(mutex_);
    blocks_.emplace_back(audio.begin(), audio.end());
    codings_.push_back(coding);
    return 0;
  }
  void close() override {}

  void setRecording(bool on) { recording_.store(on); }
  std::vector<std::vector<std::uint8_t>> blocks() const {
    std::lock_guard lock(mutex_);
    return blocks_;
  }

 private:
  std::atomic<bool> recording_{false};
  mutable std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> blocks_;  // guarded by mutex_
  std::vector<AudioCoding> codings_;               // guarded by mutex_
};

class AudioPlayback : public ::testing::Test {
 protected:
  void SetUp() override {
    setSoundDeviceProbe([] { return true; });
    ASSERT_TRUE(player_.open());
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      liveSettings().camera[kChannel].muteAudio = 0;
    }
    ui_.visibleTiles = 1;
    ui_.single = kChannel;
    appState().ui.store(&ui_);
    record_.stream.audioQueue.clear();
    record_.stream.audioQueue.setSampleFormat(kGsmFormat);
    record_.manualRecorder = sink_;
  }
  void TearDown() override {
    slot_.stop();
    record_.manualRecorder.reset();
    record_.media.reset();
    appState().ui.store(nullptr);
    setSoundDeviceProbe(nullptr);
  }

  void startStreamThread() {
    ASSERT_TRUE(slot_.start(
        flag_, [this](const platform::ThreadRun& run) { runStreamAudio(record_, player_, run); }));
  }
  void pushGsmFrames(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::string frame = tone_.nextFrame();
      ASSERT_TRUE(record_.stream.audioQueue.push(
          std::span(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size())));
    }
  }
  // How many of `count` frames the queue took.
  std::size_t offerGsmFrames(std::size_t count) {
    std::size_t taken = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string frame = tone_.nextFrame();
      if (record_.stream.audioQueue.push(
              std::span(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()))) {
        ++taken;
      }
    }
    return taken;
  }
  void setMuted(bool muted) {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[kChannel].muteAudio = muted ? 1 : 0;
  }
  bool doorOpen(bool open) {
    return testing::waitFor([&] { return record_.stream.audioQueue.accepting() == open; }, 10s);
  }
  // The player looks at its queue no more: asleep without a deadline.
  bool playerAsleep() {
    const std::uint64_t looks = record_.stream.audioQueue.waitLooks();
    return !testing::waitFor([&] { return record_.stream.audioQueue.waitLooks() != looks; }, 300ms);
  }
  bool queueDrained() {
    return testing::waitFor([&] { return record_.stream.audioQueue.size() == 0; }, 10s);
  }
  template <class Read>
  auto device(Read read) {
    return sound_.device().read(read);
  }

  testing::ScopedFakeSound sound_;
  testing::RecordingViewerUi ui_;
  AudioPlayer player_{kChannel};
  ChannelRecord& record_ = channelRecord(kChannel);
  std::shared_ptr<AudioSink> sink_ = std::make_shared<AudioSink>();
  camsim::ToneEncoder tone_{500};
  platform::ThreadSlot slot_;
  platform::ThreadSlot::RunFlag flag_{0};
};

// A device that plays nothing fills up: at 21 blocks queued new sound is dropped, and only
// once fewer than 10 are left is it played again.
TEST_F(AudioPlayback, QueuePausesAtTwentyOneBlocksAndResumesBelowTen) {
  sound_.device().playsAtOnce = false;
  startStreamThread();
  pushGsmFrames(40);
  ASSERT_TRUE(queueDrained());
  // The queue empties as the last block is taken, a moment before it is written.
  const auto writesReach = [this](int count) {
    return testing::waitFor(
        [&] { return device([](Device& d) { return d.writeCalls; }) >= count; });
  };
  ASSERT_TRUE(writesReach(21));
  EXPECT_EQ(device([](Device& d) { return d.writeCalls; }), 21);

  sound_.device().playDownTo(10 * kGsmFrameSamples);  // ten blocks left: still paused
  pushGsmFrames(3);
  ASSERT_TRUE(queueDrained());
  EXPECT_EQ(device([](Device& d) { return d.writeCalls; }), 21);

  sound_.device().playDownTo(9 * kGsmFrameSamples);
  pushGsmFrames(5);
  ASSERT_TRUE(queueDrained());
  ASSERT_TRUE(writesReach(26));
  EXPECT_EQ(device([](Device& d) { return d.writeCalls; }), 26);
  EXPECT_EQ(device([](Device& d) { return d.sampleRate; }), 8000u);
}

// Whatever takes the channel off the screen alone, or mutes it, stops its sound at once:
// queued sound is dropped, the device closed, and nothing more is written.
TEST_F(AudioPlayback, LeavingTheSingleTileStopsTheSound) {
  struct Change {
    const char* what;
    void (*apply)(testing::RecordingViewerUi&);
  };
  const std::array changes = {
      Change{"another channel alone", [](testing::RecordingViewerUi& ui) { ui.single = 3; }},
      Change{"four tiles", [](testing::RecordingViewerUi& ui) { ui.visibleTiles = 4; }},
      Change{"muted",
             [](testing::RecordingViewerUi&) {
               std::lock_guard lock(settingsMutex());
               liveSettings().camera[kChannel].muteAudio = 1;
             }},
  };
  startStreamThread();
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    ui_.visibleTiles = 1;
    ui_.single = kChannel;
    setMuted(false);
    audioAudienceChanged();
    ASSERT_TRUE(doorOpen(true));
    pushGsmFrames(5);
    ASSERT_TRUE(testing::waitFor([&] { return player_.playing(); }, 10s));
    ASSERT_TRUE(queueDrained());
    const int closes = device([](Device& d) { return d.closes; });
    const int resets = device([](Device& d) { return d.resets; });

    change.apply(ui_);
    audioAudienceChanged();
    ASSERT_TRUE(testing::waitFor([&] { return !player_.playing(); }, 5s));
    EXPECT_EQ(device([](Device& d) { return d.closes; }), closes + 1);
    EXPECT_EQ(device([](Device& d) { return d.resets; }), resets + 1);
    const std::uint64_t played = player_.samplesPlayed();
    ASSERT_TRUE(doorOpen(false));
    EXPECT_EQ(offerGsmFrames(5), 0u);
    EXPECT_EQ(player_.samplesPlayed(), played);
  }
}

// A recording that starts between the two frames of a pair begins with a whole block of its
// own frames, muted or not.
TEST_F(AudioPlayback, RecordingStartedMidPairBeginsWithAWholeBlock) {
  setMuted(true);
  camsim::ToneEncoder copy{500};
  std::vector<std::array<std::uint8_t, kGsmFrameBytes>> frames(5);
  for (auto& frame : frames) {
    const std::string bytes = copy.nextFrame();
    std::copy_n(bytes.begin(), kGsmFrameBytes, frame.begin());
    repackGsmFrame(frame);
  }
  startStreamThread();
  sink_->setRecording(true);
  audioRecorded(record_);
  ASSERT_TRUE(doorOpen(true));
  pushGsmFrames(1);  // frame 0 goes into a block of the recording before
  ASSERT_TRUE(queueDrained());
  // As the recorder does when it starts its next file. It stays recording throughout, so the
  // player keeps taking the sound.
  record_.gsmBlockRestart[static_cast<std::size_t>(RecordingMode::kManual)].store(true);
  pushGsmFrames(4);  // frames 1 to 4: two blocks
  ASSERT_TRUE(queueDrained());

  GsmBlockAssembler expected;
  std::vector<std::vector<std::uint8_t>> blocks;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    if (auto block = expected.add(frames[i])) blocks.emplace_back(block->begin(), block->end());
  }
  EXPECT_EQ(sink_->blocks(), blocks);
  EXPECT_EQ(player_.samplesPlayed(), 0u);
}

// Who listens or records decides whether the player takes the sound at all: without either the
// queue drops it as it comes and the player sleeps; with either it is recorded, played, or both.
TEST_F(AudioPlayback, SoundIsTakenOnlyWhileHeardOrRecorded) {
  struct Audience {
    const char* what;
    int tiles;
    int single;
    bool muted;
    bool recording;
    bool soundCard;
    bool played;
    bool recorded;
  };
  const Audience audiences[] = {
      {"shown alone", 1, kChannel, false, false, true, true, false},
      {"shown alone and recorded", 1, kChannel, false, true, true, true, true},
      {"shown alone but muted", 1, kChannel, true, false, true, false, false},
      {"another channel alone", 1, 3, false, false, true, false, false},
      {"one of four tiles", 4, kChannel, false, false, true, false, false},
      {"muted and recorded", 1, kChannel, true, true, true, false, true},
      {"one of four tiles, recorded", 4, kChannel, false, true, true, false, true},
      {"no sound card", 1, kChannel, false, false, false, false, false},
      {"no sound card, recorded", 1, kChannel, false, true, false, false, true},
  };
  for (const Audience& audience : audiences) {
    SCOPED_TRACE(audience.what);
    ui_.visibleTiles = audience.tiles;
    ui_.single = audience.single;
    setMuted(audience.muted);
    setSoundDeviceProbe(audience.soundCard ? +[] { return true; } : +[] { return false; });
    player_.open();
    const auto sink = std::make_shared<AudioSink>();
    sink->setRecording(audience.recording);
    record_.manualRecorder = sink;
    const std::uint64_t played = player_.samplesPlayed();
    startStreamThread();

    const bool taken = audience.played || audience.recorded;
    if (taken) {
      ASSERT_EQ(offerGsmFrames(4), 4u);
      ASSERT_TRUE(queueDrained());
      if (audience.played) {
        EXPECT_TRUE(testing::waitFor(
            [&] { return player_.samplesPlayed() == played + 4 * kGsmFrameSamples; }));
      }
      if (audience.recorded) {
        EXPECT_TRUE(testing::waitFor([&] { return sink->blocks().size() == 2; }));
      }
    } else {
      ASSERT_TRUE(doorOpen(false));
      EXPECT_TRUE(playerAsleep());
      EXPECT_EQ(offerGsmFrames(4), 0u);
      EXPECT_EQ(record_.stream.audioQueue.size(), 0u);
      EXPECT_EQ(record_.stream.audioQueue.refused(), 0u);
    }
    ASSERT_TRUE(slot_.stop());
    EXPECT_EQ(player_.samplesPlayed() > played, audience.played);
    EXPECT_EQ(!sink->blocks().empty(), audience.recorded);
    EXPECT_TRUE(record_.stream.audioQueue.accepting()) << "a stopped player leaves it open";
  }
}

// A sleeping player wakes when its channel comes to be heard or a recording starts, and
// sleeps again when neither holds any more.
TEST_F(AudioPlayback, SleepingPlayerWakesWhenHeardOrRecorded) {
  ui_.visibleTiles = 4;
  startStreamThread();
  ASSERT_TRUE(doorOpen(false));

  // The layout goes to this channel alone.
  ui_.visibleTiles = 1;
  audioAudienceChanged();
  ASSERT_TRUE(doorOpen(true));
  pushGsmFrames(3);
  ASSERT_TRUE(testing::waitFor([&] { return player_.playing(); }));
  ASSERT_TRUE(testing::waitFor([&] { return player_.samplesPlayed() == 3 * kGsmFrameSamples; }));

  setMuted(true);
  audioAudienceChanged();
  ASSERT_TRUE(testing::waitFor([&] { return !player_.playing(); }));
  ASSERT_TRUE(doorOpen(false));

  // A recorder starts while the channel is still muted.
  sink_->setRecording(true);
  audioRecorded(record_);
  ASSERT_TRUE(doorOpen(true));
  pushGsmFrames(2);
  EXPECT_TRUE(testing::waitFor([&] { return sink_->blocks().size() == 1; }));
  EXPECT_FALSE(player_.playing());

  // The recording ends: the next sound finds nobody and the door shuts behind it.
  sink_->setRecording(false);
  pushGsmFrames(1);
  ASSERT_TRUE(doorOpen(false));
  EXPECT_EQ(sink_->blocks().size(), 1u);
  EXPECT_EQ(player_.samplesPlayed(), 3 * kGsmFrameSamples);
}

}  // namespace
}  // namespace ipcam
