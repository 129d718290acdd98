#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

struct ViewerSettings;
class ViewerUi;

// Builds Data/, Data/Record/, Data/Snapshot/ and the 32 camera folders in every configured
// recording directory. A directory that cannot be made is reported with its path and
// "Cant_Create_Dir"; the later ones are then skipped.
void prepareRecordDirs(const std::array<std::string, 3>& recPaths, ViewerUi* ui);
// The same for the live settings, whose empty first entry first becomes the default data
// folder.
void prepareLiveRecordDirs(ViewerUi* ui);

// What the storage rules ask of the system, so that a test can stand in for a full disk or a
// recorder's open file.
struct StorageProbes {
  // Free bytes of the file system holding a directory; nothing when it reports none.
  std::function<std::optional<unsigned long long>(const std::filesystem::path&)> freeSpace;
  // The files the recorders have open now, as they name them.
  std::function<std::vector<std::filesystem::path>()> openFiles;
  // The clock the file times are compared with.
  std::function<std::filesystem::file_time_type()> now;
};
// statvfs, every recorder of every channel, the system clock.
StorageProbes platformStorageProbes();

// The first directory whose file system has more than 16 recording files' worth of room,
// or -1.
int chooseRecordDir(const ViewerSettings& settings);
int chooseRecordDir(const ViewerSettings& settings, const StorageProbes& probes);

// A name the recorders give their files: "Manual", "Schedule" or "Motion", then
// "_%d-%02d-%02d_%02d-%02d-%02d.avi" of the start time.
bool isRecordingFileName(std::string_view name);

// The cleaning pass: the directory new recordings go to, or -1. With every directory short of
// room and cycle recording on, it deletes old recordings, oldest first: with "AnyTime" until a
// directory has room, with a number of days every recording older than that. Only the
// program's own recordings are touched: regular files with a recording's name directly in a
// "Data/Record/Camera n" folder of a configured directory, never a file a recorder of any
// channel has open. A file that cannot be deleted is skipped.
int cycleStorage(const ViewerSettings& settings, const StorageProbes& probes);

// The files every channel's three recorders are writing.
std::vector<std::filesystem::path> openRecordingFiles();

// One pass of the storage monitor: cleans, sets the current directory and, once per stretch
// of full disks, shows "Message_RecordingSpaceFull". The box is shown on a thread of its own,
// so the passes go on (and the current directory follows the disks) while it is open.
void storageMonitorPass(ViewerUi* ui);
void storageMonitorPass(ViewerUi* ui, const ViewerSettings& settings, const StorageProbes& probes);

// Starts and stops the storage monitor thread (once a second). Stopping also gives up a
// space-full box that is still open.
void startStorageMonitor();
void stopStorageMonitor();

}  // namespace ipcam
