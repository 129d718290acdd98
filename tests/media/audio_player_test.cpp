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
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().camera[kChannel].muteAudio = 0;
    }
    pushGsmFrames(5);
    ASSERT_TRUE(testing::waitFor([&] { return player_.playing(); }, 10s));
    ASSERT_TRUE(queueDrained());
    const int closes = device([](Device& d) { return d.closes; });
    const int resets = device([](Device& d) { return d.resets; });

    change.apply(ui_);
    ASSERT_TRUE(testing::waitFor([&] { return !player_.playing(); }, 5s));
    EXPECT_EQ(device([](Device& d) { return d.closes; }), closes + 1);
    EXPECT_EQ(device([](Device& d) { return d.resets; }), resets + 1);
    const std::uint64_t played = player_.samplesPlayed();
    pushGsmFrames(5);
    ASSERT_TRUE(queueDrained());
    EXPECT_EQ(player_.samplesPlayed(), played);
  }
}

// A recording that starts between the two frames of a pair begins with a whole block of its
// own frames, muted or not.
TEST_F(AudioPlayback, RecordingStartedMidPairBeginsWithAWholeBlock) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[kChannel].muteAudio = 1;
  }
  camsim::ToneEncoder copy{500};
  std::vector<std::array<std::uint8_t, kGsmFrameBytes>> frames(5);
  for (auto& frame : frames) {
    const std::string bytes = copy.nextFrame();
    std::copy_n(bytes.begin(), kGsmFrameBytes, frame.begin());
    repackGsmFrame(frame);
  }
  startStreamThread();
  sink_->setRecording(true);
  pushGsmFrames(1);  // frame 0 goes into a block of the recording before
  ASSERT_TRUE(queueDrained());
  sink_->setRecording(false);
  record_.gsmBlockRestart[static_cast<std::size_t>(RecordingMode::kManual)].store(true);
  sink_->setRecording(true);  // as the recorder does when it starts
  pushGsmFrames(4);           // frames 1 to 4: two blocks
  ASSERT_TRUE(queueDrained());

  GsmBlockAssembler expected;
  std::vector<std::vector<std::uint8_t>> blocks;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    if (auto block = expected.add(frames[i])) blocks.emplace_back(block->begin(), block->end());
  }
  EXPECT_EQ(sink_->blocks(), blocks);
  EXPECT_EQ(player_.samplesPlayed(), 0u);
}

}  // namespace
}  // namespace ipcam
