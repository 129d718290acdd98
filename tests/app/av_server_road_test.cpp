// The MPEG-4 camera-server road from end to end: the simulated camera's AV server on
// 127.0.0.1, the real connection worker, the data thread, the channel's decode thread and
// recorders; FFmpeg's own tools then read the recording.
#include "app/av_server_road.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/channel_commands.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/media_queue.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "platform/run_wait.h"
#include "platform/thread_slot.h"
#include "protocols/av_server_client.h"
#include "recording/channel_recorder.h"
#include "support/avi_probe.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/av_server.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr int kChannel = 6;
constexpr int kFramesPerSecond = 25;

class AvServerRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    setSoundDeviceProbe([] { return true; });
    options_.avServer = true;
    options_.modelId = 12;
    options_.framesPerSecond = kFramesPerSecond;
    options_.pictureWidth = 320;
    options_.pictureHeight = 240;
    options_.user = "operator";
    options_.password = "secret";
  }
  void TearDown() override {
    stopManualRecord(kChannel);
    record_.clearReconnect();
    disconnectChannel(kChannel);
    // A worker that ended by itself (a refused log-in) is collected here, as the program's
    // shutdown does.
    record_.threads.connect.stop();
    appState().currentRecordDir.store(-1);
    appState().ui.store(nullptr);
    setSoundDeviceProbe(nullptr);
  }

  // Starts the camera and the channel as the program does: settings, channel objects, wiring,
  // then the tile menu's "Connect".
  void connect() {
    ASSERT_TRUE(camera_.start()) << camera_.lastError();
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      liveSettings().recPath[0] = folder_.path().string();
      CameraSettings& camera = liveSettings().camera[kChannel];
      camera.name = "Server";
      camera.ip = "127.0.0.1";
      camera.webPort = camera_.port();
      camera.login = options_.user;
      camera.password = options_.password;
      camera.videoFormat = 1;
      camera.mrEnable = motionRecording_ ? 1 : 0;
    }
    attachUi(&ui_);
    createChannelObjects(ui_);
    wireProgram();
    initChannelRecord(record_, kChannel);
    std::filesystem::create_directories(folder_.path() / "Data" / "Record" /
                                        ("Camera " + std::to_string(kChannel + 1)));
    appState().currentRecordDir.store(0);
    // The record outlives the tests: nothing of an earlier test's pictures may count as live.
    record_.pictureWidth.store(0);
    record_.pictureHeight.store(0);
    record_.pictureCounters.reset();
    connectChannel(kChannel);
  }
  bool live() const {
    return record_.status.load() == kStatusLive && record_.pictureWidth.load() == 320 &&
           record_.pictureHeight.load() == 240 && record_.pictureCounters.received.load() > 5;
  }
  std::size_t picturesPresented() const {
    std::size_t count = 0;
    for (int channel : ui_.pictures()) count += channel == kChannel ? 1 : 0;
    return count;
  }

  platform::test_support::TempFolder folder_;
  platform::test_support::TempFolder home_;
  platform::test_support::ScopedEnv homeEnv_{"HOME", home_.path().string()};
  // The language texts are found once per process, by whichever test asks first.
  platform::test_support::ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
  camsim::Options options_;
  camsim::Server camera_{options_};
  bool motionRecording_ = false;
  ChannelRecord& record_ = channelRecord(kChannel);
};

TEST_F(AvServerRoad, GoesLiveWithTheCamerasPictures) {
  camera_.setOptions(options_);
  connect();
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s))
      << "status " << record_.status.load() << ", " << record_.pictureWidth.load() << "x"
      << record_.pictureHeight.load();
  ASSERT_TRUE(testing::waitFor([&] { return picturesPresented() >= 10; }, 30s));
  EXPECT_TRUE(record_.avClient->connected());
  EXPECT_TRUE(record_.avClient->administrator());
  EXPECT_TRUE(record_.mpeg4Reconnect.load()) << "data flowed, so a loss reconnects";

  // What the camera read of the two commands, by its own reading of the bytes.
  const auto requests = camera_.avServer().controlRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].type, 4);
  EXPECT_EQ(requests[0].size, 415u);
  EXPECT_EQ(requests[0].address, "127.0.0.1");
  EXPECT_EQ(requests[0].port, 0) << "the connect announces no data port of its own";
  EXPECT_EQ(requests[1].type, 1);
  EXPECT_EQ(requests[1].address, "127.0.0.1");
  EXPECT_EQ(requests[1].port, camera_.avServer().controlPort());
  EXPECT_EQ(requests[1].user, "operator");
  EXPECT_EQ(requests[1].password, "secret");
  EXPECT_TRUE(ui_.messages().empty()) << ui_.messages().front().text;
}

TEST_F(AvServerRoad, PlainUserAndLongFormModels) {
  options_.avAdmin = false;
  options_.modelId = 15;
  camera_.setOptions(options_);
  connect();
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));
  EXPECT_FALSE(record_.avClient->administrator());
  const auto requests = camera_.avServer().controlRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].size, 418u);
  EXPECT_EQ(requests[1].size, 418u);
  EXPECT_EQ(requests[1].password, "secret");
}

TEST_F(AvServerRoad, WrongPasswordLeavesTheChannelDisconnected) {
  camera_.setOptions(options_);
  ASSERT_TRUE(camera_.start());
  options_.password = "wrong";  // what the viewer will send
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    CameraSettings& camera = liveSettings().camera[kChannel];
    camera.name = "Server";
    camera.ip = "127.0.0.1";
    camera.webPort = camera_.port();
    camera.login = options_.user;
    camera.password = "wrong";
    camera.videoFormat = 1;
  }
  attachUi(&ui_);
  createChannelObjects(ui_);
  wireProgram();
  initChannelRecord(record_, kChannel);
  connectChannel(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return !record_.threads.connect.running(); }, 30s));
  EXPECT_EQ(record_.status.load(), kStatusDisconnected);
  EXPECT_FALSE(record_.threads.mpeg4Data.running());
  bool logged = false;
  for (const auto& event : ui_.events()) logged |= event.text == "Disconnected";
  EXPECT_TRUE(logged);
  // The camera answered and refused: the tile says so in words, and the log has one line
  // per refused log-in with the camera's name. No box waits for anyone.
  const std::string refused =
      CMultiLanguage::instance().text("ViewerElement", "Message_PasswordError");
  int refusals = 0;
  for (const auto& event : ui_.events()) refusals += event.text == "Server: " + refused;
  int logIns = 0;
  for (const auto& request : camera_.avServer().controlRequests()) logIns += request.type == 1;
  EXPECT_GE(refusals, 1);
  EXPECT_LE(refusals, logIns);
  ASSERT_FALSE(ui_.statuses().empty());
  EXPECT_EQ(ui_.statuses().back().text, std::to_string(kChannel + 1) + " " + refused);
  for (const auto& message : ui_.messages()) EXPECT_TRUE(message.posted) << message.text;
}

TEST_F(AvServerRoad, ManualRecordingIsAnMpeg4FileThatPlays) {
  options_.motionEvery = 0;
  camera_.setOptions(options_);
  connect();
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path file = recorder.currentFile();
  const std::uint64_t atStart = record_.pictureCounters.received.load();
  // Three of the camera's 25-frame cycles, so the file holds at least two key frames' worth.
  ASSERT_TRUE(testing::waitFor(
      [&] { return record_.pictureCounters.received.load() >= atStart + 75; }, 60s));
  stopManualRecord(kChannel);

  const auto streams = testing::probeStreams(file);
  ASSERT_FALSE(streams.empty()) << file;
  const testing::ProbedStream& video = streams[0];
  EXPECT_EQ(video.at("codec_name"), "mpeg4");
  EXPECT_EQ(testing::intField(video, "width"), 320);
  EXPECT_EQ(testing::intField(video, "height"), 240);
  const int frames = testing::intField(video, "nb_read_frames");
  EXPECT_GE(frames, 25);
  EXPECT_LE(frames, 200);
  // Decoded in the file's own time base: its rate is the recorder's measured one, and
  // rounding its times to the 25 frames a second that the MPEG-4 headers name would report
  // neighbouring frames as duplicates.
  EXPECT_EQ(testing::commandOutput("ffmpeg -nostdin -v error -i " + testing::shellQuoted(file) +
                                       " -enc_time_base -1 -f null -",
                                   true),
            "");
  // The camera's A-law tone went into the file beside the video.
  ASSERT_GE(streams.size(), 2u);
  EXPECT_EQ(streams[1].at("codec_name"), "pcm_alaw");
}

// The camera's motion mark in the frame header starts a motion recording.
TEST_F(AvServerRoad, MotionMarkStartsAMotionRecording) {
  options_.motionEvery = 10;
  motionRecording_ = true;
  camera_.setOptions(options_);
  connect();
  const ChannelRecorder& recorder = *asRecorder(record_.motionRecorder);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 30s));
  EXPECT_EQ(std::filesystem::path(recorder.currentFile()).filename().string().rfind("Motion_", 0),
            0u)
      << recorder.currentFile();
}

// A camera that restarts closes the data connection: the channel comes back by itself, with no
// box, and a box that nobody answers holds nothing up.
TEST_F(AvServerRoad, LostStreamReconnectsByItself) {
  camera_.setOptions(options_);
  connect();
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));
  ASSERT_TRUE(testing::waitFor([&] { return camera_.avServer().dataConnections() == 1; }, 30s));
  ui_.clear();
  ui_.holdBoxes();
  camera_.avServer().dropDataConnections();

  // The whole sequence runs again: connect, login, data.
  ASSERT_TRUE(
      testing::waitFor([&] { return camera_.avServer().controlRequests().size() >= 4; }, 30s))
      << "camera data connections " << camera_.avServer().dataConnections() << ", data thread "
      << record_.threads.mpeg4Data.running() << ", worker " << record_.threads.connect.running()
      << ", boxes " << ui_.messages().size() << ", reconnect armed "
      << record_.mpeg4Reconnect.load();
  record_.pictureWidth.store(0);
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));
  ui_.releaseBoxes();
  const auto messages = ui_.messages();
  EXPECT_TRUE(messages.empty()) << messages.front().text;
  EXPECT_EQ(camera_.avServer().dataConnections(), 1u);
}

// A camera whose stream breaks right after its first frame (so that data did flow, and the loss
// reconnects) is asked again at the pace of the other roads, not in a tight loop of page
// queries and log-ins.
TEST_F(AvServerRoad, BrokenFramesFromTheStartReconnectAtThePace) {
  options_.streamFault = camsim::StreamFault::HugeLength;
  options_.streamFaultEvery = 2;
  camera_.setOptions(options_);
  connect();
  const auto connects = [this] {
    std::size_t count = 0;
    for (const auto& request : camera_.avServer().controlRequests()) count += request.type == 4;
    return count;
  };
  ASSERT_TRUE(testing::waitFor([&] { return connects() >= 1; }, 30s));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::waitFor([&] { return connects() >= 3; }, 60s)) << connects();
  // Two paces lie between the first connection and the third; a busy machine only adds.
  EXPECT_GE(std::chrono::steady_clock::now() - first, 9s);
  EXPECT_NE(record_.status.load(), kStatusDisconnected) << "it keeps trying";
  EXPECT_TRUE(ui_.messages().empty());
}

// Only real silence is a time-out worth a box, and the box is posted: the data thread goes on
// to the reconnect while nobody answers it. A connection the camera closed is simply asked
// again.
TEST_F(AvServerRoad, OnlySilenceIsToldAndNoBoxHoldsTheReconnect) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }
  attachUi(&ui_);
  createChannelObjects(ui_);
  wireProgram();
  struct Case {
    const char* name;
    bool cameraCloses;
    std::size_t boxes;
  };
  for (const Case& c : {Case{"silence", false, 1}, Case{"closed", true, 0}}) {
    SCOPED_TRACE(c.name);
    ui_.clear();
    ui_.holdBoxes();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    record_.avClient->setDataSocket(pair[0]);
    record_.avClient->setConnected(true);
    record_.mpeg4Reconnect.store(true);
    AvsDataLimits limits;
    limits.idleLimit = 300ms;
    ASSERT_TRUE(record_.threads.mpeg4Data.start(
        record_.mpeg4DataRunning,
        [this, limits](const platform::ThreadRun& run) { AvsDataThread(record_, run, limits); }));
    if (c.cameraCloses) ::close(pair[1]);
    ASSERT_TRUE(testing::waitFor([&] { return !record_.threads.mpeg4Data.running(); }, 30s));
    if (!c.cameraCloses) ::close(pair[1]);

    const auto messages = ui_.messages();
    ASSERT_EQ(messages.size(), c.boxes);
    for (const auto& message : messages) {
      EXPECT_TRUE(message.posted);
      EXPECT_EQ(message.text.rfind("Camera 7: ", 0), 0u) << message.text;
    }
    ASSERT_FALSE(ui_.statuses().empty());
    EXPECT_EQ(ui_.statuses().back().code, kStatusConnecting) << "the reconnect path was taken";
    ui_.releaseBoxes();
    record_.threads.connect.stop();
    record_.clearReconnect();
  }
}

TEST_F(AvServerRoad, StopEndsEveryThreadInTimeAndReconnectGoesLiveAgain) {
  camera_.setOptions(options_);
  connect();
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));

  // Each slot's stop answers whether its thread ended within its 1000 ms, or was given up on.
  record_.mpeg4Reconnect.store(false);
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_TRUE(record_.threads.mpeg4Data.stop());
  EXPECT_TRUE(record_.stream.decodeThread.stop());
  EXPECT_TRUE(record_.stream.audioPlayerThread.stop());
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 3s);
  EXPECT_FALSE(record_.threads.connect.running()) << "a stop is no reason to reconnect";
  disconnectChannel(kChannel);
  EXPECT_TRUE(testing::waitFor([&] { return camera_.avServer().dataConnections() == 0; }, 10s))
      << "the data connection is closed";

  record_.pictureWidth.store(0);
  connectChannel(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));
}

// A header announcing more than the receive buffer holds ends the connection as a protocol
// error: nothing of it is read, and since data had flowed the channel reconnects.
TEST_F(AvServerRoad, OversizedFrameEndsTheConnectionAndReconnects) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }
  attachUi(&ui_);
  createChannelObjects(ui_);
  wireProgram();
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  record_.avClient->setDataSocket(pair[0]);
  record_.avClient->setConnected(true);
  record_.mpeg4Reconnect.store(false);
  ASSERT_TRUE(startAvsDataThread(record_));

  std::array<std::uint8_t, 29 + 28> frames{};
  frames[0] = 2;  // an ignored frame with one byte: data flows
  frames[11] = 1;
  const std::uint32_t oversized = 1'966'081;
  for (int i = 0; i < 4; ++i) frames[29 + 11 + i] = static_cast<std::uint8_t>(oversized >> (8 * i));
  ASSERT_EQ(::send(pair[1], frames.data(), frames.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(frames.size()));
  // The connection stays open on the camera's side: only the refusal can end it.
  ASSERT_TRUE(testing::waitFor([&] { return !record_.threads.mpeg4Data.running(); }, 30s));
  ::close(pair[1]);
  ASSERT_FALSE(ui_.statuses().empty());
  EXPECT_EQ(ui_.statuses().back().code, kStatusConnecting) << "the reconnect path was taken";
  EXPECT_FALSE(record_.avClient->connected());
}

// The data thread's side of the video queue: with nobody taking frames out, the queue holds
// as many as it may, in the order they came, and refuses the next one rather than drop an
// older one.
TEST_F(AvServerRoad, FullQueueRefusesTheFrameItCannotHold) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }
  attachUi(&ui_);
  createChannelObjects(ui_);
  wireProgram();
  // A stand-in holds the decode slot, so the queue fills.
  platform::ThreadSlot::RunFlag& standIn = record_.stream.decodeRunning;
  ASSERT_TRUE(record_.stream.decodeThread.start(standIn, [](const platform::ThreadRun& run) {
    platform::sleepWhileRunning(run.flag(), 60s);
  }));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  record_.avClient->setDataSocket(pair[0]);
  record_.avClient->setConnected(true);
  record_.mpeg4Reconnect.store(false);
  MediaQueue& queue = record_.stream.videoQueue;
  const std::uint64_t refusedBefore = queue.refused();
  ASSERT_TRUE(startAvsDataThread(record_));

  const std::size_t sent = queue.limit() + 1;
  for (std::size_t i = 0; i < sent; ++i) {
    // Video, no size, one byte of payload: its number.
    std::array<std::uint8_t, 29> frame{};
    frame[11] = 1;
    frame[28] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(::send(pair[1], frame.data(), frame.size(), MSG_NOSIGNAL), 29);
  }
  ::close(pair[1]);
  ASSERT_TRUE(testing::waitFor([&] { return !record_.threads.mpeg4Data.running(); }, 30s));

  EXPECT_EQ(queue.codecKind(), MediaQueue::kMpeg4);
  EXPECT_EQ(queue.refused(), refusedBefore + 1);
  ASSERT_EQ(queue.size(), queue.limit());
  std::vector<std::uint8_t> entry;
  for (std::size_t i = 0; i < queue.limit(); ++i) {
    ASSERT_TRUE(queue.take(entry));
    ASSERT_EQ(entry.size(), 1u);
    EXPECT_EQ(entry[0], static_cast<std::uint8_t>(i));
  }
}

// A lost stream finishes the recording it carried (the file has its index, as any file that
// was stopped), and the stream's return records on in a new file.
TEST_F(AvServerRoad, LossFinishesTheRecordingAndTheReturnStartsANewFile) {
  options_.motionEvery = 0;
  camera_.setOptions(options_);
  connect();
  ASSERT_TRUE(testing::waitFor([&] { return live(); }, 30s));
  ASSERT_TRUE(testing::waitFor([&] { return camera_.avServer().dataConnections() == 1; }, 30s));

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path before = recorder.currentFile();
  const std::uint64_t atStart = record_.pictureCounters.received.load();
  // Two of the camera's 25-frame cycles: the file has begun at a key frame.
  ASSERT_TRUE(testing::waitFor(
      [&] { return record_.pictureCounters.received.load() >= atStart + 50; }, 60s));

  camera_.avServer().dropDataConnections();
  ASSERT_TRUE(testing::waitFor(
      [&] { return recorder.recording() && recorder.currentFile() != before.string(); }, 60s))
      << "recording " << recorder.recording() << " in " << recorder.currentFile();

  EXPECT_EQ(testing::unfinishedOrUnreadable(before, "mpeg4"), "");
}

}  // namespace
}  // namespace ipcam
