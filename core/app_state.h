#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/thread_slot.h"

namespace ipcam {

class ViewerUi;

// Process-wide state of the program. Lives until process exit.
struct AppState {
  // The main window: set first thing at start-up, cleared when it goes away.
  std::atomic<ViewerUi*> ui{nullptr};
  // Cleared when a channel's audio player finds no sound device; the message is shown once.
  std::atomic<bool> soundAvailable{true};
  // Tiles of the current layout; 16 at load, so start-up sets up every channel.
  std::atomic<std::int32_t> visibleTileCount{16};
  // Recording directory index for new recordings and snapshots, -1 when none has room.
  std::atomic<std::int32_t> currentRecordDir{-1};
  // The storage monitor has shown the space-full message and not yet seen room again.
  std::atomic<bool> spaceFullShown{false};
  // A recorder found no recording directory and said so; cleared when the general settings
  // are confirmed, and when a recorder whose starts failed starts a file again.
  std::atomic<bool> recorderSpaceFullShown{false};
  // A recorder could not create its file and said so; cleared when a recorder whose starts
  // failed starts a file again, so each stretch of failures is said once.
  std::atomic<bool> recorderPathErrorShown{false};
  // Manual recording is on: the main window shows the stop-record button instead of start.
  std::atomic<bool> recordingOn{false};

  // The program is on its way out: no channel thread is started any more.
  std::atomic<bool> shuttingDown{false};

  platform::ThreadSlot storageMonitor;  // user-interface thread only
  platform::ThreadSlot::RunFlag storageMonitorRunning{0};
};

AppState& appState();

// "v%d.%d.%d.%d" from the program's version.
std::string versionText();

// The main window refuses screens smaller than this.
inline constexpr int kMinimumScreenWidth = 1024;
inline constexpr int kMinimumScreenHeight = 768;
inline constexpr const char* kScreenTooSmallText =
    "Please adjust the monitor resolution to 1024x768 above then restart the viewer.";
bool screenLargeEnough(int width, int height);

}  // namespace ipcam
