// The connection worker against a simulated camera: real queries on 127.0.0.1, and road
// starters that note which road was taken.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "app/connection_worker.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "protocols/camera_queries.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// A port on 127.0.0.1 that refuses connections: bound but never listening. The socket stays
// bound until the test program ends, so that no other program can take the port meanwhile (as
// it could a port that was given back).
std::uint16_t closedPort() {
  static const std::uint16_t port = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }();
  return port;
}

class WorkerAgainstCamsim : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = connectionServices();
    ConnectionServices& services = connectionServices();
    // The program's own wiring; only the roads are replaced, to see which one is taken.
    wireProgram();
    services.startStream = [this](ChannelRecord&, StreamKind kind) {
      road_ = "stream " + std::to_string(static_cast<int>(kind));
      return false;
    };
    services.mpeg4Login = [this](ChannelRecord&, const std::string&, std::uint16_t port) {
      road_ = "mpeg4 " + std::to_string(port);
      return -1;
    };
    services.legacyConnect = [this](ChannelRecord& record) {
      road_ = "legacy";
      record.threads.connect.requestStop();  // one pass is enough to see the road
      return -1;
    };
    attachUi(&ui_);
  }
  void TearDown() override {
    channelRecord(0).threads.connect.stop();
    appState().ui.store(nullptr);
    connectionServices() = saved_;
  }

  static void configure(std::uint16_t port, int videoFormat) {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    CameraSettings& camera = liveSettings().camera[0];
    camera.name = "Lobby";
    camera.ip = "127.0.0.1";
    camera.webPort = port;
    camera.login = "admin";
    camera.password = "admin";
    camera.videoFormat = videoFormat;
  }
  std::vector<std::string> events() const {
    std::vector<std::string> texts;
    for (const auto& event : ui_.events()) texts.push_back(event.text);
    return texts;
  }

  ConnectionServices saved_;
  platform::test_support::ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
  std::string road_;
};

TEST_F(WorkerAgainstCamsim, EachFamilyTakesItsRoadAndKeepsItsIdentity) {
  struct Case {
    std::uint32_t model;
    int videoFormat;
    const char* road;
  };
  for (const Case& c : {Case{12, 0, "stream 0"}, Case{12, 1, "mpeg4 4321"}, Case{20, 1, "stream 1"},
                        Case{20, 2, "stream 2"}, Case{50, 0, "stream 3"}, Case{5, 0, "legacy"}}) {
    camsim::Options options;
    options.auth = camsim::AuthMode::DigestQop;
    options.modelId = c.model;
    options.vendorId = 9;
    options.firmwareForm = camsim::FirmwareForm::WrongOrder;  // the XML page is asked as well
    camsim::Server camera(options);
    ASSERT_TRUE(camera.start());
    configure(camera.port(), c.videoFormat);
    road_.clear();

    ChannelRecord& record = channelRecord(0);
    record.legacyReconnect = false;
    record.mpeg4Reconnect = false;
    ASSERT_TRUE(startConnectionWorker(record));
    ASSERT_TRUE(testing::waitFor([&record] { return !record.threads.connect.running(); }, 30s));

    EXPECT_EQ(road_, c.road) << c.model << "/" << c.videoFormat;
    EXPECT_EQ(cameraSnapshot(0).type, static_cast<int>(c.model));
    EXPECT_EQ(cameraSnapshot(0).model, 9);
    EXPECT_EQ(events().at(0), "Get FW Info");
    ui_.clear();
  }
}

TEST_F(WorkerAgainstCamsim, UnreachableCameraIsAskedAgainEveryFiveSeconds) {
  configure(closedPort(), 0);
  ChannelRecord& record = channelRecord(0);
  ASSERT_TRUE(startConnectionWorker(record));
  const auto start = std::chrono::steady_clock::now();
  ipcam::testing::waitFor([&] { return events().size() >= 2; }, 20s);
  const auto secondAsk = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(events().size(), 2u);
  EXPECT_GE(secondAsk, 4900ms);
  EXPECT_TRUE(ui_.statuses().empty()) << "the tile keeps saying that it is connecting";
  EXPECT_TRUE(ui_.messages().empty());
  record.threads.connect.stop();
}

}  // namespace
}  // namespace ipcam
