// What the operator reads when a streaming camera goes away and comes back with another
// password, through the real workers and a simulated camera on 127.0.0.1: the event log says
// when the pictures went and when they came back, each refused log-in once, and the tile keeps
// the last picture and says in words why no new one comes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "app/connection_worker.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

struct Road {
  const char* name;
  std::uint32_t modelId;
  int videoFormat;
};

class StreamLossReports : public ::testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    setSoundDeviceProbe([] { return true; });
    saved_ = connectionServices();
    wireProgram();
  }
  void TearDown() override {
    shutdownCore();
    connectionServices() = saved_;
    setSoundDeviceProbe(nullptr);
  }

  int linesStartingWith(const std::string& start) const {
    const auto events = ui_.events();
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const auto& event) {
      return event.channel == 0 && event.text.starts_with(start);
    }));
  }
  std::string lastTileText() const {
    std::string text;
    for (const auto& status : ui_.statuses()) {
      if (status.channel == 0 && status.text) text = *status.text;
    }
    return text;
  }

  platform::test_support::TempFolder home_;
  platform::test_support::ScopedEnv homeEnv_{"HOME", home_.path().string()};
  platform::test_support::ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  ConnectionServices saved_;
  testing::RecordingViewerUi ui_;
};

TEST_P(StreamLossReports, LossRefusedLogInsAndComebackAreSaidOnceEach) {
  camsim::Options options;
  options.modelId = GetParam().modelId;
  options.auth = camsim::AuthMode::DigestQop;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  options.framesPerSecond = 25;
  auto camera = std::make_unique<camsim::Server>(options);
  ASSERT_TRUE(camera->start()) << camera->lastError();
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    CameraSettings& settings = liveSettings().camera[0];
    settings.name = "Lobby";
    settings.ip = "127.0.0.1";
    settings.webPort = camera->port();
    settings.login = options.user;
    settings.password = options.password;
    settings.videoFormat = GetParam().videoFormat;
  }
  attachUi(&ui_);
  createChannelObjects(ui_);
  startChannels(ui_);
  ChannelRecord& record = channelRecord(0);
  ASSERT_TRUE(testing::waitFor([&] { return ui_.pictures().size() >= 3; }, 30s));
  ASSERT_EQ(record.status.load(), kStatusLive);

  // The camera restarts with a password the viewer does not know.
  options.port = camera->port();
  options.rtspPort = camera->rtspPort();
  options.password = "changed";
  camera.reset();
  camera = std::make_unique<camsim::Server>(options);
  ASSERT_TRUE(camera->start()) << camera->lastError();

  const std::string refused =
      "Lobby: " + CMultiLanguage::instance().text("ViewerElement", "Message_PasswordError");
  // One attempt every 5 s: two refusals take a little over 5 s, a busy machine more.
  ASSERT_TRUE(testing::waitFor([&] { return linesStartingWith(refused) >= 2; }, 40s));
  EXPECT_EQ(linesStartingWith("Lobby: lost, last picture at "), 1) << "one line per loss";
  EXPECT_LE(linesStartingWith(refused), linesStartingWith("Reconnect..."))
      << "one line per refused attempt, no more";
  // The refusal stays on the tile between the attempts, over the channel's last picture.
  EXPECT_EQ(lastTileText(),
            "1 " + CMultiLanguage::instance().text("ViewerElement", "Message_PasswordError"));
  EXPECT_EQ(record.status.load(), kStatusConnecting);
  EXPECT_TRUE(record.display->withFrontPicture([](const PictureView&) {}))
      << "the last picture is kept while the channel connects again";
  for (const auto& message : ui_.messages()) EXPECT_TRUE(message.posted) << message.text;

  // The right password again: the pictures come back, and the log says so once.
  options.password = camsim::Options{}.password;
  camera->setOptions(options);
  ASSERT_TRUE(testing::waitFor([&] { return linesStartingWith("Lobby: reconnected") >= 1; }, 40s));
  EXPECT_TRUE(testing::waitFor([&] { return record.status.load() == kStatusLive; }, 10s));
  const std::size_t before = ui_.pictures().size();
  EXPECT_TRUE(testing::waitFor([&] { return ui_.pictures().size() > before + 5; }, 20s));
  EXPECT_EQ(linesStartingWith("Lobby: reconnected"), 1);
  EXPECT_EQ(linesStartingWith("Lobby: lost, last picture at "), 1);
  camera->stop();
}

INSTANTIATE_TEST_SUITE_P(Roads, StreamLossReports,
                         ::testing::Values(Road{"Http", 12, 0}, Road{"RtspMjpeg", 50, 0}),
                         [](const auto& road) { return std::string(road.param.name); });

}  // namespace
}  // namespace ipcam
