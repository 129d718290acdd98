#include "protocols/ptz.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

TEST(Ptz, ClickCellsOfTheThreeByThreeGrid) {
  // 300 by 240: the thirds end at x 100 and 200, y 80 and 160; those lines belong to the outer
  // cells.
  struct Row {
    int x, y;
    const char* query;
  };
  const Row rows[] = {
      {0, 0, "move=upleft&ptspeed=18"},
      {100, 80, "move=upleft&ptspeed=18"},
      {101, 80, "move=up&ptspeed=18"},
      {199, 0, "move=up&ptspeed=18"},
      {200, 80, "move=upright&ptspeed=18"},
      {0, 81, "move=left&ptspeed=18"},
      {101, 81, ""},
      {150, 120, ""},
      {199, 159, ""},
      {299, 159, "move=right&ptspeed=18"},
      {100, 160, "move=downleft&ptspeed=18"},
      {150, 239, "move=down&ptspeed=18"},
      {200, 160, "move=downright&ptspeed=18"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ptzQueryForClick(300, 240, row.x, row.y), row.query) << row.x << "," << row.y;
  }
}

TEST(Ptz, ButtonQueriesAndTheHomeOfEachFamily) {
  const char* const moves[] = {
      "move=upleft&ptspeed=18",
      "move=up&ptspeed=18",
      "move=upright&ptspeed=18",
      "move=left&ptspeed=18",
      nullptr,
      "move=right&ptspeed=18",
      "move=downleft&ptspeed=18",
      "move=down&ptspeed=18",
      "move=downright&ptspeed=18",
  };
  for (const int type : {20, 48}) {
    for (int button = 1182; button <= 1190; ++button) {
      const char* move = moves[button - 1182];
      if (move == nullptr) continue;
      EXPECT_EQ(ptzQueryForButton(button, type), move) << button;
    }
  }
  EXPECT_EQ(ptzQueryForButton(1186, 48), "move=home&ptspeed=18");
  EXPECT_EQ(ptzQueryForButton(1186, 20), "move=center&ptspeed=18");
  for (const int zoomOrOther : {1180, 1181, 1191}) {
    EXPECT_EQ(ptzQueryForButton(zoomOrOther, 20), "") << zoomOrOther;
  }
}

class PtzAgainstCamsim : public ::testing::Test {
 protected:
  static constexpr int kChannel = 11;

  void SetUp() override {
    camsim::Options options;
    options.auth = camsim::AuthMode::DigestQop;
    camera_ = std::make_unique<camsim::Server>(options);
    ASSERT_TRUE(camera_->start());
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    CameraSettings& camera = liveSettings().camera[kChannel];
    camera.ip = "127.0.0.1";
    camera.webPort = camera_->port();
    camera.login = options.user;
    camera.password = options.password;
  }
  void TearDown() override {
    channelRecord(kChannel).status = kStatusNoSignal;
    camera_->stop();
  }

  static void setType(int type) {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[kChannel].type = type;
  }
  // The requests run on threads of their own; waits until `count` have arrived.
  std::vector<std::string> waitForLog(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<std::string> log = camera_->ptzLog();
    while (log.size() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
      log = camera_->ptzLog();
    }
    return log;
  }

  std::unique_ptr<camsim::Server> camera_;
};

TEST_F(PtzAgainstCamsim, QueriesArriveOnlyForLivePanTiltCameras) {
  ChannelRecord& record = channelRecord(kChannel);
  record.status = kStatusLive;
  setType(20);

  EXPECT_FALSE(ptzClickToMove(kChannel, 300, 240, 150, 120)) << "the centre sends nothing";
  EXPECT_TRUE(ptzClickToMove(kChannel, 300, 240, 10, 10));
  EXPECT_EQ(waitForLog(1), (std::vector<std::string>{"move=upleft&ptspeed=18"}));

  EXPECT_TRUE(sendPtzButtonCommand(kChannel, 1186));
  EXPECT_EQ(waitForLog(2).back(), "move=center&ptspeed=18");

  setType(48);
  EXPECT_TRUE(sendPtzButtonCommand(kChannel, 1186));
  EXPECT_EQ(waitForLog(3).back(), "move=home&ptspeed=18");

  setType(50);  // streams, but cannot pan or tilt
  EXPECT_FALSE(sendPtzButtonCommand(kChannel, 1186));
  EXPECT_FALSE(ptzClickToMove(kChannel, 300, 240, 10, 10));

  setType(20);
  record.status = kStatusDisconnected;
  EXPECT_FALSE(sendPtzButtonCommand(kChannel, 1182));
  EXPECT_FALSE(ptzClickToMove(kChannel, 300, 240, 10, 10));

  // Then one request that does go out: a refused call that sent anyway shows up beside it or
  // in its place.
  record.status = kStatusLive;
  EXPECT_TRUE(ptzClickToMove(kChannel, 300, 240, 10, 10));
  const std::vector<std::string> log = waitForLog(4);
  EXPECT_EQ(log.size(), 4u);
  EXPECT_EQ(log.back(), "move=upleft&ptspeed=18");
}

}  // namespace
}  // namespace ipcam
