#include "core/viewer_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/profile_file.h"
#include "platform/text_encoding.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using platform::test_support::ScopedEnv;
using TempDir = platform::test_support::TempFolder;

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

std::string utf16File(const std::string& text) {
  return "\xFF\xFE" + platform::encodeUtf16LE(platform::utf8ToUtf16(text));
}

std::string bigEndianFile(const std::string& text) {
  std::string bytes = platform::encodeUtf16LE(platform::utf8ToUtf16(text));
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  return "\xFE\xFF" + bytes;
}

// The file's text after its UTF-16LE mark; fails the test when the mark is missing.
std::string decodedText(const fs::path& file) {
  const std::string bytes = readBytes(file);
  EXPECT_TRUE(bytes.starts_with("\xFF\xFE")) << "no UTF-16LE mark";
  if (bytes.size() < 2) return {};
  return platform::utf16ToUtf8(platform::decodeUtf16(std::string_view(bytes).substr(2), false));
}

std::string repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// The settings file sits where the program looks for it, under temporary home folders.
class SettingsFileTest : public ::testing::Test {
 protected:
  SettingsFileTest()
      : config_("XDG_CONFIG_HOME", (temp_.path() / "config").string()),
        home_("HOME", (temp_.path() / "home").string()) {
    locateSettings(settings_, &ui_, "no documents");
    file_ = settings_.settingsPath;
  }

  ViewerSettings loadFromFile(const std::string& text) {
    writeBytes(file_, utf16File(text));
    ViewerSettings loaded;
    loaded.settingsPath = file_.string();
    loadSettings(loaded, &ui_);
    return loaded;
  }

  TempDir temp_;
  ScopedEnv config_;
  ScopedEnv home_;
  testing::RecordingViewerUi ui_;
  ViewerSettings settings_;
  fs::path file_;
};

TEST_F(SettingsFileTest, LocatesTheFileInTheApplicationDataFolder) {
  const fs::path folder = temp_.path() / "config" / "CORVEL IP Camera Viewer";
  EXPECT_EQ(file_, folder / "avcln.ini");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(settings_.defaultDataDir, (temp_.path() / "home" / "Documents").string());
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(SettingsFileTest, FirstSaveWritesEveryKeyInOrderWithTheirDefaults) {
  loadSettings(settings_, &ui_);  // no file yet: every default
  ASSERT_FALSE(fs::exists(file_));
  ASSERT_TRUE(saveSettings(settings_));

  std::string expected =
      "[Global]\r\nDivision=16\r\n"
      "[General]\r\nRecPath0=\r\nRecPath1=\r\nRecPath2=\r\nScanTime=3\r\nFileSize=50\r\n"
      "RecCycle=1\r\nRecCycleTime=0\r\n"
      "[MotionRecordMail]\r\n";
  for (int i = 0; i < 16; ++i) expected += "Recipient" + std::to_string(i) + "=\r\n";
  expected +=
      "Subject=\r\nSender=\r\nSMTP_Server=\r\nSMTP_Port=25\r\nSMTP_Auth=0\r\nSMTP_Account=\r\n"
      "SMTP_Password=\r\nSMTP_SSL_TLS=0\r\nPOP3_Before_SMTP=0\r\nPOP3_Server=\r\n"
      "POP3_Port=110\r\nPOP3_Account=\r\nPOP3_Password=\r\nSMTP_Cert_SHA256=\r\n"
      "[Security]\r\nEnable=0\r\nPassword=\r\n";
  const std::string camera =
      "VOSKUse=0\r\nVOSKHost=\r\nName=\r\nIP=\r\nPort=80\r\nWebPort=80\r\nLogin=\r\n"
      "Password=\r\nType=0\r\nModel=0\r\nIsPnV=0\r\nDualMode=0\r\nMuteAudio=1\r\n"
      "OnlyVideo=0\r\nMREnable=0\r\nMRSecond=10\r\nMRAlarm=0\r\nMRMail=0\r\n";
  for (int i = 0; i < 16; ++i) expected += "[Camera" + std::to_string(i) + "]\r\n" + camera;
  const std::string record =
      "ID=-1\r\nMode=0\r\nDOW=0\r\nDOM=0\r\nBeg_Yea=0\r\nBeg_Mon=0\r\nBeg_Day=0\r\n"
      "Beg_Hou=0\r\nBeg_Min=0\r\nBeg_Sec=0\r\nEnd_Yea=0\r\nEnd_Mon=0\r\nEnd_Day=0\r\n"
      "End_Hou=0\r\nEnd_Min=0\r\nEnd_Sec=0\r\n";
  for (int i = 0; i < 32; ++i) expected += "[Record" + std::to_string(i) + "]\r\n" + record;

  EXPECT_EQ(decodedText(file_), expected);
  EXPECT_EQ(ui_.scanInterval(), 3);
}

// Every stored field with a value of its own, so that a swapped or dropped key shows.
ViewerSettings distinctiveSettings() {
  ViewerSettings s;
  int n = 100;
  s.division = 16;  // saving always stores 16
  for (auto& path : s.recPath) path = "/rec/" + std::to_string(++n);
  s.scanTime = ++n;
  s.fileSize = ++n;
  s.recCycle = ++n;
  s.recCycleTime = ++n;
  for (auto& recipient : s.recipient) recipient = "r" + std::to_string(++n) + "@example.org";
  s.subject = "Bewegung erkannt – Kamera";
  s.sender = "viewer@example.org";
  s.smtpServer = "smtp.example.org";
  s.smtpPort = ++n;
  s.smtpAuth = ++n;
  s.smtpAccount = "account";
  s.smtpPassword = "s3cr=t;x";
  s.smtpSslTls = ++n;
  s.pop3BeforeSmtp = ++n;
  s.pop3Server = "pop.example.org";
  s.pop3Port = ++n;
  s.pop3Account = "pop-account";
  s.pop3Password = "pop-password";
  s.smtpCertificatePin = "0F:1E:2D";
  s.securityEnable = ++n;
  s.securityPassword = "5f4dcc3b5aa765d61d8327deb882cf99";
  for (int i = 0; i < kChannelCount; ++i) {
    CameraSettings& c = s.camera[i];
    const std::string tag = std::to_string(i);
    c.voskUse = i % 2;
    c.voskHost = "host" + tag;
    c.name = "Kamera Büro 東京 " + tag;
    c.ip = "192.0.2." + tag;
    c.port = 65535;
    c.webPort = static_cast<std::uint16_t>(65535 - i);
    c.login = "login" + tag;
    c.password = "pass " + tag;
    c.type = ++n;
    c.model = ++n;
    c.isPnV = ++n;
    c.videoFormat = ++n;
    c.muteAudio = ++n;
    c.onlyVideo = ++n;
    c.mrEnable = ++n;
    c.mrSecond = ++n;
    c.mrAlarm = ++n;
    c.mrMail = -(++n);
  }
  for (int i = 0; i < kScheduleCount; ++i) {
    ScheduleEntry& e = s.schedule[i];
    e.channel = i % 17 - 1;
    e.mode = ++n;
    e.daysOfWeek = ++n;
    e.dayOfMonth = ++n;
    e.beginYear = ++n;
    e.beginMonth = ++n;
    e.beginDay = ++n;
    e.beginHour = ++n;
    e.beginMinute = ++n;
    e.beginSecond = ++n;
    e.endYear = ++n;
    e.endMonth = ++n;
    e.endDay = ++n;
    e.endHour = ++n;
    e.endMinute = ++n;
    e.endSecond = ++n;
  }
  return s;
}

TEST_F(SettingsFileTest, EveryStoredValueSurvivesASaveAndALoad) {
  ViewerSettings saved = distinctiveSettings();
  saved.settingsPath = settings_.settingsPath;
  saved.defaultDataDir = settings_.defaultDataDir;
  ASSERT_TRUE(saveSettings(saved));

  loadSettings(settings_, &ui_);
  EXPECT_EQ(settings_, saved);
  EXPECT_EQ(settings_.camera[3].port, 65535);
  EXPECT_EQ(ui_.scanInterval(), saved.scanTime);
}

TEST_F(SettingsFileTest, LoadKeepsRunTimeStateAndClearsActiveSchedules) {
  saveSettings(settings_);
  CameraSettings& flagged = settings_.camera[2];
  flagged.needsRestart = 1;
  flagged.restartPending = 2;
  flagged.needsStart = 3;
  flagged.needsStop = 4;
  settings_.schedule[7].active = 1;
  settings_.schedule[7].channel = 3;
  const std::string path = settings_.settingsPath;
  const std::string dataDir = settings_.defaultDataDir;

  loadSettings(settings_, nullptr);
  const CameraSettings& camera = settings_.camera[2];
  EXPECT_EQ(camera.needsRestart, 1);
  EXPECT_EQ(camera.restartPending, 2);
  EXPECT_EQ(camera.needsStart, 3);
  EXPECT_EQ(camera.needsStop, 4);
  EXPECT_EQ(settings_.schedule[7], ScheduleEntry{});
  EXPECT_EQ(settings_.settingsPath, path);
  EXPECT_EQ(settings_.defaultDataDir, dataDir);
}

TEST_F(SettingsFileTest, DivisionLoadsAsWrittenButIsSavedAs16AndOtherLinesStay) {
  writeBytes(file_, utf16File("; kept\r\n[Global]\r\nDivision=4\r\n[Extra]\r\nKeep=yes\r\n"));
  loadSettings(settings_, &ui_);
  EXPECT_EQ(settings_.division, 4);

  ASSERT_TRUE(saveSettings(settings_));
  EXPECT_EQ(settings_.division, 16);
  const std::string text = decodedText(file_);
  EXPECT_TRUE(text.starts_with("; kept\r\n[Global]\r\nDivision=16\r\n[Extra]\r\nKeep=yes\r\n"))
      << text.substr(0, 200);
  EXPECT_NE(text.find("[Record31]\r\nID=-1\r\n"), std::string::npos);
}

TEST_F(SettingsFileTest, AnEmptyFileIsRewrittenAsWideText) {
  writeBytes(file_, "");
  ASSERT_TRUE(saveSettings(settings_));
  EXPECT_TRUE(decodedText(file_).starts_with("[Global]\r\nDivision=16\r\n"));
}

TEST_F(SettingsFileTest, NumbersReadAsTheProfileReaderAndTheFieldAllow) {
  struct Case {
    const char* value;  // nullptr: key missing
    int mrSecond;
    int port;
    int id;
  };
  const Case cases[] = {
      {nullptr, 10, 80, -1},
      {"", 10, 80, -1},
      {"abc", 0, 0, 0},
      {"12abc", 12, 12, 12},
      {"65535", 65535, 65535, -1},
      {"0", 0, 0, 0},
      {"15", 15, 15, 15},
      {"16", 16, 16, -1},
      {"-1", -1, 80, -1},
      {"-7", -7, 80, -1},
      {"65536", 65536, 80, -1},
      {"99999999999", 2147483647, 80, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(missing)");
    const std::string line = c.value != nullptr ? std::string("=") + c.value + "\r\n" : "";
    const std::string text =
        "[Camera0]\r\n" +
        (line.empty() ? "" : "MRSecond" + line + "Port" + line + "WebPort" + line) +
        "[Record0]\r\nMode=2\r\n" + (line.empty() ? "" : "ID" + line);
    const ViewerSettings loaded = loadFromFile(text);
    EXPECT_EQ(loaded.camera[0].mrSecond, c.mrSecond);
    EXPECT_EQ(loaded.camera[0].port, c.port);
    EXPECT_EQ(loaded.camera[0].webPort, c.port);
    EXPECT_EQ(loaded.schedule[0].channel, c.id);
    EXPECT_EQ(loaded.schedule[0].mode, 2);
  }
}

TEST_F(SettingsFileTest, LongTextIsCutTo254UnitsOnLoadAnd255OnSave) {
  const std::string longName = repeat("é", 300);
  const ViewerSettings loaded = loadFromFile("[Camera5]\r\nName=" + longName + "\r\n");
  EXPECT_EQ(loaded.camera[5].name, repeat("é", 254));

  settings_.camera[5].name = longName;
  settings_.subject = repeat("x", 256);
  ASSERT_TRUE(saveSettings(settings_));
  const auto profile = platform::ProfileFile::load(file_);
  EXPECT_EQ(profile.getString("Camera5", "Name", "", 1000), repeat("é", 255));
  EXPECT_EQ(profile.getString("MotionRecordMail", "Subject", "", 1000), repeat("x", 255));
}

TEST_F(SettingsFileTest, DamagedFilesLoadWhatTheyCan) {
  std::mt19937 random(7);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  const std::string wide = utf16File("[Camera0]\r\nName=cam\r\nWebPort=81\r\n");
  struct Case {
    const char* what;
    std::string bytes;
    std::string name;  // Camera0's
    int webPort;
  };
  const std::vector<Case> cases = {
      {"random bytes", garbage, "", 80},
      {"odd byte count", wide + "\x41", "cam", 81},
      {"UTF-16 without mark", wide.substr(2), "cam", 81},
      {"big-endian", bigEndianFile("[Camera0]\r\nName=cam\r\nWebPort=81\r\n"), "cam", 81},
      {"narrow text", "[Camera0]\nName=cam\nWebPort=81", "cam", 81},
      {"only a mark", "\xFF\xFE", "", 80},
      {"enormous line",
       utf16File("[Camera0]\r\nName=" + std::string(1 << 20, 'a') + "\r\nWebPort=81\r\n"),
       std::string(254, 'a'), 81},
      {"NUL bytes", "[Camera0]\r\nName=c\0a\0m\r\nWebPort=81"s, "cam", 81},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeBytes(file_, c.bytes);
    ViewerSettings loaded;
    loaded.settingsPath = file_.string();
    loadSettings(loaded, nullptr);
    EXPECT_EQ(loaded.camera[0].name, c.name);
    EXPECT_EQ(loaded.camera[0].webPort, c.webPort);
    EXPECT_EQ(loaded.camera[1], CameraSettings{});
    EXPECT_EQ(loaded.scanTime, 3);
  }
}

TEST_F(SettingsFileTest, SaveFailsWithoutAWritableSettingsPath) {
  // The working folder is where an empty path would land.
  const fs::path previous = fs::current_path();
  fs::create_directory(temp_.path() / "cwd");
  fs::current_path(temp_.path() / "cwd");
  ViewerSettings settings;
  EXPECT_FALSE(saveSettings(settings));
  EXPECT_TRUE(fs::is_empty(temp_.path() / "cwd"));
  fs::current_path(previous);

  settings.settingsPath = (temp_.path() / "missing" / "avcln.ini").string();
  EXPECT_FALSE(saveSettings(settings));
  EXPECT_FALSE(fs::exists(temp_.path() / "missing"));
}

// Under a loose umask another local user could plant the temporary file the save writes
// through, and end up owning the passwords.
TEST(SettingsFilePrivacy, TheSaveIsTheUsersAloneWhateverTheUmaskOrAPlantedFile) {
  TempDir temp;
  ScopedEnv config("XDG_CONFIG_HOME", (temp.path() / "config").string());
  ScopedEnv home("HOME", (temp.path() / "home").string());
  platform::test_support::ScopedUmask loose(0);
  ViewerSettings settings;
  locateSettings(settings, nullptr, "");
  const fs::path file = settings.settingsPath;
  const fs::path folder = file.parent_path();
  EXPECT_EQ(platform::test_support::modeOf(folder), 0700);

  // What a crash leaves behind, or what someone else put there, under the names a save
  // would once have used.
  const fs::path planted = folder / ("avcln.ini.tmp" + std::to_string(::getpid()));
  writeBytes(planted, "planted");
  fs::permissions(planted, fs::perms::all);
  fs::create_symlink(temp.path() / "elsewhere", folder / ".avcln.ini.tmp");

  settings.camera[0].password = "s3cret";
  for (int save = 0; save < 2; ++save) {
    ASSERT_TRUE(saveSettings(settings)) << "save " << save;
    EXPECT_EQ(platform::test_support::modeOf(file), 0600) << "save " << save;
  }
  EXPECT_NE(decodedText(file).find("s3cret"), std::string::npos);
  EXPECT_EQ(readBytes(planted), "planted");
  EXPECT_FALSE(fs::exists(temp.path() / "elsewhere"));
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++entries;
  EXPECT_EQ(entries, 3) << "a temporary file was left behind";
}

TEST(SettingsFilePrivacy, AFolderOthersCanWriteIntoIsTightenedOrRefused) {
  struct Case {
    const char* what;
    fs::perms mode;
    bool othersOwnIt;
    int modeAfter;
    bool saved;
  };
  const Case cases[] = {
      {"ours, writable by all", fs::perms::all, false, 0700, true},
      {"ours, writable by the group", fs::perms(0770), false, 0700, true},
      {"ours, readable by all", fs::perms(0755), false, 0755, true},
      {"someone else's", fs::perms::all, true, 0777, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.othersOwnIt && ::geteuid() != 0) continue;  // only root can give a folder away
    TempDir temp;
    const fs::path folder = temp.path() / "settings";
    fs::create_directory(folder);
    fs::permissions(folder, c.mode);
    if (c.othersOwnIt) {
      ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    }
    ViewerSettings settings;
    settings.settingsPath = (folder / "avcln.ini").string();
    EXPECT_EQ(saveSettings(settings), c.saved);
    EXPECT_EQ(fs::exists(folder / "avcln.ini"), c.saved);
    EXPECT_EQ(platform::test_support::modeOf(folder), c.modeAfter);
  }
}

TEST(LocateSettings, FallsBackToTheCurrentFolderAndReportsMissingDocuments) {
  TempDir temp;
  testing::RecordingViewerUi ui;
  ViewerSettings settings;
  locateSettings(settings, SettingsFolders{std::nullopt, std::nullopt, temp.path()}, &ui,
                 "Default directory missing");

  const fs::path folder = temp.path() / "CORVEL IP Camera Viewer";
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(settings.settingsPath, (folder / "avcln.ini").string());
  EXPECT_EQ(settings.defaultDataDir, temp.path().string());
  const auto messages = ui.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Default directory missing");
  EXPECT_EQ(messages[0].title, kDefaultMessageTitle);

  // Without a window the message is dropped, not dereferenced.
  locateSettings(settings, SettingsFolders{std::nullopt, std::nullopt, temp.path()}, nullptr, "x");
}

CameraSettings configuredCamera() {
  CameraSettings camera;
  camera.name = "Door";
  camera.ip = "192.0.2.10";
  camera.login = "admin";
  camera.password = "pw";
  return camera;
}

TEST(CameraSettingsTest, ConfiguredByAddressOrByHostName) {
  struct Case {
    const char* what;
    void (*change)(CameraSettings&);
    int expected;
  };
  const Case cases[] = {
      {"complete", [](CameraSettings&) {}, 1},
      {"web port 0", [](CameraSettings& c) { c.webPort = 0; }, 0},
      {"no address", [](CameraSettings& c) { c.ip.clear(); }, 0},
      {"no name", [](CameraSettings& c) { c.name.clear(); }, 0},
      {"no login", [](CameraSettings& c) { c.login.clear(); }, 0},
      {"no password", [](CameraSettings& c) { c.password.clear(); }, 0},
      {"host name ignored without the service", [](CameraSettings& c) { c.voskHost = "h"; }, 1},
      {"service with host, no address, port 0",
       [](CameraSettings& c) {
         c.voskUse = 1;
         c.voskHost = "door";
         c.ip.clear();
         c.webPort = 0;
       },
       2},
      {"service without host", [](CameraSettings& c) { c.voskUse = 1; }, 0},
      {"service without name",
       [](CameraSettings& c) {
         c.voskUse = 1;
         c.voskHost = "door";
         c.name.clear();
       },
       0},
      {"unknown service flag",
       [](CameraSettings& c) {
         c.voskUse = 2;
         c.voskHost = "door";
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CameraSettings camera = configuredCamera();
    c.change(camera);
    EXPECT_EQ(isCameraConfigured(camera), c.expected);
  }

  ViewerSettings settings;
  settings.camera.fill(configuredCamera());
  EXPECT_EQ(isCameraConfigured(settings, 0), 1);
  EXPECT_EQ(isCameraConfigured(settings, 15), 1);
  EXPECT_EQ(isCameraConfigured(settings, 16), 0);
  EXPECT_EQ(isCameraConfigured(settings, -1), 0);
}

TEST(CameraSettingsTest, TypeFamilies) {
  struct Case {
    int type;
    bool ptz, audio, formatChoice, cgi, rtsp;
  };
  const Case cases[] = {
      {-1, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0},    {8, 0, 0, 0, 0, 0},  {9, 1, 0, 0, 0, 0},
      {10, 1, 0, 0, 0, 0}, {11, 0, 1, 1, 1, 0},   {12, 0, 1, 1, 1, 0}, {13, 1, 1, 1, 1, 0},
      {16, 1, 1, 1, 1, 0}, {17, 0, 0, 1, 1, 0},   {18, 0, 0, 1, 1, 0}, {19, 1, 1, 1, 1, 0},
      {21, 1, 1, 1, 1, 0}, {22, 0, 1, 1, 1, 0},   {27, 0, 1, 1, 1, 0}, {28, 1, 1, 1, 1, 0},
      {33, 1, 1, 1, 1, 0}, {34, 0, 0, 0, 1, 0},   {35, 0, 0, 0, 1, 0}, {36, 1, 1, 1, 1, 0},
      {38, 1, 1, 1, 1, 0}, {39, 0, 1, 1, 1, 0},   {44, 0, 1, 1, 1, 0}, {45, 0, 0, 0, 0, 0},
      {46, 0, 0, 0, 0, 0}, {47, 1, 1, 1, 1, 1},   {49, 1, 1, 1, 1, 1}, {50, 0, 1, 1, 1, 1},
      {52, 0, 1, 1, 1, 1}, {53, 1, 1, 0, 1, 1},   {55, 1, 1, 0, 1, 1}, {56, 0, 0, 1, 1, 1},
      {57, 1, 1, 1, 1, 1}, {58, 0, 0, 1, 1, 1},   {59, 0, 0, 0, 0, 0}, {60, 0, 0, 1, 1, 1},
      {61, 0, 0, 0, 0, 0}, {1000, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(isPtzCameraType(c.type), c.ptz);
    EXPECT_EQ(hasCameraAudioType(c.type), c.audio);
    EXPECT_EQ(hasVideoFormatChoiceType(c.type), c.formatChoice);
    EXPECT_EQ(isCgiCameraType(c.type), c.cgi);
    EXPECT_EQ(prefersRtspType(c.type), c.rtsp);
  }
}

TEST(CameraSettingsTest, DiscoveryFillsTheConnectionFields) {
  CameraSettings camera = configuredCamera();
  camera.voskUse = 1;
  camera.voskHost = "old";
  camera.port = 6001;
  camera.videoFormat = 2;
  camera.muteAudio = 0;
  camera.mrEnable = 1;
  camera.mrSecond = 30;
  fillCameraFromDiscovery(camera,
                          {std::string("Lobby\0pad", 9), {192, 168, 1, 200}, 8080, 57, 3, 1});
  CameraSettings expected = camera;
  expected.voskUse = 0;
  expected.voskHost = "";
  expected.name = "Lobby";
  expected.ip = "192.168.1.200";
  expected.webPort = 8080;
  expected.login = "admin";
  expected.password = "7391";
  expected.type = 57;
  expected.model = 3;
  expected.isPnV = 1;
  expected.videoFormat = 0;
  EXPECT_EQ(camera, expected);
  EXPECT_EQ(camera.port, 6001);

  const std::pair<int, int> types[] = {{35, 35}, {36, 19}, {40, 23}, {44, 27}, {45, 45}};
  for (const auto& [byte, code] : types) {
    fillCameraFromDiscovery(camera,
                            {"c", {10, 0, 0, 1}, 80, static_cast<std::uint8_t>(byte), 0, 0});
    EXPECT_EQ(camera.type, code) << byte;
  }
}

TEST(CameraSettingsTest, ClearingKeepsPortAudioAndMotionSettings) {
  CameraSettings camera = configuredCamera();
  camera.voskUse = 1;
  camera.voskHost = "door";
  camera.port = 6001;
  camera.webPort = 8080;
  camera.type = 20;
  camera.model = 2;
  camera.isPnV = 1;
  camera.videoFormat = 1;
  camera.muteAudio = 0;
  camera.onlyVideo = 1;
  camera.mrEnable = 1;
  camera.mrSecond = 30;
  camera.mrAlarm = 1;
  camera.mrMail = 1;
  camera.restartPending = 1;

  CameraSettings expected;
  expected.port = 6001;
  expected.muteAudio = 0;
  expected.onlyVideo = 1;
  expected.mrEnable = 1;
  expected.mrSecond = 30;
  expected.mrAlarm = 1;
  expected.mrMail = 1;
  expected.restartPending = 1;
  clearCamera(camera);
  EXPECT_EQ(camera, expected);
}

TEST(CameraSettingsTest, ResetRestoresDefaultsAndFreesTheChannelsSchedules) {
  ViewerSettings settings;
  CameraSettings& camera = settings.camera[4];
  camera = configuredCamera();
  camera.port = 6001;
  camera.muteAudio = 0;
  camera.mrSecond = 30;
  camera.needsStop = 1;
  settings.schedule[0] = {.channel = 4, .mode = 1, .beginYear = 2014, .active = 1};
  settings.schedule[9] = {.channel = 4, .mode = 2, .daysOfWeek = 3};
  settings.schedule[10] = {.channel = 5, .mode = 2, .daysOfWeek = 3};
  const ViewerSettings before = settings;

  resetCamera(settings, 4);
  CameraSettings expected;
  expected.needsStop = 1;
  EXPECT_EQ(camera, expected);
  EXPECT_EQ(settings.schedule[0], ScheduleEntry{.active = 1});  // a recording still to stop
  EXPECT_EQ(settings.schedule[9], ScheduleEntry{});
  EXPECT_EQ(settings.schedule[10], before.schedule[10]);

  resetCamera(settings, 16);
  resetCamera(settings, -1);
}

// Tests of the process-wide instances put them back as they found them.
class SharedSettingsTest : public ::testing::Test {
 protected:
  SharedSettingsTest() {
    std::lock_guard lock(settingsMutex());
    live_ = liveSettings();
    edit_ = editSettings();
  }
  ~SharedSettingsTest() override {
    std::lock_guard lock(settingsMutex());
    liveSettings() = live_;
    editSettings() = edit_;
  }

 private:
  ViewerSettings live_;
  ViewerSettings edit_;
};

TEST_F(SharedSettingsTest, ChannelTestsReadTheLiveSettingsOrTheEditCopy) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[5] = configuredCamera();
    liveSettings().camera[5].type = 57;
  }
  copySettingsToEdit();
  {
    std::lock_guard lock(settingsMutex());
    editSettings().camera[5].type = 34;
    editSettings().camera[5].webPort = 0;
  }
  EXPECT_EQ(isCameraConfigured(5, false), 1);
  EXPECT_EQ(isCameraConfigured(5, true), 0);
  EXPECT_TRUE(isPtzCamera(5, false));
  EXPECT_FALSE(isPtzCamera(5, true));
  EXPECT_TRUE(hasCameraAudio(5, false));
  EXPECT_TRUE(hasVideoFormatChoice(5, false));
  EXPECT_FALSE(hasVideoFormatChoice(5, true));
  EXPECT_TRUE(isCgiCamera(5, true));
  EXPECT_TRUE(prefersRtsp(5, false));
  EXPECT_FALSE(prefersRtsp(5, true));
  EXPECT_EQ(cameraSnapshot(5).type, 57);

  for (const int channel : {-1, 16}) {
    EXPECT_EQ(isCameraConfigured(channel, false), 0);
    EXPECT_FALSE(isPtzCamera(channel, false));
    EXPECT_FALSE(hasCameraAudio(channel, true));
    EXPECT_FALSE(hasVideoFormatChoice(channel, false));
    EXPECT_FALSE(isCgiCamera(channel, true));
    EXPECT_FALSE(prefersRtsp(channel, false));
    EXPECT_EQ(cameraSnapshot(channel), CameraSettings{});
  }
}

// The live settings are loaded, saved and reset on one thread while another keeps reading
// them; a lock taken twice hangs here, a missing one shows under ThreadSanitizer.
TEST_F(SharedSettingsTest, ReadersAndWritersOfTheLiveSettingsMeetUnderTheLock) {
  TempDir temp;
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().settingsPath = (temp.path() / "avcln.ini").string();
    liveSettings().camera.fill(configuredCamera());
  }
  std::atomic<bool> done{false};
  std::thread reader([&done] {
    while (!done.load()) {
      const CameraSettings camera = cameraSnapshot(3);
      (void)isCameraConfigured(3, false);
      (void)isPtzCamera(3, true);
      ASSERT_TRUE(camera.name.empty() || camera.name == "Door");
    }
  });
  testing::RecordingViewerUi ui;
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(saveSettings(liveSettings()));
    resetCamera(liveSettings(), 3);
    loadSettings(liveSettings(), &ui);
    copySettingsToEdit();
  }
  done = true;
  reader.join();
  EXPECT_EQ(cameraSnapshot(3).name, "Door");
}

}  // namespace
}  // namespace ipcam
