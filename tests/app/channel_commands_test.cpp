#include "app/channel_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/connection_worker.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "recording/channel_recorder.h"
#include "support/avi_probe.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

constexpr int C = kCommandConfigureCamera;
constexpr int R = kCommandReset;
constexpr int D = kCommandDisconnect;
constexpr int N = kCommandConnect;
constexpr int S = kCommandStartRecord;
constexpr int T = kCommandStopRecord;
constexpr int kSeparator = kCommandSeparator;

TEST(ContextMenu, EntriesByChannelState) {
  struct Row {
    const char* what;
    ChannelMenuState state;
    std::vector<int> entries;
  };
  const Row rows[] = {
      {"live over HTTP", {kStatusLive, true, false, true, false}, {C, D, R, kSeparator, S}},
      {"recording by hand", {kStatusRecording, false, true, true, true}, {C, D, R, kSeparator, T}},
      {"live with nothing behind it", {kStatusLive, false, false, true, false}, {C}},
      {"connecting, no camera", {kStatusConnecting, false, true, false, false}, {C}},
      {"connecting", {kStatusConnecting, false, true, true, false}, {D}},
      {"lost, workers retrying", {kStatusDisconnected, true, false, true, false}, {D}},
      {"disconnected", {kStatusDisconnected, false, false, true, false}, {C, N, R}},
      {"not started", {kStatusNoSignal, false, false, true, false}, {C, N, R}},
  };
  for (const Row& row : rows) EXPECT_EQ(contextMenuEntries(row.state), row.entries) << row.what;
}

// The commands on channel 9, with a configured camera, the shipped texts, a private home and
// connection roads that never connect.
class ChannelCommandsTest : public ::testing::Test {
 protected:
  static constexpr int kChannel = 9;

  void SetUp() override {
    saved_ = connectionServices();
    connectionServices() = unavailableConnectionServices();
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      CameraSettings& camera = liveSettings().camera[kChannel];
      camera.name = "Yard";
      camera.ip = "127.0.0.1";
      camera.port = 8080;
      camera.webPort = 8081;
      camera.login = "admin";
      camera.password = "secret";
      camera.muteAudio = 0;
      camera.mrSecond = 30;
    }
    clearRecord();
    attachUi(&ui_);
  }
  void TearDown() override {
    ChannelRecord& r = record();
    r.stream.stopWorkers();
    for (platform::ThreadSlot* slot :
         {&r.threads.connect, &r.threads.mpeg4Data, &r.threads.legacyData, &r.threads.motion}) {
      slot->stop();
    }
    clearRecord();
    appState().ui.store(nullptr);
    connectionServices() = saved_;
  }

  static ChannelRecord& record() { return channelRecord(kChannel); }
  static void clearRecord() {
    ChannelRecord& r = record();
    r.status = kStatusNoSignal;
    r.legacyReconnect = false;
    r.mpeg4Reconnect = false;
    r.manualRecord = 0;
  }
  static CameraSettings camera() { return cameraSnapshot(kChannel); }
  static void setCamera(void (*change)(CameraSettings&)) {
    std::lock_guard lock(settingsMutex());
    change(liveSettings().camera[kChannel]);
  }
  static std::string tileText(const char* key) {
    return tileStatusText(kChannel, CMultiLanguage::instance().text("ViewerElement", key));
  }
  bool showed(int code, const std::string& text) const {
    for (const auto& status : ui_.statuses()) {
      if (status.channel == kChannel && status.code == code && status.text == text) return true;
    }
    return false;
  }

  // A stand-in channel thread that runs until it is stopped, then notes its name.
  void startThread(platform::ThreadSlot& slot, ChannelRecord::RunFlag& flag, std::string name) {
    ASSERT_TRUE(slot.start(flag, [this, name](const platform::ThreadRun& run) {
      while (run.running()) std::this_thread::sleep_for(1ms);
      std::lock_guard lock(endedMutex_);
      ended_.push_back(name);
    }));
  }
  std::vector<std::string> ended() const {
    std::lock_guard lock(endedMutex_);
    return ended_;
  }

  ConnectionServices saved_;
  TempFolder home_;
  ScopedEnv homeEnv_{"HOME", home_.path().string()};
  ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
  mutable std::mutex endedMutex_;
  std::vector<std::string> ended_;  // guarded by endedMutex_
};

TEST_F(ChannelCommandsTest, DisconnectOnADisconnectedChannelStopsNothingAndDoesNotRestart) {
  ChannelRecord& r = record();
  startThread(r.threads.legacyData, r.legacyDataRunning, "legacy data");
  r.status = kStatusDisconnected;
  r.legacyReconnect = true;
  setCamera([](CameraSettings& c) {
    c.restartPending = 1;
    c.needsRestart = 1;
  });
  EXPECT_EQ(contextMenuEntries(kChannel), (std::vector<int>{D}));

  disconnectChannel(kChannel);

  EXPECT_FALSE(r.legacyReconnect.load());
  EXPECT_TRUE(r.threads.legacyData.running());
  EXPECT_EQ(r.legacyDataRunning.load(), 1);
  EXPECT_FALSE(r.threads.connect.running());
  EXPECT_EQ(camera().restartPending, 1) << "no reconnect, so the request stays";
  EXPECT_EQ(camera().needsRestart, 0);
  EXPECT_EQ(r.status.load(), kStatusDisconnected);
}

TEST_F(ChannelCommandsTest, DisconnectOnALiveChannelStopsItsThreadsAndReconnectsWhenAsked) {
  ChannelRecord& r = record();
  startThread(r.stream.httpVideoWorker, r.stream.httpVideoRunning, "http video");
  startThread(r.threads.motion, r.motionRunning, "motion");
  startThread(r.threads.mpeg4Data, r.mpeg4DataRunning, "mpeg4 data");
  r.status = kStatusLive;
  setCamera([](CameraSettings& c) { c.restartPending = 1; });
  EXPECT_EQ(contextMenuEntries(kChannel), (std::vector<int>{C, D, R, kSeparator, S}));

  disconnectChannel(kChannel);

  EXPECT_EQ(ended(), (std::vector<std::string>{"http video", "mpeg4 data", "motion"}))
      << "stream workers first, then the channel threads in shutdown order";
  EXPECT_EQ(r.motionRunning.load(), 0);
  EXPECT_EQ(camera().restartPending, 0);
  EXPECT_TRUE(r.threads.connect.running()) << "the pending restart connects again";
  EXPECT_TRUE(showed(kStatusDisconnected, tileText("Message_Connecting")));
}

TEST_F(ChannelCommandsTest, ResetForgetsTheCameraAndSavesUnlessTheDialogDropsIt) {
  for (const int needsStop : {0, 1}) {
    SCOPED_TRACE(needsStop);
    TempFolder settingsFolder;
    const std::filesystem::path settingsFile = settingsFolder.path() / "avcln.ini";
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().settingsPath = settingsFile.string();
      liveSettings().schedule[3].channel = kChannel;
      liveSettings().schedule[4].channel = kChannel + 1;
      CameraSettings& c = liveSettings().camera[kChannel];
      c.name = "Yard";
      c.ip = "127.0.0.1";
      c.needsStop = needsStop;
    }
    ui_.clear();

    resetChannel(kChannel);

    CameraSettings expected;
    CameraSettings after = camera();
    EXPECT_EQ(after.needsStop, 0);
    after.needsStop = 0;
    EXPECT_EQ(after, expected) << "name, address, credentials and options back to defaults";
    {
      std::lock_guard lock(settingsMutex());
      EXPECT_EQ(liveSettings().schedule[3].channel, -1);
      EXPECT_EQ(liveSettings().schedule[4].channel, kChannel + 1);
    }
    EXPECT_EQ(std::filesystem::exists(settingsFile), needsStop == 0);
    const auto statuses = ui_.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().code, kStatusNoSignal);
    EXPECT_EQ(statuses.back().text, tileText("Message_NoSignal"));
    EXPECT_EQ(record().status.load(), kStatusNoSignal);
    EXPECT_EQ(contextMenuEntries(kChannel), (std::vector<int>{C}));
  }
  std::lock_guard lock(settingsMutex());
  liveSettings().settingsPath.clear();
}

TEST_F(ChannelCommandsTest, RecordCommandsRunTheManualRecordingThreadAndItsFile) {
  ChannelRecord& r = record();
  TempFolder recordings;
  std::filesystem::create_directories(recordings.path() / "Data" / "Record" /
                                      ("Camera " + std::to_string(kChannel + 1)));
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().recPath[0] = recordings.path().string();
  }
  appState().currentRecordDir.store(0);
  r.manualRecorder = std::make_shared<ChannelRecorder>(kChannel, "Manual");
  ChannelRecorder& recorder = *asRecorder(r.manualRecorder);
  r.status = kStatusLive;
  r.pictureWidth = 320;
  r.pictureHeight = 240;

  startManualRecord(kChannel);
  EXPECT_EQ(r.manualRecord.load(), 1);
  EXPECT_EQ(r.manualRecordRunning.load(), 1);
  ASSERT_TRUE(ipcam::testing::waitFor([&] { return recorder.recording(); }, 20s));
  EXPECT_EQ(r.status.load(), kStatusRecording);
  EXPECT_EQ(channelMenuState(kChannel).manualRecording, true);
  const std::filesystem::path file = recorder.currentFile();

  stopManualRecord(kChannel);
  EXPECT_EQ(r.manualRecord.load(), 0);
  EXPECT_EQ(r.manualRecordRunning.load(), 0);
  EXPECT_FALSE(recorder.recording());
  EXPECT_EQ(r.status.load(), kStatusLive);
  std::vector<std::string> texts;
  for (const auto& event : ui_.events()) texts.push_back(event.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Start Manual", "Stop Manual"}));
  // No frame came: the file holds its streams and nothing else, and still opens.
  EXPECT_EQ(ipcam::testing::probeStreams(file).size(), 1u);
  appState().currentRecordDir.store(-1);
}

TEST_F(ChannelCommandsTest, RecordButtonChecksTheDirectoryAndItsDataFolder) {
  TempFolder recordings;
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().recPath[0] = recordings.path().string();
  }
  const auto problemKey = [] {
    const auto problem = checkManualRecordStart();
    return problem ? std::string(problem->section) + "/" + problem->key : std::string();
  };
  appState().currentRecordDir.store(-1);
  EXPECT_EQ(problemKey(), "MessageBox/Message_RecordingSpaceFull");
  appState().currentRecordDir.store(0);
  EXPECT_EQ(problemKey(), "ErrorMessage/Path_Error");
  std::filesystem::create_directories(recordings.path() / "Data");
  EXPECT_EQ(problemKey(), "");
  appState().currentRecordDir.store(-1);
}

}  // namespace
}  // namespace ipcam
