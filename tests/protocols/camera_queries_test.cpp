#include "protocols/camera_queries.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/viewer_settings.h"
#include "support/recording_viewer_ui.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

TEST(CameraQueryParsing, AnswersAsCamerasWriteThem) {
  std::uint32_t port = 0;
  EXPECT_EQ(parsePrivateVideoPort("System.PrivateVideoPort=4321\n", port), kQueryOk);
  EXPECT_EQ(port, 4321u);
  EXPECT_EQ(parsePrivateVideoPort("System.PrivateVideoPort=abc\n", port), kQueryOk);
  EXPECT_EQ(port, 0u);
  EXPECT_EQ(parsePrivateVideoPort("Error\n", port), kQueryFieldsMissing);

  UserCounts counts;
  EXPECT_EQ(
      parseUserCounts("Properties.VideoServer.MaxUsers=10\nProperties.VideoServer.Cur=3", counts),
      kQueryOk);
  EXPECT_EQ(counts.maximum, 10u);
  EXPECT_EQ(counts.current, 3u);
  EXPECT_EQ(parseUserCounts("Properties.VideoServer.MaxUsers=10", counts), kQueryFieldsMissing);

  struct Case {
    const char* answer;
    int result;
    const char* version;
    std::uint32_t model;
    std::uint32_t vendor;
  };
  const Case cases[] = {
      {"Properties.Firmware.Version=V2.1\nProperties.Firmware.ModelID=20\n"
       "Properties.Firmware.VendorID=3\n",
       kQueryOk, "V2.1", 20, 3},
      // ModelID first: the version would run into the wrong line.
      {"Properties.Firmware.ModelID=20\nProperties.Firmware.Version=V2.1\n"
       "Properties.Firmware.VendorID=3\n",
       kQueryFieldsMissing, "", 0, 0},
      // The vendor line lacks its line feed: the version and model stay read.
      {"Properties.Firmware.Version=V2.1\nProperties.Firmware.ModelID=20\n"
       "Properties.Firmware.VendorID=3",
       kQueryFieldsMissing, "V2.1", 20, 0},
      {"Properties.Firmware.Version=V2.1\nProperties.Firmware.ModelID=4294967296999\n"
       "Properties.Firmware.VendorID=x\n",
       kQueryOk, "V2.1", 4294967295u, 0},
      {"\n", kQueryFieldsMissing, "", 0, 0},
      {"", kQueryFieldsMissing, "", 0, 0},
  };
  for (const Case& c : cases) {
    FirmwareInfo firmware;
    EXPECT_EQ(parseFirmwareList(c.answer, firmware), c.result) << c.answer;
    EXPECT_EQ(firmware.version, c.version) << c.answer;
    EXPECT_EQ(firmware.modelId, c.model) << c.answer;
    EXPECT_EQ(firmware.vendorId, c.vendor) << c.answer;
  }
}

// Channel 0 pointed at a simulated camera on 127.0.0.1.
class CameraQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override { attachUi(&ui_); }
  void TearDown() override {
    camera_.reset();
    appState().ui.store(nullptr);
  }

  void startCamera(camsim::Options options) {
    options.user = "admin";
    options.password = "1234";
    camera_ = std::make_unique<camsim::Server>(options);
    ASSERT_TRUE(camera_->start()) << camera_->lastError();
    pointChannelAt(camera_->port(), "1234");
  }
  static void pointChannelAt(std::uint16_t port, const std::string& password) {
    std::lock_guard lock(settingsMutex());
    CameraSettings& camera = liveSettings().camera[0];
    camera.ip = "127.0.0.1";
    camera.webPort = port;
    camera.login = "admin";
    camera.password = password;
  }

  std::unique_ptr<camsim::Server> camera_;
  testing::RecordingViewerUi ui_;
};

TEST_F(CameraQueriesTest, EveryFirmwareFormYieldsTheIdentityThroughTheDocumentedPages) {
  struct Case {
    camsim::FirmwareForm form;
    bool xmlReversed;
    camsim::AuthMode auth;
    int listResult;
  };
  using camsim::AuthMode;
  using camsim::FirmwareForm;
  for (const Case& c : {Case{FirmwareForm::PlainList, false, AuthMode::Basic, kQueryOk},
                        Case{FirmwareForm::WrongOrder, false, AuthMode::Digest, -3},
                        Case{FirmwareForm::XmlOnly, true, AuthMode::DigestQop, -3}}) {
    camsim::Options options;
    options.firmwareForm = c.form;
    options.firmwareXmlReversed = c.xmlReversed;
    options.auth = c.auth;
    options.modelId = 50;
    options.vendorId = 4;
    options.firmwareVersion = "V3.0.1";
    startCamera(options);

    FirmwareInfo firmware;
    EXPECT_EQ(queryFirmware(0, firmware), c.listResult);
    if (c.listResult == kQueryFieldsMissing) {
      firmware = {};
      EXPECT_EQ(queryFirmwareXml(0, firmware), kQueryOk);
    }
    EXPECT_EQ(firmware.version, "V3.0.1");
    EXPECT_EQ(firmware.modelId, 50u);
    EXPECT_EQ(firmware.vendorId, 4u);
    camera_.reset();
  }
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(CameraQueriesTest, PortCountsAndRefusals) {
  camsim::Options options;
  options.auth = camsim::AuthMode::Digest;
  options.privateVideoPort = 4321;
  options.maxUsers = 10;
  options.currentUsers = 3;
  startCamera(options);

  std::uint32_t port = 0;
  EXPECT_EQ(queryPrivateVideoPort(0, port), kQueryOk);
  EXPECT_EQ(port, 4321u);
  UserCounts counts;
  EXPECT_EQ(queryUserCounts(0, counts), kQueryOk);
  EXPECT_EQ(counts.maximum, 10u);
  EXPECT_EQ(counts.current, 3u);

  // A wrong password, and a camera that answers everything with its "Unauthorized" page.
  pointChannelAt(camera_->port(), "wrong");
  FirmwareInfo firmware;
  EXPECT_EQ(queryFirmware(0, firmware), kQueryUnauthorized);
  pointChannelAt(camera_->port(), "1234");
  options.fault = camsim::Fault::Unauthorized;
  camera_->setOptions(options);
  EXPECT_EQ(queryPrivateVideoPort(0, port), kQueryUnauthorized);
  EXPECT_EQ(queryUserCounts(0, counts), kQueryUnauthorized);
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(CameraQueriesTest, BrokenAnswersEndInTheirResultCodes) {
  struct Case {
    camsim::Garbage garbage;
    int firmware;
    int firmwareXml;
  };
  using camsim::Garbage;
  for (const Case& c : {Case{Garbage::Oversized, kQueryNoAnswer, kQueryNoAnswer},
                        Case{Garbage::Truncated, kQueryNoAnswer, kQueryNoAnswer},
                        Case{Garbage::NonDigits, kQueryOk, kQueryOk},
                        Case{Garbage::MalformedXml, kQueryOk, kQueryFieldsMissing},
                        Case{Garbage::EnormousXml, kQueryOk, kQueryNoAnswer}}) {
    camsim::Options options;
    options.garbage = c.garbage;
    startCamera(options);
    FirmwareInfo firmware;
    EXPECT_EQ(queryFirmware(0, firmware), c.firmware) << static_cast<int>(c.garbage);
    EXPECT_EQ(queryFirmwareXml(0, firmware), c.firmwareXml) << static_cast<int>(c.garbage);
    camera_.reset();
  }
}

TEST_F(CameraQueriesTest, SilentCameraTimesOutWithoutAMessage) {
  camsim::Options options;
  options.fault = camsim::Fault::NoAnswer;
  startCamera(options);
  const auto start = std::chrono::steady_clock::now();
  FirmwareInfo firmware;
  EXPECT_EQ(queryFirmware(0, firmware), kQueryNoAnswer);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 9900ms);
  EXPECT_LT(took, 18s) << "one 10 s time-out, not two";
  EXPECT_TRUE(ui_.messages().empty());

  std::string answer;
  EXPECT_EQ(
      fetchText("http://127.0.0.1:" + std::to_string(camera_->port()) + "/", "", "", answer, 200),
      kFetchNoAnswer);
  EXPECT_EQ(fetchText("ftp://127.0.0.1/", "", "", answer, 200), kFetchOpenFailed);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, "Failed to open http request!");
}

}  // namespace
}  // namespace ipcam
