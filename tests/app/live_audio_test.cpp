// Camera sound from end to end: the simulated camera on 127.0.0.1 sends GSM over HTTP or
// A-law over RTSP, the channel's audio thread hands it to the recorders and plays it while the
// channel is shown alone. FFmpeg's tools read the files; ALSA's null device (or a fake device)
// stands in for the sound card.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/channel_commands.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "protocols/http_workers.h"
#include "recording/channel_recorder.h"
#include "support/avi_probe.h"
#include "support/fake_sound_output.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr int kChannel = 9;

struct AudioCamera {
  const char* what;
  StreamKind kind;
  int cameraType;
  const char* audioCodec;  // as ffprobe names the recorded audio
};

class LiveAudio : public ::testing::TestWithParam<AudioCamera> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    // No sound card needed: ALSA's default device is the null device for this test's HOME.
    home_.write(".asoundrc", "pcm.!default { type null }\nctl.!default { type hw card 0 }\n");
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      liveSettings().recPath[0] = folder_.path().string();
      liveSettings().camera[kChannel].type = GetParam().cameraType;
    }
    attachUi(&ui_);
  }
  void TearDown() override {
    stopManualRecord(kChannel);
    record_.stream.stopWorkers();
    appState().currentRecordDir.store(-1);
    appState().ui.store(nullptr);
    setSoundDeviceProbe(nullptr);
  }

  // Start-up's per-channel set-up, then the camera's stream.
  void startCamera(camsim::Server& camera) {
    createChannelObjects(ui_);
    wireProgram();
    std::filesystem::create_directories(folder_.path() / "Data" / "Record" /
                                        ("Camera " + std::to_string(kChannel + 1)));
    appState().currentRecordDir.store(0);
    record_.stream.configure({camera.options().user, camera.options().password, "127.0.0.1",
                              std::to_string(camera.port()), static_cast<int>(GetParam().kind)});
    ASSERT_TRUE(startStreamWorkers(record_, GetParam().kind));
    ASSERT_TRUE(testing::waitFor([&] { return record_.pictureWidth.load() > 0; }, 30s));
  }

  void showAlone(bool muted) {
    ui_.single = kChannel;
    ui_.visibleTiles = 1;
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().camera[kChannel].muteAudio = muted ? 1 : 0;
    }
    audioAudienceChanged();  // as the window does when its layout or the setting changes
  }

  std::uint64_t picturesTaken() const { return record_.pictureCounters.received.load(); }
  AudioPlayer& player() { return *record_.audioPlayer; }

  static camsim::Options cameraOptions() {
    camsim::Options options;
    options.auth = camsim::AuthMode::Basic;
    options.framesPerSecond = 10;
    options.pictureWidth = 320;
    options.pictureHeight = 240;
    options.rtspAudio = true;
    return options;
  }

  platform::test_support::TempFolder folder_;
  platform::test_support::TempFolder home_;
  platform::test_support::ScopedEnv homeEnv_{"HOME", home_.path().string()};
  testing::RecordingViewerUi ui_;
  ChannelRecord& record_ = channelRecord(kChannel);
};

// "MuteAudio" is on by default: nothing is played, yet the file carries the camera's sound.
TEST_P(LiveAudio, MutedRecordingCarriesDecodableAudio) {
  camsim::Server camera(cameraOptions());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  startCamera(camera);
  showAlone(true);

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path file = recorder.currentFile();
  // Three seconds of sound at the camera's pace.
  ASSERT_TRUE(testing::waitFor([&] { return recorder.writtenBytes() > 0; }, 20s));
  const auto startedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      testing::waitFor([&] { return std::chrono::steady_clock::now() - startedAt > 3s; }, 10s));
  stopManualRecord(kChannel);

  const auto streams = testing::probeStreams(file);
  ASSERT_EQ(streams.size(), 2u) << file;
  const testing::ProbedStream& audio = streams[1];
  std::cout << GetParam().what << ": audio " << audio.at("codec_name") << " "
            << audio.at("sample_rate") << " Hz, " << audio.at("nb_read_frames")
            << " frames decoded\n";
  EXPECT_EQ(audio.at("codec_type"), "audio");
  EXPECT_EQ(audio.at("codec_name"), GetParam().audioCodec);
  EXPECT_EQ(audio.at("sample_rate"), "8000");
  EXPECT_GT(testing::intField(audio, "nb_read_frames"), 10);
  EXPECT_EQ(testing::decodeComplaints(file), "");
  EXPECT_EQ(player().samplesPlayed(), 0u);
}

// Shown alone and not muted, the sound reaches ALSA's default device at the camera's pace.
TEST_P(LiveAudio, ShownAloneIsHeardOnTheDefaultDevice) {
  camsim::Server camera(cameraOptions());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  startCamera(camera);
  ASSERT_TRUE(player().isOpen()) << "ALSA's null device did not open";
  showAlone(false);
  ASSERT_TRUE(testing::waitFor([&] { return player().samplesPlayed() >= 8000; }, 30s));
  EXPECT_TRUE(player().playing());

  ui_.visibleTiles = 4;
  ASSERT_TRUE(testing::waitFor([&] { return !player().playing(); }, 5s));
}

// A sound device that hangs inside a write costs the sound, not the pictures, and stopping
// the channel still ends well inside the workers' 10-second time-out.
TEST_P(LiveAudio, HangingDeviceCostsNoPictures) {
  testing::ScopedFakeSound sound;
  sound.device().writes = testing::FakeSoundDevice::Writes::kBlock;
  setSoundDeviceProbe([] { return true; });
  camsim::Server camera(cameraOptions());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  startCamera(camera);
  showAlone(false);
  ASSERT_TRUE(testing::waitFor(
      [&] { return sound.device().read([](auto& d) { return d.insideWrite; }); }, 30s));

  const std::uint64_t before = picturesTaken();
  EXPECT_TRUE(testing::waitFor([&] { return picturesTaken() >= before + 20; }, 30s));

  const auto stopping = std::chrono::steady_clock::now();
  record_.stream.stopWorkers();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 8s);
  // The thread that was given up on may now leave its write and end.
  sound.device().release();
}

// No sound card: the message once for all channels, no device ever opened, and the pictures
// and the recorded sound as if nothing were missing.
TEST_P(LiveAudio, NoSoundCardStillRecordsAudio) {
  testing::ScopedFakeSound sound;
  setSoundDeviceProbe([] { return false; });
  camsim::Server camera(cameraOptions());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  startCamera(camera);
  showAlone(false);
  int boxes = 0;
  for (const auto& message : ui_.messages()) {
    if (message.text.find("No sound card found") == 0) ++boxes;
  }
  EXPECT_EQ(boxes, 1);

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path file = recorder.currentFile();
  const std::uint64_t before = picturesTaken();
  ASSERT_TRUE(testing::waitFor([&] { return picturesTaken() >= before + 20; }, 30s));
  stopManualRecord(kChannel);

  EXPECT_EQ(sound.device().read([](auto& d) { return d.opens; }), 0);
  EXPECT_EQ(player().samplesPlayed(), 0u);
  const auto streams = testing::probeStreams(file);
  ASSERT_EQ(streams.size(), 2u) << file;
  EXPECT_GT(testing::intField(streams[1], "nb_read_frames"), 10);
}

INSTANTIATE_TEST_SUITE_P(EveryAudioRoad, LiveAudio,
                         ::testing::Values(AudioCamera{"HTTP GSM", StreamKind::Http, 12, "gsm_ms"},
                                           AudioCamera{"RTSP A-law", StreamKind::RtspMjpeg, 57,
                                                       "pcm_alaw"}),
                         [](const ::testing::TestParamInfo<AudioCamera>& camera) {
                           return std::string(camera.param.kind == StreamKind::Http ? "HttpGsm"
                                                                                    : "RtspAlaw");
                         });

}  // namespace
}  // namespace ipcam
