// Manual recording from end to end, for every kind of live stream: the simulated camera on
// 127.0.0.1, the channel's stream worker and decode thread, the manual recording thread and
// its recorder; FFmpeg's own tools then read the file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/channel_commands.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/recording_wake.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "protocols/http_workers.h"
#include "recording/channel_recorder.h"
#include "support/avi_probe.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr int kChannel = 11;
constexpr int kFramesPerSecond = 25;
// Frames the channel takes in while recording; an MPEG stream's file begins at its next key
// frame, which camsim sends once every cycle of pictures.
constexpr std::uint64_t kFramesWhileRecording = 60;
constexpr int kLongestWaitForKeyFrame = static_cast<int>(camsim::Server::kPictureCycle);

struct LiveKind {
  const char* what;
  StreamKind kind;
  int cameraType;   // the settings' family, which picks the file's format
  int videoFormat;  // "DualMode"
  const char* tag;
  const char* codec;
};

class LiveRecording : public ::testing::TestWithParam<LiveKind> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    setSoundDeviceProbe([] { return true; });
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      liveSettings().recPath[0] = folder_.path().string();
      CameraSettings& camera = liveSettings().camera[kChannel];
      camera.type = GetParam().cameraType;
      camera.videoFormat = GetParam().videoFormat;
    }
    attachUi(&ui_);
    createChannelObjects(ui_);
    wireProgram();
    std::filesystem::create_directories(cameraFolder());
    appState().currentRecordDir.store(0);
  }
  void TearDown() override {
    stopManualRecord(kChannel);
    record_.stream.stopWorkers();
    appState().currentRecordDir.store(-1);
    appState().ui.store(nullptr);
    setSoundDeviceProbe(nullptr);
  }

  std::filesystem::path cameraFolder() const {
    return folder_.path() / "Data" / "Record" / ("Camera " + std::to_string(kChannel + 1));
  }
  std::uint64_t framesTaken() const { return record_.pictureCounters.received.load(); }

  platform::test_support::TempFolder folder_;
  platform::test_support::TempFolder home_;
  platform::test_support::ScopedEnv homeEnv_{"HOME", home_.path().string()};
  testing::RecordingViewerUi ui_;
  ChannelRecord& record_ = channelRecord(kChannel);
};

TEST_P(LiveRecording, FileHoldsTheStreamAndPlays) {
  const LiveKind& live = GetParam();
  camsim::Options options;
  options.auth = camsim::AuthMode::Basic;
  options.rtspAudio = false;
  options.framesPerSecond = kFramesPerSecond;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();
  record_.stream.configure({options.user, options.password, "127.0.0.1",
                            std::to_string(camera.port()), static_cast<int>(live.kind)});
  ASSERT_TRUE(startStreamWorkers(record_, live.kind));
  ASSERT_TRUE(testing::waitFor([&] { return record_.pictureWidth.load() == 320; }, 30s));

  ChannelRecorder& recorder = *asRecorder(record_.manualRecorder);
  const auto begun = std::chrono::steady_clock::now();
  startManualRecord(kChannel);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  const std::filesystem::path file = recorder.currentFile();
  EXPECT_EQ(record_.status.load(), kStatusRecording);
  const std::uint64_t takenAtStart = framesTaken();
  ASSERT_TRUE(
      testing::waitFor([&] { return framesTaken() >= takenAtStart + kFramesWhileRecording; }, 60s));
  const std::uint64_t takenAtStop = framesTaken();
  stopManualRecord(kChannel);
  const double secondsRecording =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  const std::uint64_t takenAfterStop = framesTaken();
  EXPECT_EQ(record_.status.load(), kStatusLive);

  const auto streams = testing::probeStreams(file);
  ASSERT_FALSE(streams.empty()) << file;
  const testing::ProbedStream& video = streams[0];
  std::cout << live.what << ": " << streams.size() << " streams; video " << video.at("codec_name")
            << " tag " << video.at("codec_tag_string") << " " << video.at("width") << "x"
            << video.at("height") << ", " << video.at("nb_read_frames") << " frames decoded of "
            << video.at("nb_frames") << " in the header, " << video.at("duration") << " s, "
            << video.at("r_frame_rate") << " frames/s\n";
  EXPECT_EQ(video.at("codec_tag_string"), live.tag);
  EXPECT_EQ(video.at("codec_name"), live.codec);
  EXPECT_EQ(testing::intField(video, "width"), 320);
  EXPECT_EQ(testing::intField(video, "height"), 240);
  const int frames = testing::intField(video, "nb_read_frames");
  EXPECT_EQ(testing::intField(video, "nb_frames"), frames);
  EXPECT_GE(frames, static_cast<int>(takenAtStop - takenAtStart) - kLongestWaitForKeyFrame);
  EXPECT_LE(frames, static_cast<int>(takenAfterStop - takenAtStart) + 1);
  // The rate follows the recorder's clock, so the file lasts about as long as its frames took.
  const double duration = testing::doubleField(video, "duration");
  EXPECT_GT(duration, 0.5 * frames / kFramesPerSecond);
  EXPECT_LT(duration, secondsRecording + 1);
  EXPECT_EQ(testing::decodeComplaints(file), "");
}

// A schedule entry that covers the present records the channel through its schedule thread,
// which the stream's decode thread starts, and deleting the entry ends the file.
class ScheduledRecording : public LiveRecording {};

TEST_P(ScheduledRecording, EntryCoveringNowRecordsUntilItIsDeleted) {
  camsim::Options options;
  options.auth = camsim::AuthMode::Basic;
  options.framesPerSecond = kFramesPerSecond;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();
  {
    // One-time, from an hour ago to an hour ahead: whole dates, so midnight changes nothing.
    const std::time_t now = std::time(nullptr);
    std::tm from{};
    std::tm to{};
    const std::time_t begin = now - 3600;
    const std::time_t end = now + 3600;
    localtime_r(&begin, &from);
    localtime_r(&end, &to);
    std::lock_guard lock(settingsMutex());
    ScheduleEntry& entry = liveSettings().schedule[5];
    entry = ScheduleEntry{};
    entry.channel = kChannel;
    entry.mode = 1;
    entry.beginYear = from.tm_year + 1900;
    entry.beginMonth = from.tm_mon + 1;
    entry.beginDay = from.tm_mday;
    entry.beginHour = from.tm_hour;
    entry.beginMinute = from.tm_min;
    entry.beginSecond = from.tm_sec;
    entry.endYear = to.tm_year + 1900;
    entry.endMonth = to.tm_mon + 1;
    entry.endDay = to.tm_mday;
    entry.endHour = to.tm_hour;
    entry.endMinute = to.tm_min;
    entry.endSecond = to.tm_sec;
  }
  const LiveKind& live = GetParam();
  record_.stream.configure({options.user, options.password, "127.0.0.1",
                            std::to_string(camera.port()), static_cast<int>(live.kind)});
  ASSERT_TRUE(startStreamWorkers(record_, live.kind));

  ChannelRecorder& recorder = *asRecorder(record_.scheduleRecorder);
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 30s));
  const std::filesystem::path file = recorder.currentFile();
  EXPECT_EQ(file.filename().string().rfind("Schedule_", 0), 0u) << file;
  EXPECT_EQ(record_.scheduleKind.load(), 1);
  const std::uint64_t takenAtStart = framesTaken();
  ASSERT_TRUE(testing::waitFor([&] { return framesTaken() >= takenAtStart + 25; }, 60s));

  {
    std::lock_guard lock(settingsMutex());
    freeScheduleEntry(liveSettings().schedule[5]);
  }
  // What the page's Apply does after it changed the table.
  wakeRecordingThreads();
  ASSERT_TRUE(testing::waitFor([&] { return !recorder.recording(); }, 20s));
  // The schedule thread clears its kind just after it stopped the recorder.
  EXPECT_TRUE(testing::waitFor([&] { return record_.scheduleKind.load() == 0; }, 20s));
  EXPECT_EQ(record_.status.load(), kStatusLive);
  record_.threads.schedule.stop();

  const auto streams = testing::probeStreams(file);
  ASSERT_FALSE(streams.empty()) << file;
  EXPECT_EQ(streams[0].at("codec_tag_string"), live.tag);
  EXPECT_GE(testing::intField(streams[0], "nb_read_frames"), 20);
  EXPECT_EQ(testing::decodeComplaints(file), "");
  std::vector<std::string> texts;
  for (const auto& event : ui_.events()) {
    if (event.channel == kChannel && event.text.find("Schedule") != std::string::npos) {
      texts.push_back(event.text);
    }
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Start Schedule", "Stop Schedule"}));
}

INSTANTIATE_TEST_SUITE_P(HttpMotionJpeg, ScheduledRecording,
                         ::testing::Values(LiveKind{"HTTP Motion JPEG", StreamKind::Http, 12, 0,
                                                    "MJPG", "mjpeg"}));

INSTANTIATE_TEST_SUITE_P(
    EveryLiveKind, LiveRecording,
    ::testing::Values(LiveKind{"HTTP Motion JPEG", StreamKind::Http, 12, 0, "MJPG", "mjpeg"},
                      LiveKind{"RTSP Motion JPEG", StreamKind::RtspMjpeg, 57, 0, "MJPG", "mjpeg"},
                      LiveKind{"RTSP MPEG-4", StreamKind::RtspMpeg4, 20, 1, "XVID", "mpeg4"},
                      LiveKind{"RTSP H.264", StreamKind::RtspH264, 57, 2, "H264", "h264"}),
    [](const ::testing::TestParamInfo<LiveKind>& kind) {
      std::string name;
      for (const char c : std::string(kind.param.what)) {
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
      }
      return name;
    });

}  // namespace
}  // namespace ipcam
