#include "app/viewer_core.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "platform/text_encoding.h"
#include "recording/storage.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

// A whole start-up and shutdown of the core against the recording fake, with the user's
// folders in a temp folder and the shipped English texts.
class ViewerCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMultiLanguage::instance().applyComboIndex(0);
    setSoundDeviceProbe([] { return true; });
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
    }
  }
  void TearDown() override {
    shutdownCore();
    setSoundDeviceProbe(nullptr);
  }

  std::filesystem::path settingsFile() const {
    return home_.path() / ".config" / "CORVEL IP Camera Viewer" / "avcln.ini";
  }
  void writeSettings(const std::string& text) const {
    std::filesystem::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile(), std::ios::binary)
        << "\xFF\xFE" << platform::encodeUtf16LE(platform::utf8ToUtf16(text));
  }
  void startUp() {
    attachUi(&ui_);
    loadConfiguration(ui_);
    createChannelObjects(ui_);
    startChannels(ui_);
  }
  static std::string text(const char* key) {
    return CMultiLanguage::instance().text("ViewerElement", key);
  }

  TempFolder home_;
  ScopedEnv homeEnv_{"HOME", home_.path().string()};
  ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
};

TEST_F(ViewerCoreTest, WithoutCamerasEveryTileSaysNoSignalAndShutdownSavesTheSettings) {
  startUp();
  const auto statuses = ui_.statuses();
  ASSERT_EQ(statuses.size(), 16u);
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const auto& status = statuses[static_cast<std::size_t>(channel)];
    EXPECT_EQ(status.channel, channel);
    EXPECT_EQ(status.code, kStatusNoSignal);
    EXPECT_EQ(status.text, std::to_string(channel + 1) + " " + text("Message_NoSignal"));
    EXPECT_EQ(channelRecord(channel).status.load(), kStatusNoSignal);
    EXPECT_FALSE(channelRecord(channel).threads.connect.running());
    EXPECT_NE(channelRecord(channel).media, nullptr);
    EXPECT_NE(channelRecord(channel).manualRecorder, nullptr);
  }
  EXPECT_TRUE(ui_.messages().empty());
  EXPECT_EQ(ui_.scanInterval(), 3);

  // The recording folders went into the documents folder, the default data folder.
  EXPECT_TRUE(
      std::filesystem::is_directory(home_.path() / "Documents" / "Data" / "Record" / "Camera 16"));

  startStorageMonitor();
  EXPECT_TRUE(appState().storageMonitor.running());
  shutdownCore();
  EXPECT_FALSE(appState().storageMonitor.running());

  std::ifstream in(settingsFile(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_TRUE(bytes.starts_with("\xFF\xFE"));
  const std::string saved = platform::utf16ToUtf8(platform::decodeUtf16(bytes.substr(2), false));
  EXPECT_NE(saved.find("[Camera15]"), std::string::npos);
  EXPECT_NE(saved.find("[Record31]"), std::string::npos);
}

TEST_F(ViewerCoreTest, ConfiguredCamerasConnectEvenByHostName) {
  writeSettings(
      "[Camera2]\r\nName=Gate\r\nIP=127.0.0.20\r\nPort=4321\r\nLogin=admin\r\nPassword=pw\r\n"
      "[Camera5]\r\nName=Yard\r\nIP=localhost\r\nLogin=admin\r\nPassword=pw\r\n"
      "[Camera6]\r\nName=NoPort\r\nIP=10.0.0.1\r\nWebPort=0\r\nLogin=a\r\nPassword=b\r\n");
  startUp();
  for (const auto& status : ui_.statuses()) {
    const bool configured = status.channel == 2 || status.channel == 5;
    EXPECT_EQ(status.code, configured ? kStatusConnecting : kStatusNoSignal) << status.channel;
    EXPECT_EQ(status.text, std::to_string(status.channel + 1) + " " +
                               text(configured ? "Message_Connecting" : "Message_NoSignal"));
  }
  const ChannelRecord& gate = channelRecord(2);
  EXPECT_EQ(gate.address.load(), inet_addr("127.0.0.20"));
  EXPECT_EQ(gate.port.load(), 4321);
  EXPECT_EQ(gate.credentials().login, "admin");
  // A host name is no dotted quad: the record keeps a zero address.
  EXPECT_EQ(channelRecord(5).address.load(), 0u);
}

TEST_F(ViewerCoreTest, MissingSoundDeviceIsReportedOnce) {
  setSoundDeviceProbe([] { return false; });
  startUp();
  const auto messages = ui_.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "No sound card found. Audio functions will be disabled. Press OK to continue.");
  EXPECT_EQ(messages[0].title, "Error");
  EXPECT_FALSE(appState().soundAvailable.load());
}

TEST_F(ViewerCoreTest, ShutdownBeforeTheSettingsAreKnownWritesNothing) {
  attachUi(&ui_);
  shutdownCore();
  shutdownCore();
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
}

TEST_F(ViewerCoreTest, LanguageChangeRefreshesTileTexts) {
  startUp();
  setChannelStatus(3, kStatusLive, std::string("live"));
  setChannelStatus(4, kStatusDisconnected, std::string("x"));
  refreshTileTexts();
  const auto statuses = ui_.statuses();
  const auto last = [&](int channel) {
    for (auto it = statuses.rbegin(); it != statuses.rend(); ++it) {
      if (it->channel == channel) return *it;
    }
    return testing::RecordingViewerUi::Status{};
  };
  EXPECT_EQ(last(0).text, "1 " + text("Message_NoSignal"));
  EXPECT_EQ(last(3).text, "");
  EXPECT_EQ(last(3).code, kStatusLive);
  EXPECT_EQ(last(4).text, "5 " + text("Message_Disconnected"));
}

TEST(ChannelRecordTest, AddressesAndTileTexts) {
  struct Case {
    const char* text;
    bool valid;
  };
  for (const Case& c :
       {Case{"192.168.0.10", true}, Case{"0.0.0.0", true}, Case{"255.255.255.255", true},
        Case{"256.1.1.1", false}, Case{"1.2.3", false}, Case{"1.2.3.4.5", false}, Case{"", false},
        Case{"cam.local", false}, Case{" 1.2.3.4", false}}) {
    std::uint32_t address = 0;
    EXPECT_EQ(parseDottedQuad(c.text, address), c.valid) << c.text;
  }
  EXPECT_EQ(tileStatusText(0, "No signal"), "1 No signal");
  EXPECT_EQ(tileStatusText(15, "Connecting"), "16 Connecting");
  EXPECT_EQ(tileStatusText(4, ""), "");
  EXPECT_EQ(versionText(), "v1.0.0.1");
}

TEST(ScreenCheck, NeedsAtLeast1024By768) {
  EXPECT_TRUE(screenLargeEnough(1024, 768));
  EXPECT_TRUE(screenLargeEnough(1280, 1024));
  EXPECT_FALSE(screenLargeEnough(1023, 768));
  EXPECT_FALSE(screenLargeEnough(1024, 767));
}

}  // namespace
}  // namespace ipcam
