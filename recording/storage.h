#pragma once

#include <array>
#include <string>

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

// The first directory whose file system has more than 16 recording files' worth of room,
// or -1.
int chooseRecordDir(const ViewerSettings& settings);

// One pass of the storage monitor: picks the current directory and shows
// "Message_RecordingSpaceFull" once per stretch of full disks (the message blocks this thread
// until the user closes it).
void storageMonitorPass(ViewerUi* ui);

// Starts and stops the storage monitor thread (once a second).
void startStorageMonitor();
void stopStorageMonitor();

}  // namespace ipcam
