// The HTTP video and audio workers of channel 0 against a scripted camera on 127.0.0.1.
#include "protocols/http_workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"
#include "protocols/http_camera_client.h"
#include "protocols/scripted_http_server.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::test_support::ScopedEnv;
using testing::answerWith;
using testing::RecordingViewerUi;
using testing::ScriptedServer;
using testing::streamPart;
using testing::streamWith;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(MediaQueueTest, TheHundredAndFirstPictureIsDropped) {
  StreamContext stream;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(stream.videoQueue.push(bytesOf("picture")));
  EXPECT_FALSE(stream.videoQueue.push(bytesOf("one too many")));
  EXPECT_EQ(stream.videoQueue.size(), 100U);
  std::array<std::uint8_t, 16> front{};
  EXPECT_EQ(stream.videoQueue.pop(front), 7U);
  EXPECT_TRUE(stream.videoQueue.push(bytesOf("room again")));
}

TEST(MediaQueueTest, LargePicturesFillTheQueueByTheirSize) {
  MediaQueue queue(100);
  const std::vector<std::uint8_t> picture(kLargestFrameBytes, 0x5a);
  const std::size_t fit = MediaQueue::kQueuedBytesLimit / picture.size();
  for (std::size_t i = 0; i < fit; ++i) ASSERT_TRUE(queue.push(picture)) << i;
  EXPECT_FALSE(queue.push(picture)) << "memory stays bounded however large the pictures";
  EXPECT_FALSE(queue.push(bytesOf("x")));
  std::vector<std::uint8_t> out(16);
  EXPECT_EQ(queue.pop(out), picture.size());
  EXPECT_TRUE(queue.push(picture)) << "a popped picture makes room again";
  EXPECT_FALSE(queue.push(picture));
  std::vector<std::uint8_t> taken;
  ASSERT_TRUE(queue.take(taken));
  EXPECT_EQ(taken.size(), picture.size());
  EXPECT_TRUE(queue.push(picture)) << "a picture taken over whole makes room again";
  queue.clear();
  EXPECT_TRUE(queue.push(bytesOf("after clear")));
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The workers of channel 0, a camera of `type_` in the live settings, and the English texts.
// The test binary creates no channel objects, so the decode thread stays off and the pictures
// stay in the queue for the test to see.
class HttpWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMultiLanguage::instance().selectBySystemLangId(1033);
    record().stream.videoQueue.clear();
    record().stream.audioQueue.clear();
    record().motionFlag = 0;
    attachUi(&ui_);
  }
  void TearDown() override {
    record().stream.stopWorkers();
    appState().ui.store(nullptr);
  }

  static ChannelRecord& record() { return channelRecord(0); }
  static std::string tile(const char* key) {
    return tileStatusText(0, CMultiLanguage::instance().text("ViewerElement", key));
  }
  static void useCamera(std::uint16_t port, int type) {
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().camera[0].type = type;
    }
    record().stream.configure({"admin", "secret", "127.0.0.1", std::to_string(port), 0});
  }
  void startVideo(const ScriptedServer& server) {
    useCamera(server.port(), 0);  // a camera type without audio
    ASSERT_TRUE(startStreamWorkers(record(), StreamKind::Http));
    EXPECT_FALSE(record().stream.httpAudioWorker.running());
  }
  bool videoEnds(std::chrono::milliseconds limit) const {
    return waitFor([] { return !record().stream.httpVideoWorker.running(); }, limit);
  }
  std::vector<std::string> popAll(MediaQueue& queue) const {
    std::vector<std::string> entries;
    std::vector<std::uint8_t> buffer(64);
    while (const auto length = queue.pop(buffer)) {
      entries.emplace_back(reinterpret_cast<const char*>(buffer.data()), *length);
    }
    return entries;
  }
  std::vector<std::pair<int, std::string>> statuses() const {
    std::vector<std::pair<int, std::string>> seen;
    for (const auto& status : ui_.statuses())
      seen.emplace_back(status.code, status.text.value_or("-"));
    return seen;
  }
  bool logged(std::string_view text) const {
    const auto events = ui_.events();
    return std::any_of(events.begin(), events.end(), [text](const auto& event) {
      return event.channel == 0 && event.text == text;
    });
  }

  ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  RecordingViewerUi ui_;
};

TEST_F(HttpWorkerTest, VideoWorkerQueuesPicturesAndNotesMotion) {
  ScriptedServer server(
      {streamWith(streamPart("P1") + streamPart("P2", "Motion-Event: 1\r\n") + streamPart("P3"))});
  startVideo(server);
  ASSERT_TRUE(waitFor([] { return record().stream.videoQueue.size() == 3; }, 10s));
  EXPECT_EQ(record().motionFlag.load(), 1);
  EXPECT_EQ(record().stream.videoQueue.codecKind(), MediaQueue::kJpeg);
  EXPECT_EQ(record().stream.videoQueue.camera(), 0);
  EXPECT_EQ(popAll(record().stream.videoQueue), (std::vector<std::string>{"P1", "P2", "P3"}));

  // Stopping does not sit out the 10-second receive the worker is blocked in.
  const auto stopAt = std::chrono::steady_clock::now();
  record().stream.stopWorkers();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 5s);

  const std::vector<std::pair<int, std::string>> expected = {
      {kStatusConnecting, tile("Message_Connecting")},
      {kStatusLive, ""},
      {kStatusDisconnected, tile("Message_Disconnected")}};
  EXPECT_EQ(statuses(), expected);
  EXPECT_EQ(record().status.load(), kStatusDisconnected);
  EXPECT_TRUE(logged("Disconnected"));
  EXPECT_FALSE(logged("Reconnect..."));
}

// A high-resolution camera's picture runs past a megabyte; it comes through whole.
TEST_F(HttpWorkerTest, LargePicturesComeThroughWhole) {
  const std::string large(3'000'000, 'L');
  ScriptedServer server({streamWith(streamPart(large) + streamPart("small"))});
  startVideo(server);
  ASSERT_TRUE(waitFor([] { return record().stream.videoQueue.size() == 2; }, 10s));
  std::vector<std::uint8_t> buffer(large.size());
  EXPECT_EQ(record().stream.videoQueue.pop(buffer), large.size());
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), large);
}

TEST_F(HttpWorkerTest, BusyCameraEndsTheVideoWorker) {
  const std::vector<ScriptedServer::Script> cameras = {
      answerWith("HTTP/1.1 406 Not Acceptable\r\n\r\n"),
      streamWith(streamPart("P1") +
                 "--myboundary\r\nX-CurrentUsers: Too many users\r\nContent-Length: 2\r\n\r\n"),
  };
  for (const auto& camera : cameras) {
    ui_.clear();
    ScriptedServer server({camera});
    startVideo(server);
    ASSERT_TRUE(videoEnds(10s));
    const auto seen = statuses();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::make_pair(int{kStatusDisconnected}, tile("Message_ServerBusy")));
    EXPECT_EQ(std::count(seen.begin(), seen.end(),
                         std::make_pair(int{kStatusDisconnected}, tile("Message_Disconnected"))),
              0);
    EXPECT_EQ(record().stream.httpVideoRunning.load(), 0);
    EXPECT_TRUE(logged("Disconnected"));
    EXPECT_FALSE(logged("Reconnect..."));
    record().stream.stopWorkers();
  }
}

TEST_F(HttpWorkerTest, FailedOpenIsRetriedAfterFiveSeconds) {
  ScriptedServer server(
      {answerWith("HTTP/1.1 500 Internal Server Error\r\n\r\n"), streamWith(streamPart("P1"))});
  startVideo(server);
  ASSERT_TRUE(waitFor([] { return record().stream.videoQueue.size() == 1; }, 20s));
  const auto accepted = server.acceptTimes();
  ASSERT_EQ(accepted.size(), 2U);
  EXPECT_GE(accepted[1] - accepted[0], 4900ms);
  EXPECT_TRUE(logged("Reconnect..."));
  const std::vector<std::pair<int, std::string>> expected = {
      {kStatusConnecting, tile("Message_Connecting")},
      {kStatusConnecting, tile("Message_Connecting")},
      {kStatusLive, ""}};
  EXPECT_EQ(statuses(), expected);
}

// A camera that takes the request and hangs up at once (or answers and drops the stream) is
// asked again at the documented pace, with one "Reconnect..." line per attempt, not in a tight
// loop.
TEST_F(HttpWorkerTest, CameraThatHangsUpAtOnceIsAskedAgainAfterFiveSeconds) {
  const std::vector<ScriptedServer::Script> cameras = {
      answerWith(std::string(testing::kStreamOk)),
      answerWith(std::string(testing::kStreamOk) + "--myboundary\r\nContent-Len"),
  };
  for (const auto& camera : cameras) {
    ui_.clear();
    ScriptedServer server(std::vector<ScriptedServer::Script>(8, camera));
    startVideo(server);
    ASSERT_TRUE(waitFor([&server] { return server.acceptTimes().size() >= 2; }, 15s));
    record().stream.stopWorkers();
    const auto accepted = server.acceptTimes();
    EXPECT_GE(accepted[1] - accepted[0], 4900ms);
    const auto events = ui_.events();
    const auto reconnects = std::count_if(events.begin(), events.end(), [](const auto& event) {
      return event.text == "Reconnect...";
    });
    EXPECT_LE(reconnects, static_cast<long>(accepted.size()));
    EXPECT_TRUE(record().stream.videoQueue.size() == 0);
  }
}

TEST_F(HttpWorkerTest, AudioWorkerQueuesBlocksSilently) {
  const std::string blocks = std::string(33, 'a') + std::string(33, 'b');
  ScriptedServer server({streamWith(blocks)});
  useCamera(server.port(), 12);
  StreamContext& stream = record().stream;
  ASSERT_TRUE(stream.httpAudioWorker.start(
      stream.httpAudioRunning,
      [](const platform::ThreadRun& run) { httpAudioWorker(record(), run); }));
  ASSERT_TRUE(waitFor([&stream] { return stream.audioQueue.size() == 2; }, 10s));
  stream.stopWorkers();
  EXPECT_EQ(stream.audioQueue.sampleFormat(), 1);
  EXPECT_EQ(popAll(stream.audioQueue),
            (std::vector<std::string>{std::string(33, 'a'), std::string(33, 'b')}));
  EXPECT_TRUE(ui_.statuses().empty());
  EXPECT_TRUE(ui_.events().empty());
}

TEST_F(HttpWorkerTest, StartingTheStreamWorkers) {
  ScriptedServer server({});
  useCamera(server.port(), 12);  // a camera type with audio
  StreamContext& stream = record().stream;
  // The RTSP kinds get the RTSP worker alone.
  for (const StreamKind kind :
       {StreamKind::RtspMpeg4, StreamKind::RtspH264, StreamKind::RtspMjpeg}) {
    EXPECT_TRUE(startStreamWorkers(record(), kind));
    EXPECT_TRUE(stream.rtspWorker.running());
    EXPECT_FALSE(stream.httpVideoWorker.running());
    stream.stopWorkers();
  }
  ASSERT_TRUE(startStreamWorkers(record(), StreamKind::Http));
  EXPECT_TRUE(stream.httpVideoWorker.running());
  EXPECT_TRUE(stream.httpAudioWorker.running());
  EXPECT_EQ(stream.record, &record());
  // While they run, another start changes nothing, whatever the kind.
  EXPECT_TRUE(startStreamWorkers(record(), StreamKind::RtspH264));
  EXPECT_FALSE(stream.rtspWorker.running());
}

}  // namespace
}  // namespace ipcam
