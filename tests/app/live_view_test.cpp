// Live view from end to end: a simulated camera's picture stream on 127.0.0.1 goes through the
// connection worker, the HTTP video worker, the queue and the decoder into the channel's picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "app/connection_worker.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "protocols/camera_queries.h"
#include "protocols/http_workers.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/test_pattern.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

TEST(LiveView, CamsimPictureReachesTheChannelDisplayAndComesBackAfterALoss) {
  platform::test_support::TempFolder home;
  platform::test_support::ScopedEnv homeEnv("HOME", home.path().string());
  platform::test_support::ScopedEnv resources("IPCAM_RESOURCES", IPCAM_RESOURCE_DIR);
  setSoundDeviceProbe([] { return true; });
  const ConnectionServices saved = connectionServices();
  wireProgram();

  camsim::Options options;
  options.modelId = 12;  // Motion JPEG over HTTP
  options.auth = camsim::AuthMode::DigestQop;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  options.framesPerSecond = 25;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start());
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    CameraSettings& settings = liveSettings().camera[0];
    settings.name = "Lobby";
    settings.ip = "127.0.0.1";
    settings.webPort = camera.port();
    settings.login = options.user;
    settings.password = options.password;
  }

  testing::RecordingViewerUi ui;
  attachUi(&ui);
  createChannelObjects(ui);
  startChannels(ui);

  ChannelRecord& record = channelRecord(0);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (ui.pictures().size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(ui.pictures().size(), 3u);
  EXPECT_EQ(record.status.load(), kStatusLive);
  EXPECT_EQ(record.pictureWidth.load(), 320);
  EXPECT_EQ(record.pictureHeight.load(), 240);

  testing::expectTestPatternShown(*record.display, 320, 240);

  // The camera goes away: the channel connects again and again, every 5 s, and comes back by
  // itself once the camera is there again.
  const std::uint16_t port = camera.port();
  camera.stop();
  const auto events = [&ui] {
    int reconnects = 0;
    for (const auto& event : ui.events()) reconnects += event.text == "Reconnect...";
    return reconnects;
  };
  const auto waitFor = [](auto condition, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(10ms);
    }
    return condition();
  };
  ASSERT_TRUE(waitFor([&] { return events() >= 1; }, 20s));
  EXPECT_TRUE(waitFor([&] { return record.status.load() == kStatusConnecting; }, 20s));
  options.port = port;
  camsim::Server again(options);
  ASSERT_TRUE(again.start());
  const std::size_t before = ui.pictures().size();
  // The next attempt is up to 5 s away; a busy machine may add a good deal to that.
  EXPECT_TRUE(waitFor([&] { return ui.pictures().size() > before + 2; }, 30s));
  EXPECT_EQ(record.status.load(), kStatusLive);

  shutdownCore();
  again.stop();
  connectionServices() = saved;
  setSoundDeviceProbe(nullptr);
}

TEST(LiveView, RtspCamerasOfEachKindGoLive) {
  platform::test_support::TempFolder home;
  platform::test_support::ScopedEnv homeEnv("HOME", home.path().string());
  platform::test_support::ScopedEnv resources("IPCAM_RESOURCES", IPCAM_RESOURCE_DIR);
  setSoundDeviceProbe([] { return true; });
  const ConnectionServices saved = connectionServices();
  wireProgram();

  // Type 20 with MPEG-4 and with H.264, and type 50 with Motion JPEG, all over RTSP.
  struct Case {
    std::uint32_t model;
    int videoFormat;
    camsim::AuthMode auth;
  };
  const Case cases[] = {{20, 1, camsim::AuthMode::Digest},
                        {20, 2, camsim::AuthMode::Basic},
                        {50, 0, camsim::AuthMode::DigestQop}};
  std::vector<std::unique_ptr<camsim::Server>> cameras;
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    camsim::Options options;
    options.modelId = cases[i].model;
    options.auth = cases[i].auth;
    auto& camera = cameras.emplace_back(std::make_unique<camsim::Server>(options));
    ASSERT_TRUE(camera->start()) << camera->lastError();
    std::lock_guard lock(settingsMutex());
    CameraSettings& settings = liveSettings().camera[i];
    settings.name = "Camera";
    settings.ip = "127.0.0.1";
    settings.webPort = camera->port();
    settings.login = options.user;
    settings.password = options.password;
    settings.videoFormat = cases[i].videoFormat;
  }

  testing::RecordingViewerUi ui;
  attachUi(&ui);
  createChannelObjects(ui);
  startChannels(ui);

  const auto picturesOf = [&ui](int channel) {
    const auto pictures = ui.pictures();
    return std::count(pictures.begin(), pictures.end(), channel);
  };
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  const auto allLive = [&] {
    for (int channel = 0; channel < 3; ++channel) {
      if (picturesOf(channel) < 3) return false;
    }
    return true;
  };
  while (!allLive() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  for (int channel = 0; channel < 3; ++channel) {
    EXPECT_GE(picturesOf(channel), 3) << "channel " << channel + 1;
    EXPECT_EQ(channelRecord(channel).status.load(), kStatusLive) << "channel " << channel + 1;
    EXPECT_EQ(channelRecord(channel).pictureWidth.load(), 320) << "channel " << channel + 1;
  }

  shutdownCore();
  cameras.clear();
  connectionServices() = saved;
  setSoundDeviceProbe(nullptr);
}

}  // namespace
}  // namespace ipcam
