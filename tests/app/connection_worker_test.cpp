#include "app/connection_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::test_support::ScopedEnv;

TEST(ChooseRoad, DecisionTable) {
  using K = Road::Kind;
  using S = StreamKind;
  struct Case {
    int type;
    int videoFormat;
    Road road;
  };
  const Case cases[] = {
      // The first CGI generation: Motion JPEG over HTTP, or MPEG-4 through the camera server.
      {12, 0, {K::Stream, S::Http}},
      {12, 1, {K::Mpeg4Server, S::Http}},
      {12, 2, {K::Stream, S::Http}},
      // Set A: MPEG-4 and H.264 over RTSP.
      {20, 0, {K::Stream, S::Http}},
      {20, 1, {K::Stream, S::RtspMpeg4}},
      {20, 2, {K::Stream, S::RtspH264}},
      // RTSP cameras: even Motion JPEG comes over RTSP.
      {50, 0, {K::Stream, S::RtspMjpeg}},
      {50, 1, {K::Stream, S::RtspH264}},
      {50, 2, {K::Stream, S::Http}},
      // A CGI camera without a format choice, and an unknown format.
      {34, 1, {K::Stream, S::Http}},
      {20, 7, {K::Stream, S::Http}},
      // Outside the CGI family: the legacy server, whatever the format.
      {5, 0, {K::LegacyServer, S::Http}},
      {5, 1, {K::LegacyServer, S::Http}},
      {5, 2, {K::LegacyServer, S::Http}},
  };
  for (const Case& c : cases) {
    const Road road = chooseRoad(c.type, c.videoFormat);
    EXPECT_EQ(road.kind, c.road.kind) << c.type << "/" << c.videoFormat;
    if (road.kind == K::Stream) {
      EXPECT_EQ(road.stream, c.road.stream) << c.type << "/" << c.videoFormat;
    }
  }
}

// The worker of channel 0 against fake queries and roads.
class ConnectionWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = connectionServices();
    services() = unavailableConnectionServices();
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      CameraSettings& camera = liveSettings().camera[0];
      camera.name = "Front";
      camera.ip = "127.0.0.1";
      camera.login = "admin";
      camera.password = "secret";
    }
    ChannelRecord& r = record();
    r.legacyReconnect = false;
    r.mpeg4Reconnect = false;
    r.legacyReconnectCount = 0;
    r.mpeg4ReconnectCount = 0;
    r.status = kStatusConnecting;
    attachUi(&ui_);
  }
  void TearDown() override {
    record().threads.connect.stop();
    appState().ui.store(nullptr);
    connectionServices() = saved_;
  }

  static ConnectionServices& services() { return connectionServices(); }
  static ChannelRecord& record() { return channelRecord(0); }
  static std::string text(const char* section, const char* key) {
    return CMultiLanguage::instance().text(section, key);
  }
  // Runs the worker in its slot, as the program does, until it ends by itself.
  static void runWorker() {
    ASSERT_TRUE(startConnectionWorker(record()));
    ASSERT_TRUE(testing::waitFor([] { return !record().threads.connect.running(); }, 30s));
  }
  void setCamera(int videoFormat) {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[0].videoFormat = videoFormat;
  }
  testing::RecordingViewerUi::Status lastStatus() const {
    const auto statuses = ui_.statuses();
    return statuses.empty() ? testing::RecordingViewerUi::Status{} : statuses.back();
  }
  std::vector<std::string> events() const {
    std::vector<std::string> texts;
    for (const auto& event : ui_.events()) texts.push_back(event.text);
    return texts;
  }

  ConnectionServices saved_;
  ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
};

TEST_F(ConnectionWorkerTest, StoresTypeAndModelEvenWhenTheRoadFails) {
  services().queryFirmware = [](int, FirmwareInfo& info) {
    info = {"1.2.3", 20, 7};
    return 0;
  };
  StreamKind asked = StreamKind::Http;
  services().startStream = [&](ChannelRecord&, StreamKind kind) {
    asked = kind;
    return false;
  };
  setCamera(2);
  runWorker();
  EXPECT_EQ(asked, StreamKind::RtspH264);
  EXPECT_EQ(record().modelId.load(), 20);
  EXPECT_EQ(cameraSnapshot(0).type, 20);
  EXPECT_EQ(cameraSnapshot(0).model, 7);
  EXPECT_EQ(lastStatus().code, kStatusDisconnected);
  EXPECT_EQ(lastStatus().text, "1 " + text("ViewerElement", "Message_Disconnected"));
  EXPECT_EQ(events(), std::vector<std::string>{"Get FW Info"});
  EXPECT_EQ(record().connectRunning.load(), 0);
  EXPECT_EQ(record().stream.setup().portText, "80");
}

TEST_F(ConnectionWorkerTest, WrongCredentialsAreReportedAndEndTheWorker) {
  services().queryFirmware = [](int, FirmwareInfo&) { return -2; };
  runWorker();
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text,
            "Camera 1: " + text("MessageBox", "Message_Username_Password_Wrong"));
  EXPECT_TRUE(ui_.messages()[0].posted) << "the box holds neither the worker nor the window";
  // The tile says why in words, and the log names the camera.
  EXPECT_EQ(lastStatus().code, kStatusDisconnected);
  EXPECT_EQ(lastStatus().text, "1 " + text("ViewerElement", "Message_PasswordError"));
  EXPECT_EQ(events(),
            (std::vector<std::string>{"Get FW Info",
                                      "Front: " + text("ViewerElement", "Message_PasswordError")}));
}

// A camera that is starting up, or installing new firmware, answers its information page
// without the firmware fields. It is asked again later (not given up on), so a camera that
// rebooted comes back by itself.
TEST_F(ConnectionWorkerTest, CameraWithoutFirmwareFieldsIsAskedAgainUntilItAnswers) {
  services().firmwareErrorRetryWait = 300ms;
  std::atomic<int> asked{0};
  std::atomic<int> xmlAsked{0};
  services().queryFirmware = [&](int, FirmwareInfo& info) {
    if (++asked < 3) return -3;
    info = {"1.0", 20, 1};
    return 0;
  };
  services().queryFirmwareXml = [&](int, FirmwareInfo&) {
    ++xmlAsked;
    return -3;
  };
  std::atomic<bool> streamed{false};
  services().startStream = [&](ChannelRecord&, StreamKind) { return streamed = true; };
  runWorker();

  EXPECT_EQ(asked.load(), 3);
  EXPECT_EQ(xmlAsked.load(), 2) << "the anonymous page is asked after each refusal";
  EXPECT_TRUE(streamed.load());
  EXPECT_EQ(events(), (std::vector<std::string>{"Get FW Info", "FW Info Error", "Get FW Info",
                                                "FW Info Error", "Get FW Info"}));
  // Meanwhile the tile said so, and the channel counted as connecting (so "Disconnect" stops
  // the worker); no message box.
  const auto statuses = ui_.statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].code, kStatusConnecting);
  EXPECT_EQ(statuses[0].text, "1 FW Info Error");
  EXPECT_EQ(statuses[1].code, kStatusConnecting);
  EXPECT_EQ(statuses[1].text, "1 " + text("ViewerElement", "Message_Connecting"));
  EXPECT_TRUE(ui_.messages().empty());
}

// An unanswered box on an unattended station holds up nothing: the worker posts its message
// and ends on its own while the box still stands open, and the channel can be started again.
TEST_F(ConnectionWorkerTest, WrongPasswordBoxDoesNotHoldTheWorker) {
  ui_.holdBoxes();
  services().queryFirmware = [](int, FirmwareInfo&) { return -2; };
  ASSERT_TRUE(startConnectionWorker(record()));
  ASSERT_TRUE(testing::waitFor([this] { return ui_.messages().size() == 1; }));
  EXPECT_TRUE(ui_.messages()[0].posted);
  EXPECT_TRUE(testing::waitFor([this] { return !record().threads.connect.running(); }))
      << "the worker waits for the box";
  EXPECT_TRUE(record().threads.connect.stop(100ms));
  ui_.releaseBoxes();
}

TEST_F(ConnectionWorkerTest, UnreachableCameraIsAskedAgainUntilStopped) {
  std::atomic<int> asked{0};
  services().queryFirmware = [&](int, FirmwareInfo&) {
    ++asked;
    return -1;
  };
  ASSERT_TRUE(startConnectionWorker(record()));
  ASSERT_TRUE(ipcam::testing::waitFor([&] { return asked > 0; }));
  // The tile still says connecting while the worker pauses.
  EXPECT_TRUE(ui_.statuses().empty());

  // Dropping the run flag during the pause ends the worker at once (within the slot's second,
  // not after the 5 s pause), and it did not ask again meanwhile.
  EXPECT_TRUE(record().threads.connect.stop(1000ms));
  EXPECT_EQ(asked.load(), 1);
  EXPECT_EQ(events().back(), "Disconnected");
  EXPECT_EQ(lastStatus().code, kStatusDisconnected);
}

TEST_F(ConnectionWorkerTest, LegacyServerRefusalSaysWhy) {
  struct Case {
    std::uint32_t maximum;
    std::uint32_t current;
    const char* key;
  };
  services().queryFirmware = [](int, FirmwareInfo& info) {
    info = {"1.0", 5, 0};
    return 0;
  };
  services().legacyConnect = [](ChannelRecord&) { return 1; };
  services().legacyLogin = [](ChannelRecord&) { return 0; };
  for (const Case& c : {Case{0, 0, "Message_PasswordError"}, Case{4, 4, "Message_ServerBusy"},
                        Case{4, 3, "Message_PasswordError"}}) {
    std::atomic<bool> asked{false};
    services().queryUserCounts = [&](int, UserCounts& counts) {
      counts = {c.maximum, c.current};
      asked = true;
      return 0;
    };
    ui_.clear();
    ASSERT_TRUE(startConnectionWorker(record()));
    // The refusal is the worker's first word on the tile, after the count question.
    ASSERT_TRUE(ipcam::testing::waitFor([&] { return asked && !ui_.statuses().empty(); }));
    const auto status = lastStatus();
    EXPECT_EQ(status.code, 0) << c.key;
    EXPECT_EQ(status.text, "1 " + text("ViewerElement", c.key));
    record().threads.connect.stop();
  }
}

TEST_F(ConnectionWorkerTest, Mpeg4ServerRoadUsesThePrivateVideoPort) {
  services().queryFirmware = [](int, FirmwareInfo& info) {
    info = {"1.0", 12, 1};
    return 0;
  };
  services().queryPrivateVideoPort = [](int) { return 4321; };
  std::vector<std::uint16_t> ports;
  services().mpeg4Login = [&](ChannelRecord&, const std::string& ip, std::uint16_t port) {
    EXPECT_EQ(ip, "127.0.0.1");
    ports.push_back(port);
    return 1;
  };
  services().mpeg4OpenData = [&](ChannelRecord&, const std::string&, std::uint16_t port) {
    ports.push_back(port);
    return 1;
  };
  services().startMpeg4DataThread = [](ChannelRecord&) { return true; };
  setCamera(1);
  runWorker();
  EXPECT_EQ(ports, (std::vector<std::uint16_t>{4321, 4322}));
  EXPECT_EQ(record().port.load(), 4321);
  EXPECT_EQ(cameraSnapshot(0).port, 4321);
  EXPECT_EQ(lastStatus().code, kStatusLive);
  EXPECT_EQ(lastStatus().text, "");

  // Without a port (and no reconnect armed): a message, and the channel is disconnected.
  services().queryPrivateVideoPort = [](int) { return -1; };
  runWorker();
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, "Camera 1: " + text("MessageBox", "Message_GetVideoPortFail"));
  EXPECT_EQ(lastStatus().code, kStatusDisconnected);
  EXPECT_EQ(events().back(), "Disconnected");
}

TEST_F(ConnectionWorkerTest, SpentReconnectBudgetGivesUp) {
  int asked = 0;
  services().queryFirmware = [&](int, FirmwareInfo&) {
    ++asked;
    return -1;
  };
  record().legacyReconnect = true;
  record().legacyReconnectCount = kReconnectBudget + 1;
  runWorker();
  EXPECT_EQ(asked, 0);
  EXPECT_FALSE(record().legacyReconnect.load());
  EXPECT_EQ(record().legacyReconnectCount.load(), 0);
  EXPECT_EQ(events().back(), "Disconnected");
  EXPECT_EQ(lastStatus().code, kStatusDisconnected);
}

TEST_F(ConnectionWorkerTest, UnconfiguredCameraEndsQuietly) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[0].password.clear();
  }
  runWorker();
  EXPECT_TRUE(ui_.statuses().empty());
  EXPECT_TRUE(ui_.events().empty());
  EXPECT_EQ(record().connectRunning.load(), 0);
}

}  // namespace
}  // namespace ipcam
