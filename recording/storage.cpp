#include "recording/storage.h"

#include <filesystem>
#include <system_error>

#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/folders.h"
#include "platform/run_wait.h"

namespace ipcam {
namespace {

constexpr unsigned long long kBytesPerMegabyte = 1048576;

ViewerSettings liveSettingsCopy() {
  std::lock_guard lock(settingsMutex());
  return liveSettings();
}

}  // namespace

void prepareLiveRecordDirs(ViewerUi* ui) {
  std::array<std::string, 3> recPaths;
  {
    std::lock_guard lock(settingsMutex());
    ViewerSettings& settings = liveSettings();
    if (settings.recPath[0].empty()) settings.recPath[0] = settings.defaultDataDir;
    recPaths = settings.recPath;
  }
  prepareRecordDirs(recPaths, ui);
}

void prepareRecordDirs(const std::array<std::string, 3>& recPaths, ViewerUi* ui) {
  for (const std::string& entry : recPaths) {
    if (entry.empty()) continue;
    const std::filesystem::path dir(entry);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!std::filesystem::is_directory(dir, error)) {
      if (ui != nullptr) {
        ui->messageBox(
            entry + "\n\n" + CMultiLanguage::instance().text("ErrorMessage", "Cant_Create_Dir"),
            kDefaultMessageTitle);
      }
      return;
    }
    const std::filesystem::path data = dir / "Data";
    for (int camera = 1; camera <= kChannelCount; ++camera) {
      const std::string folder = "Camera " + std::to_string(camera);
      std::filesystem::create_directories(data / "Record" / folder, error);
      std::filesystem::create_directories(data / "Snapshot" / folder, error);
    }
  }
}

int chooseRecordDir(const ViewerSettings& settings) {
  const unsigned long long neededMegabytes =
      16ULL * static_cast<unsigned long long>(std::max(settings.fileSize, 0));
  for (int index = 0; index < static_cast<int>(settings.recPath.size()); ++index) {
    const std::string& entry = settings.recPath[static_cast<std::size_t>(index)];
    if (entry.empty()) continue;
    const auto free = platform::freeBytes(entry);
    if (free && *free / kBytesPerMegabyte > neededMegabytes) return index;
  }
  return -1;
}

void storageMonitorPass(ViewerUi* ui) {
  AppState& state = appState();
  const int dir = chooseRecordDir(liveSettingsCopy());
  state.currentRecordDir.store(dir);
  if (dir != -1) {
    state.spaceFullShown.store(false);
  } else if (!state.spaceFullShown.exchange(true) && ui != nullptr) {
    ui->messageBox(CMultiLanguage::instance().text("MessageBox", "Message_RecordingSpaceFull"),
                   kDefaultMessageTitle);
  }
}

void startStorageMonitor() {
  AppState& state = appState();
  state.storageMonitor.start(state.storageMonitorRunning, [&state](const platform::ThreadRun& run) {
    while (run.running()) {
      storageMonitorPass(state.ui.load());
      platform::sleepWhileRunning(run.flag(), std::chrono::milliseconds(1000));
    }
  });
}

void stopStorageMonitor() {
  appState().storageMonitor.stop();
}

}  // namespace ipcam
