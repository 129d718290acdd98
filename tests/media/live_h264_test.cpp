// A camera that sends its H.264 parameter sets in band, live: the simulated camera on
// 127.0.0.1, the channel's RTSP worker, its decode thread and its display.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "protocols/http_workers.h"
#include "support/recording_viewer_ui.h"
#include "support/test_pattern.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr int kChannel = 9;

// Channel 9 of the process-wide table, as the program has it; its workers end with the test.
class LiveH264 : public ::testing::Test {
 protected:
  // The channel stands up as the program's start-up makes it: its objects, then the wiring.
  void SetUp() override {
    setSoundDeviceProbe([] { return true; });
    attachUi(&ui_);
    createChannelObjects(ui_);
    wireProgram();
    record_.display->discardPicture();
  }
  void TearDown() override {
    record_.stream.stopWorkers();
    appState().ui.store(nullptr);
    setSoundDeviceProbe(nullptr);
  }

  ChannelRecord& record_ = channelRecord(kChannel);
  testing::RecordingViewerUi ui_;
};

TEST_F(LiveH264, ParameterSetsInBandAheadOfEachIdrStillShowPictures) {
  camsim::Options options;
  options.modelId = 20;
  options.auth = camsim::AuthMode::Basic;
  options.rtspAudio = false;
  options.framesPerSecond = 25;
  options.rtspInBandParameterSets = true;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();

  ChannelRecord& record = record_;
  record.stream.configure(
      {options.user, options.password, "127.0.0.1", std::to_string(camera.port()), 2});
  ASSERT_TRUE(startStreamWorkers(record, StreamKind::RtspH264));

  const auto shown = [this] {
    int count = 0;
    for (const int channel : ui_.pictures()) count += channel == kChannel;
    return count;
  };
  ASSERT_TRUE(ipcam::testing::waitFor([&] { return shown() >= 3; }, 20s));
  EXPECT_EQ(record.pictureWidth.load(), 320);
  EXPECT_EQ(record.pictureHeight.load(), 240);
  testing::expectTestPatternShown(*record.display, 320, 240);
}

}  // namespace
}  // namespace ipcam
