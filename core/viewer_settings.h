#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/camera_models.h"
#include "core/channel_count.h"

namespace ipcam {

class ViewerUi;

inline constexpr int kScheduleCount = 32;
inline constexpr int kRecPathCount = 3;
inline constexpr int kRecipientCount = 16;

inline constexpr std::string_view kSettingsFolderName = "CORVEL IP Camera Viewer";
inline constexpr std::string_view kSettingsFileName = "avcln.ini";

// Text values are read through a buffer of 255 UTF-16 units, one of them for the terminator,
// so at most 254 survive a load; saving writes at most 255 (a buffer of 256).
inline constexpr std::size_t kSettingsReadBufferUnits = 255;
inline constexpr std::size_t kSettingsWriteMaxUnits = 255;

// One camera slot ("Camera%d"). Field order is the file's key order.
struct CameraSettings {
  std::int32_t voskUse = 0;      // "VOSKUse": 1 when registered with the dynamic-DNS service
  std::string voskHost;          // "VOSKHost"
  std::string name;              // "Name"
  std::string ip;                // "IP": dotted-quad IPv4 text
  std::uint16_t port = 80;       // "Port": AV server port, replaced by the private video port
  std::uint16_t webPort = 80;    // "WebPort": HTTP port (CGI, HTTP and RTSP streaming)
  std::string login;             // "Login"
  std::string password;          // "Password", plain text
  std::int32_t type = 0;         // "Type": model identifier from the firmware
  std::int32_t model = 0;        // "Model": vendor identifier from the firmware
  std::int32_t isPnV = 0;        // "IsPnV": flag taken over from discovery
  std::int32_t videoFormat = 0;  // "DualMode": 0 Motion JPEG, 1 MPEG-4 (or H.264), 2 H.264
  std::int32_t muteAudio = 1;    // "MuteAudio"
  std::int32_t onlyVideo = 0;    // "OnlyVideo": record without audio
  std::int32_t mrEnable = 0;     // "MREnable": motion recording on
  std::int32_t mrSecond = 10;    // "MRSecond": motion recording length
  std::int32_t mrAlarm = 0;      // "MRAlarm"
  std::int32_t mrMail = 0;       // "MRMail"

  // Run-time requests between the camera dialog, the tiles and the connection threads; never
  // stored, and left alone by loading and resetting.
  std::int32_t needsRestart = 0;    // connection settings changed in the dialog
  std::int32_t restartPending = 0;  // the next disconnect reconnects, and quietly
  std::int32_t needsStart = 0;      // newly configured in the dialog
  std::int32_t needsStop = 0;       // no longer configured after the dialog

  bool operator==(const CameraSettings&) const = default;
};

// One of the program's 32 recording schedules ("Record%d"). Field order is the key order.
struct ScheduleEntry {
  std::int32_t channel = -1;  // "ID": 0..15, or -1 for a free entry
  std::int32_t mode = 0;      // "Mode"
  std::int32_t daysOfWeek = 0;
  std::int32_t dayOfMonth = 0;
  std::int32_t beginYear = 0;
  std::int32_t beginMonth = 0;
  std::int32_t beginDay = 0;
  std::int32_t beginHour = 0;
  std::int32_t beginMinute = 0;
  std::int32_t beginSecond = 0;
  std::int32_t endYear = 0;
  std::int32_t endMonth = 0;
  std::int32_t endDay = 0;
  std::int32_t endHour = 0;
  std::int32_t endMinute = 0;
  std::int32_t endSecond = 0;
  std::int32_t active = 0;  // not stored: set while the entry drives a recording

  bool operator==(const ScheduleEntry&) const = default;
};

// Everything in the settings file, plus where that file lies. The member initialisers are the
// defaults a missing file, section or key yields.
struct ViewerSettings {
  std::string settingsPath;    // not stored: the settings file; empty until located
  std::string defaultDataDir;  // not stored: where recordings go without a recording directory
  std::int32_t division = 16;  // "Global"/"Division"; saved as 16 whatever the layout
  std::array<std::string, kRecPathCount> recPath;  // "General"/"RecPath%d"
  std::int32_t scanTime = 3;
  std::int32_t fileSize = 50;
  std::int32_t recCycle = 1;
  std::int32_t recCycleTime = 0;
  std::array<std::string, kRecipientCount> recipient;  // "MotionRecordMail"/"Recipient%d"
  std::string subject;
  std::string sender;
  std::string smtpServer;
  std::int32_t smtpPort = 25;
  std::int32_t smtpAuth = 0;
  std::string smtpAccount;
  std::string smtpPassword;
  std::int32_t smtpSslTls = 0;
  std::int32_t pop3BeforeSmtp = 0;
  std::string pop3Server;
  std::int32_t pop3Port = 110;
  std::string pop3Account;
  std::string pop3Password;
  // "SMTP_Cert_SHA256": the SHA-256 fingerprint of the one mail server certificate the user
  // trusts although no authority vouches for it; empty (or missing) trusts only the system store.
  std::string smtpCertificatePin;
  std::int32_t securityEnable = 0;  // "Security"/"Enable"
  std::string securityPassword;     // "Security"/"Password"
  std::array<CameraSettings, kChannelCount> camera;
  std::array<ScheduleEntry, kScheduleCount> schedule;

  bool operator==(const ViewerSettings&) const = default;
};

// The two process-wide instances: the live settings every part of the program reads, and the
// copy the settings dialogs edit. Both live until process exit and are never destroyed, so a
// worker thread abandoned at shutdown can still read them.
//
// Locking: settingsMutex() guards both instances. A thread that writes a field of either takes
// it; a thread that reads copies what it needs under it (cameraSnapshot does that for one
// camera). The functions below that take a ViewerSettings& lock it themselves when, and only
// when, they are handed liveSettings() or editSettings(); on any other object they lock
// nothing. So never call them while holding settingsMutex(): it is not recursive. Message
// boxes and the main window's scan interval are called after the lock is released.
ViewerSettings& liveSettings();
ViewerSettings& editSettings();
std::mutex& settingsMutex();

// A copy of one live camera taken under the lock; defaults for a channel outside 0..15.
CameraSettings cameraSnapshot(int channel);

// Where locateSettings looks. platformSettingsFolders() asks the platform.
struct SettingsFolders {
  std::optional<std::filesystem::path> applicationData;
  std::optional<std::filesystem::path> documents;
  std::filesystem::path current;
};
SettingsFolders platformSettingsFolders();

// Fills settingsPath ("<application data>/CORVEL IP Camera Viewer/avcln.ini", creating the
// folder) and defaultDataDir (the documents folder). Without an application-data folder the
// current folder takes its place. Without a documents folder the current folder becomes the
// data folder too, and `ui` (when not null) shows `defaultDirErrorText`, the looked-up
// "Message_DefaultDirError" text.
void locateSettings(ViewerSettings& settings, ViewerUi* ui, std::string_view defaultDirErrorText);
void locateSettings(ViewerSettings& settings, const SettingsFolders& folders, ViewerUi* ui,
                    std::string_view defaultDirErrorText);

// Reads every key of the file at settingsPath; whatever is missing or unreadable takes its
// default. Clears every schedule's `active`, keeps the cameras' run-time integers and the two
// paths, and hands "ScanTime" to ui->setScanInterval when `ui` is not null.
void loadSettings(ViewerSettings& settings, ViewerUi* ui);

// Writes every key to the file at settingsPath, creating it as UTF-16LE when it is missing,
// and sets `division` to 16 first. False when nothing could be written, or when no settings
// path is known yet.
bool saveSettings(ViewerSettings& settings);

// editSettings() = liveSettings(), every field.
void copySettingsToEdit();

// Every stored field of the camera back to its default, and every schedule of the channel
// freed. The camera's run-time integers stay. Does nothing for a channel outside 0..15.
void resetCamera(ViewerSettings& settings, int channel);

// Makes a schedule entry free in place: channel -1, mode to endSecond 0. `active` stays, so a
// schedule thread still finds the recording an entry deleted under it had started.
void freeScheduleEntry(ScheduleEntry& entry);

// 0: not configured; 1: configured by address; 2: configured through the dynamic-DNS host.
// Channels outside 0..15 give 0.
int isCameraConfigured(const CameraSettings& camera);
int isCameraConfigured(const ViewerSettings& settings, int channel);
int isCameraConfigured(int channel, bool useEditCopy);

// The camera-type families (core/camera_models.h) for a channel of the live settings or the
// edit copy (false outside 0..15).
bool isPtzCamera(int channel, bool useEditCopy);
bool hasCameraAudio(int channel, bool useEditCopy);
bool hasVideoFormatChoice(int channel, bool useEditCopy);
bool isCgiCamera(int channel, bool useEditCopy);
bool prefersRtsp(int channel, bool useEditCopy);

// A camera found on the local network.
struct DiscoveredDevice {
  std::string name;
  std::array<std::uint8_t, 4> address;
  std::uint16_t port;
  std::uint8_t type;
  std::uint8_t model;
  std::int32_t isPnV;
};

// The camera page applying a discovered camera to a slot: connection fields from the device,
// the factory credentials, the Motion JPEG format. `port` and the audio and motion settings
// stay as they were.
void fillCameraFromDiscovery(CameraSettings& camera, const DiscoveredDevice& device);

// The camera page's reset button: connection fields cleared, web port 80. `port` and the
// audio and motion settings stay as they were.
void clearCamera(CameraSettings& camera);

}  // namespace ipcam
