#include "core/viewer_settings.h"

#include <memory>
#include <system_error>
#include <utility>

#include "core/viewer_ui.h"
#include "platform/folders.h"
#include "platform/private_files.h"
#include "platform/profile_file.h"
#include "platform/text_encoding.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using platform::ProfileFile;

constexpr std::uint16_t kDefaultPort = 80;

// Serialises whole saves: each one reads the file, changes it and puts it back, so two saves
// at once would lose one's changes.
std::mutex& settingsFileMutex() {
  static std::mutex* const mutex = std::make_unique<std::mutex>().release();
  return *mutex;
}

std::unique_lock<std::mutex> lockIfShared(const ViewerSettings& settings) {
  if (&settings == &liveSettings() || &settings == &editSettings()) {
    return std::unique_lock<std::mutex>(settingsMutex());
  }
  return {};
}

bool validChannel(int channel) {
  return channel >= 0 && channel < kChannelCount;
}

std::string numbered(std::string_view name, int index) {
  return std::string(name) + std::to_string(index);
}

// Every stored value in the order of the file, as (section, key, field). Loading and saving
// both walk this one list, so they cannot disagree about a key or its place.
template <typename Settings, typename Visit>
void forEachStoredValue(Settings& s, Visit&& visit) {
  visit("Global", "Division", s.division);

  for (int i = 0; i < kRecPathCount; ++i) visit("General", numbered("RecPath", i), s.recPath[i]);
  visit("General", "ScanTime", s.scanTime);
  visit("General", "FileSize", s.fileSize);
  visit("General", "RecCycle", s.recCycle);
  visit("General", "RecCycleTime", s.recCycleTime);

  constexpr std::string_view kMail = "MotionRecordMail";
  for (int i = 0; i < kRecipientCount; ++i) visit(kMail, numbered("Recipient", i), s.recipient[i]);
  visit(kMail, "Subject", s.subject);
  visit(kMail, "Sender", s.sender);
  visit(kMail, "SMTP_Server", s.smtpServer);
  visit(kMail, "SMTP_Port", s.smtpPort);
  visit(kMail, "SMTP_Auth", s.smtpAuth);
  visit(kMail, "SMTP_Account", s.smtpAccount);
  visit(kMail, "SMTP_Password", s.smtpPassword);
  visit(kMail, "SMTP_SSL_TLS", s.smtpSslTls);
  visit(kMail, "POP3_Before_SMTP", s.pop3BeforeSmtp);
  visit(kMail, "POP3_Server", s.pop3Server);
  visit(kMail, "POP3_Port", s.pop3Port);
  visit(kMail, "POP3_Account", s.pop3Account);
  visit(kMail, "POP3_Password", s.pop3Password);
  visit(kMail, "SMTP_Cert_SHA256", s.smtpCertificatePin);

  visit("Security", "Enable", s.securityEnable);
  visit("Security", "Password", s.securityPassword);

  for (int i = 0; i < kChannelCount; ++i) {
    const std::string section = numbered("Camera", i);
    auto& c = s.camera[i];
    visit(section, "VOSKUse", c.voskUse);
    visit(section, "VOSKHost", c.voskHost);
    visit(section, "Name", c.name);
    visit(section, "IP", c.ip);
    visit(section, "Port", c.port);
    visit(section, "WebPort", c.webPort);
    visit(section, "Login", c.login);
    visit(section, "Password", c.password);
    visit(section, "Type", c.type);
    visit(section, "Model", c.model);
    visit(section, "IsPnV", c.isPnV);
    visit(section, "DualMode", c.videoFormat);
    visit(section, "MuteAudio", c.muteAudio);
    visit(section, "OnlyVideo", c.onlyVideo);
    visit(section, "MREnable", c.mrEnable);
    visit(section, "MRSecond", c.mrSecond);
    visit(section, "MRAlarm", c.mrAlarm);
    visit(section, "MRMail", c.mrMail);
  }

  for (int i = 0; i < kScheduleCount; ++i) {
    const std::string section = numbered("Record", i);
    auto& e = s.schedule[i];
    visit(section, "ID", e.channel);
    visit(section, "Mode", e.mode);
    visit(section, "DOW", e.daysOfWeek);
    visit(section, "DOM", e.dayOfMonth);
    visit(section, "Beg_Yea", e.beginYear);
    visit(section, "Beg_Mon", e.beginMonth);
    visit(section, "Beg_Day", e.beginDay);
    visit(section, "Beg_Hou", e.beginHour);
    visit(section, "Beg_Min", e.beginMinute);
    visit(section, "Beg_Sec", e.beginSecond);
    visit(section, "End_Yea", e.endYear);
    visit(section, "End_Mon", e.endMonth);
    visit(section, "End_Day", e.endDay);
    visit(section, "End_Hou", e.endHour);
    visit(section, "End_Min", e.endMinute);
    visit(section, "End_Sec", e.endSecond);
  }
}

// Reads each value over a field that still holds its default.
struct ValueReader {
  const ProfileFile& profile;

  void operator()(std::string_view section, std::string_view key, std::int32_t& value) const {
    value = profile.getInt(section, key, value);
  }
  // A port outside 0..65535 is a hand-edited mistake; wrapping it into 16 bits would turn it
  // into some other real port, so it falls back to the default instead.
  void operator()(std::string_view section, std::string_view key, std::uint16_t& value) const {
    const int number = profile.getInt(section, key, value);
    if (number >= 0 && number <= 0xFFFF) value = static_cast<std::uint16_t>(number);
  }
  void operator()(std::string_view section, std::string_view key, std::string& value) const {
    value = profile.getString(section, key, value, kSettingsReadBufferUnits);
  }
};

struct ValueWriter {
  ProfileFile& profile;

  void operator()(std::string_view section, std::string_view key, const std::int32_t& value) const {
    profile.writeString(section, key, std::to_string(value));
  }
  void operator()(std::string_view section, std::string_view key,
                  const std::uint16_t& value) const {
    profile.writeString(section, key, std::to_string(static_cast<unsigned>(value)));
  }
  // The write buffer holds 256 units with the terminator; a longer value is cut rather than
  // lost, and the next load cuts it once more to what the read buffer holds.
  void operator()(std::string_view section, std::string_view key, const std::string& value) const {
    profile.writeString(section, key,
                        platform::truncateToUtf16Units(value, kSettingsWriteMaxUnits));
  }
};

ViewerSettings readSettings(const ProfileFile& profile) {
  ViewerSettings loaded;
  forEachStoredValue(loaded, ValueReader{profile});
  // The schedule threads index channel tables by this number: anything but a channel or -1
  // makes the entry free.
  for (ScheduleEntry& entry : loaded.schedule) {
    if (entry.channel != -1 && !validChannel(entry.channel)) entry.channel = -1;
  }
  return loaded;
}

// The file starts as nothing but the UTF-16LE mark, so that every key goes in as wide text.
// An empty file (a save cut short) is treated the same way.
bool prepareSettingsFile(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  if (!error && size > 0) return true;
  static constexpr std::string_view kMark = "\xFF\xFE";
  return platform::replaceFilePrivately(file, kMark, false) == platform::ReplaceResult::Written;
}

// Whoever may write into the folder can swap the file for one of their own and read the
// passwords of the next save, so a folder that is not ours alone gets no passwords.
bool settingsFolderIsPrivate(const fs::path& folder) {
  switch (platform::keepFolderPrivate(folder.empty() ? fs::path(".") : folder)) {
    case platform::FolderPrivacy::Private:
      return true;
    case platform::FolderPrivacy::Tightened:
      platform::trace("Settings: %s was writable by others; now only its owner may use it",
                      folder.c_str());
      return true;
    case platform::FolderPrivacy::NotOurs:
      platform::trace("Settings: %s belongs to another user; the settings are not saved there",
                      folder.c_str());
      return false;
    case platform::FolderPrivacy::Missing:
      break;
  }
  return false;
}

std::optional<int> cameraType(int channel, bool useEditCopy) {
  if (!validChannel(channel)) return std::nullopt;
  std::lock_guard lock(settingsMutex());
  return (useEditCopy ? editSettings() : liveSettings()).camera[channel].type;
}

}  // namespace

ViewerSettings& liveSettings() {
  // Never destroyed: a worker abandoned at shutdown may still read it.
  static ViewerSettings* const settings = std::make_unique<ViewerSettings>().release();
  return *settings;
}

ViewerSettings& editSettings() {
  static ViewerSettings* const settings = std::make_unique<ViewerSettings>().release();
  return *settings;
}

std::mutex& settingsMutex() {
  static std::mutex* const mutex = std::make_unique<std::mutex>().release();
  return *mutex;
}

CameraSettings cameraSnapshot(int channel) {
  if (!validChannel(channel)) return {};
  std::lock_guard lock(settingsMutex());
  return liveSettings().camera[channel];
}

SettingsFolders platformSettingsFolders() {
  SettingsFolders folders;
  folders.applicationData = platform::applicationDataFolder();
  folders.documents = platform::documentsFolder();
  std::error_code error;
  folders.current = fs::current_path(error);
  if (error) folders.current = ".";
  return folders;
}

void locateSettings(ViewerSettings& settings, ViewerUi* ui, std::string_view defaultDirErrorText) {
  locateSettings(settings, platformSettingsFolders(), ui, defaultDirErrorText);
}

void locateSettings(ViewerSettings& settings, const SettingsFolders& folders, ViewerUi* ui,
                    std::string_view defaultDirErrorText) {
  const fs::path folder =
      folders.applicationData.value_or(folders.current) / fs::path(kSettingsFolderName);
  // A fresh account may not have the application-data folder itself yet. A folder that cannot
  // be made shows up later as a failed save.
  platform::createPrivateFolders(folder);
  const fs::path dataDir = folders.documents.value_or(folders.current);
  {
    auto lock = lockIfShared(settings);
    settings.settingsPath = (folder / fs::path(kSettingsFileName)).string();
    settings.defaultDataDir = dataDir.string();
  }
  if (!folders.documents && ui != nullptr) {
    ui->messageBox(std::string(defaultDirErrorText), kDefaultMessageTitle);
  }
}

void loadSettings(ViewerSettings& settings, ViewerUi* ui) {
  std::string path;
  {
    auto lock = lockIfShared(settings);
    path = settings.settingsPath;
  }
  ViewerSettings loaded =
      readSettings(path.empty() ? ProfileFile{} : ProfileFile::load(fs::path(path)));
  const int scanTime = loaded.scanTime;
  {
    auto lock = lockIfShared(settings);
    loaded.settingsPath = std::move(settings.settingsPath);
    loaded.defaultDataDir = std::move(settings.defaultDataDir);
    for (int i = 0; i < kChannelCount; ++i) {
      const CameraSettings& was = settings.camera[i];
      CameraSettings& now = loaded.camera[i];
      now.needsRestart = was.needsRestart;
      now.restartPending = was.restartPending;
      now.needsStart = was.needsStart;
      now.needsStop = was.needsStop;
    }
    settings = std::move(loaded);
  }
  if (ui != nullptr) ui->setScanInterval(scanTime);
}

bool saveSettings(ViewerSettings& settings) {
  ViewerSettings snapshot;
  {
    auto lock = lockIfShared(settings);
    if (settings.settingsPath.empty()) return false;
    // The layout always starts with 16 tiles; whatever the user chose is not kept.
    settings.division = 16;
    snapshot = settings;
  }
  const fs::path file(snapshot.settingsPath);
  std::lock_guard fileLock(settingsFileMutex());
  if (!settingsFolderIsPrivate(file.parent_path()) || !prepareSettingsFile(file)) return false;
  ProfileFile profile = ProfileFile::load(file);
  forEachStoredValue(std::as_const(snapshot), ValueWriter{profile});
  return profile.save(file);
}

void copySettingsToEdit() {
  std::lock_guard lock(settingsMutex());
  editSettings() = liveSettings();
}

void freeScheduleEntry(ScheduleEntry& entry) {
  const std::int32_t active = entry.active;
  entry = ScheduleEntry{};
  entry.active = active;
}

void resetCamera(ViewerSettings& settings, int channel) {
  if (!validChannel(channel)) return;
  auto lock = lockIfShared(settings);
  CameraSettings& camera = settings.camera[channel];
  CameraSettings fresh;
  fresh.needsRestart = camera.needsRestart;
  fresh.restartPending = camera.restartPending;
  fresh.needsStart = camera.needsStart;
  fresh.needsStop = camera.needsStop;
  camera = std::move(fresh);
  for (ScheduleEntry& entry : settings.schedule) {
    if (entry.channel == channel) freeScheduleEntry(entry);
  }
}

int isCameraConfigured(const CameraSettings& camera) {
  if (camera.voskUse == 1) {
    const bool complete = !camera.voskHost.empty() && !camera.name.empty() &&
                          !camera.login.empty() && !camera.password.empty();
    return complete ? 2 : 0;
  }
  if (camera.voskUse == 0) {
    const bool complete = !camera.name.empty() && !camera.login.empty() &&
                          !camera.password.empty() && !camera.ip.empty() && camera.webPort != 0;
    return complete ? 1 : 0;
  }
  return 0;
}

int isCameraConfigured(const ViewerSettings& settings, int channel) {
  if (!validChannel(channel)) return 0;
  auto lock = lockIfShared(settings);
  return isCameraConfigured(settings.camera[channel]);
}

int isCameraConfigured(int channel, bool useEditCopy) {
  return isCameraConfigured(useEditCopy ? editSettings() : liveSettings(), channel);
}

bool isPtzCamera(int channel, bool useEditCopy) {
  const auto type = cameraType(channel, useEditCopy);
  return type && isPtzCameraType(*type);
}

bool hasCameraAudio(int channel, bool useEditCopy) {
  const auto type = cameraType(channel, useEditCopy);
  return type && hasCameraAudioType(*type);
}

bool hasVideoFormatChoice(int channel, bool useEditCopy) {
  const auto type = cameraType(channel, useEditCopy);
  return type && hasVideoFormatChoiceType(*type);
}

bool isCgiCamera(int channel, bool useEditCopy) {
  const auto type = cameraType(channel, useEditCopy);
  return type && isCgiCameraType(*type);
}

bool prefersRtsp(int channel, bool useEditCopy) {
  const auto type = cameraType(channel, useEditCopy);
  return type && prefersRtspType(*type);
}

void fillCameraFromDiscovery(CameraSettings& camera, const DiscoveredDevice& device) {
  camera.voskUse = 0;
  camera.voskHost.clear();
  // The device sends a C string; anything after a NUL is padding.
  const std::string_view name = std::string_view(device.name).substr(0, device.name.find('\0'));
  camera.name = platform::sanitizeUtf8(name);
  camera.ip = std::to_string(device.address[0]) + "." + std::to_string(device.address[1]) + "." +
              std::to_string(device.address[2]) + "." + std::to_string(device.address[3]);
  camera.webPort = device.port;
  camera.login = "admin";
  camera.password = "7391";
  // Discovery names some models by the code of their older firmware.
  camera.type = currentTypeCode(device.type);
  camera.model = device.model;
  camera.isPnV = device.isPnV;
  camera.videoFormat = 0;
}

void clearCamera(CameraSettings& camera) {
  camera.voskUse = 0;
  camera.voskHost.clear();
  camera.name.clear();
  camera.ip.clear();
  camera.login.clear();
  camera.password.clear();
  camera.webPort = kDefaultPort;
  camera.type = 0;
  camera.model = 0;
  camera.isPnV = 0;
  camera.videoFormat = 0;
}

}  // namespace ipcam
