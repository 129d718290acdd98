// The legacy camera generation from end to end: a simulated camera with the picture service on
// 127.0.0.1, the real connection worker, the legacy data thread and the channel's decode
// thread; a manual recording is then read by FFmpeg's own tools.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "app/channel_commands.h"
#include "app/connection_worker.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "recording/channel_recorder.h"
#include "support/avi_probe.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr int kChannel = 9;
constexpr std::uint32_t kLegacyModel = 5;  // outside every CGI family

class LegacyRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    setSoundDeviceProbe([] { return true; });
    attachUi(&ui_);
    createChannelObjects(ui_);
    wireProgram();
  }
  void TearDown() override {
    stopManualRecord(kChannel);
    stopChannelThreads(record_);
    appState().currentRecordDir.store(-1);
    appState().ui.store(nullptr);
    setSoundDeviceProbe(nullptr);
  }

  void configure(std::uint16_t webPort, const std::string& password) {
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      liveSettings().recPath[0] = folder_.path().string();
      CameraSettings& camera = liveSettings().camera[kChannel];
      camera.name = "Legacy";
      camera.ip = "127.0.0.1";
      camera.webPort = webPort;
      camera.login = "admin";
      camera.password = password;
    }
    std::filesystem::create_directories(folder_.path() / "Data" / "Record" /
                                        ("Camera " + std::to_string(kChannel + 1)));
    appState().currentRecordDir.store(0);
    ASSERT_EQ(initChannelRecord(record_, kChannel), 0);
  }

  // The worker on the camera with the right password, reconnecting by itself after a loss.
  void startArmed(std::uint16_t webPort) {
    configure(webPort, "admin");
    record_.clearReconnect();
    armReconnect(record_);
    ASSERT_TRUE(startConnectionWorker(record_));
  }

  std::size_t picturesShown() const {
    std::size_t shown = 0;
    for (int channel : ui_.pictures()) shown += channel == kChannel ? 1 : 0;
    return shown;
  }

  platform::test_support::TempFolder folder_;
  platform::test_support::TempFolder home_;
  platform::test_support::ScopedEnv homeEnv_{"HOME", home_.path().string()};
  testing::RecordingViewerUi ui_;
  ChannelRecord& record_ = channelRecord(kChannel);
};

camsim::Options legacyCamera() {
  camsim::Options options;
  options.modelId = kLegacyModel;
  options.legacyServer = true;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  options.framesPerSecond = 10;
  return options;
}

TEST_F(LegacyRoad, GoesLiveRecordsAPlayableFileAndStopsPromptly) {
  camsim::Server camera(legacyCamera());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  ASSERT_NO_FATAL_FAILURE(startArmed(camera.port()));

  ASSERT_TRUE(testing::waitFor([&] { return picturesShown() >= 10; }, 30s));
  EXPECT_EQ(record_.status.load(), kStatusLive);
  EXPECT_EQ(record_.port.load(), camera.legacyPort());
  EXPECT_EQ(record_.pictureWidth.load(), 320);
  EXPECT_TRUE(record_.threads.legacyData.running());

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path file = recorder.currentFile();
  const std::uint64_t atStart = record_.pictureCounters.received.load();
  ASSERT_TRUE(testing::waitFor(
      [&] { return record_.pictureCounters.received.load() >= atStart + 20; }, 60s));
  stopManualRecord(kChannel);

  const auto streams = testing::probeStreams(file);
  ASSERT_FALSE(streams.empty()) << file;
  EXPECT_EQ(streams[0].at("codec_name"), "mjpeg");
  EXPECT_EQ(testing::intField(streams[0], "width"), 320);
  EXPECT_GE(testing::intField(streams[0], "nb_read_frames"), 10);
  EXPECT_EQ(testing::decodeComplaints(file), "");

  // A receive of up to 10 s must not hold the stop: the connection is shut first.
  const auto begun = std::chrono::steady_clock::now();
  disconnectChannel(kChannel);
  const auto took = std::chrono::steady_clock::now() - begun;
  EXPECT_FALSE(record_.threads.legacyData.running());
  EXPECT_LT(took, 5s) << "well under the 10 s receive time-out";
  EXPECT_EQ(record_.legacySocket.load(), 0);
}

// A camera that restarts cuts the connection; whichever of the request or the answer notices
// it first, the channel comes back by itself.
TEST_F(LegacyRoad, ACutConnectionReconnectsByItself) {
  camsim::Server camera(legacyCamera());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  ASSERT_NO_FATAL_FAILURE(startArmed(camera.port()));
  ASSERT_TRUE(testing::waitFor([&] { return picturesShown() >= 5; }, 30s));

  for (int cut = 1; cut <= 3; ++cut) {
    const std::uint64_t connections = camera.legacyConnections();
    camera.dropLegacyConnections();
    ASSERT_TRUE(testing::waitFor([&] { return camera.legacyConnections() > connections; }, 60s))
        << "cut " << cut << ": status " << record_.status.load();
    const std::size_t shown = picturesShown();
    ASSERT_TRUE(testing::waitFor([&] { return picturesShown() >= shown + 5; }, 30s))
        << "cut " << cut;
    EXPECT_EQ(record_.status.load(), kStatusLive);
  }
  disconnectChannel(kChannel);
}

// A cut connection finishes the recording it carried (the file has its index, as any file
// that was stopped), and the stream's return records on in a new file.
TEST_F(LegacyRoad, ACutFinishesTheRecordingAndTheReturnStartsANewFile) {
  camsim::Server camera(legacyCamera());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  ASSERT_NO_FATAL_FAILURE(startArmed(camera.port()));
  ASSERT_TRUE(testing::waitFor([&] { return picturesShown() >= 5; }, 30s));

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path before = recorder.currentFile();
  const std::uint64_t atStart = record_.pictureCounters.received.load();
  ASSERT_TRUE(testing::waitFor(
      [&] { return record_.pictureCounters.received.load() >= atStart + 5; }, 60s));

  camera.dropLegacyConnections();
  ASSERT_TRUE(testing::waitFor(
      [&] { return recorder.recording() && recorder.currentFile() != before.string(); }, 60s))
      << "recording " << recorder.recording() << " in " << recorder.currentFile();

  EXPECT_EQ(testing::unfinishedOrUnreadable(before, "mjpeg"), "");
  disconnectChannel(kChannel);
}

TEST_F(LegacyRoad, WrongPasswordShowsPasswordErrorAndStaysOffline) {
  camsim::Server camera(legacyCamera());
  ASSERT_TRUE(camera.start()) << camera.lastError();
  configure(camera.port(), "wrong");
  record_.clearReconnect();
  ASSERT_TRUE(startConnectionWorker(record_));
  ASSERT_TRUE(testing::waitFor(
      [&] {
        for (const auto& status : ui_.statuses()) {
          if (status.channel == kChannel && status.text && status.text->find("10 ") == 0 &&
              status.code == 0) {
            return true;
          }
        }
        return false;
      },
      30s));
  EXPECT_FALSE(record_.threads.legacyData.running());
  EXPECT_NE(record_.status.load(), kStatusLive);

  // The camera answered "refused" (99): each attempt, 3 s apart, is one line naming the camera.
  const std::string refused =
      "Legacy: " + CMultiLanguage::instance().text("ViewerElement", "Message_PasswordError");
  const auto refusals = [&] {
    int count = 0;
    for (const auto& event : ui_.events()) count += event.text == refused;
    return count;
  };
  ASSERT_TRUE(testing::waitFor([&] { return refusals() >= 2; }, 30s));
  int attempts = 0;
  for (const auto& event : ui_.events()) attempts += event.text == "Get FW Info";
  EXPECT_LE(refusals(), attempts);
  record_.threads.connect.stop();
}

// A picture the buffer cannot hold is refused unread, and an empty one is a short read; either
// way the stream reconnects and goes on.
class LegacyRoadFault : public LegacyRoad,
                        public ::testing::WithParamInterface<camsim::StreamFault> {};

TEST_P(LegacyRoadFault, BrokenPictureReconnects) {
  camsim::Options options = legacyCamera();
  options.streamFault = GetParam();
  options.streamFaultEvery = 5;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();
  ASSERT_NO_FATAL_FAILURE(startArmed(camera.port()));
  // Four pictures per connection at most: twelve shown means at least two reconnects.
  ASSERT_TRUE(testing::waitFor([&] { return picturesShown() >= 12; }, 60s));
  EXPECT_TRUE(record_.threads.legacyData.running() || record_.threads.connect.running());
  EXPECT_GE(camera.legacyConnections(), 3u);
}

// A camera whose every picture is too large is asked again at the pace of the other roads,
// not in a tight loop of page queries and log-ins, and its failures spend the retry budget
// rather than renew it with every connection.
TEST_F(LegacyRoad, PicturesTooLargeFromTheStartReconnectAtThePace) {
  camsim::Options options = legacyCamera();
  options.streamFault = camsim::StreamFault::HugeLength;
  options.streamFaultEvery = 1;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();
  ASSERT_NO_FATAL_FAILURE(startArmed(camera.port()));

  ASSERT_TRUE(testing::waitFor([&] { return camera.legacyConnections() >= 1; }, 30s));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::waitFor([&] { return camera.legacyConnections() >= 3; }, 60s))
      << camera.legacyConnections();
  // Two paces lie between the first connection and the third; a busy machine only adds.
  EXPECT_GE(std::chrono::steady_clock::now() - first, 9s);
  EXPECT_GE(record_.legacyReconnectCount.load(), 2);
  EXPECT_EQ(picturesShown(), 0u);
  disconnectChannel(kChannel);
}

INSTANTIATE_TEST_SUITE_P(Faults, LegacyRoadFault,
                         ::testing::Values(camsim::StreamFault::HugeLength,
                                           camsim::StreamFault::ZeroLength));

}  // namespace
}  // namespace ipcam
