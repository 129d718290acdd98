#include "recording/storage.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <tuple>

#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/folders.h"
#include "platform/private_files.h"
#include "platform/run_wait.h"
#include "platform/thread_slot.h"
#include "recording/channel_recorder.h"
#include "recording/record_names.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

constexpr unsigned long long kBytesPerMegabyte = 1048576;
constexpr unsigned long long kRoomInRecordingFiles = 16;
constexpr auto kSecondsPerDay = std::chrono::seconds(86400);

ViewerSettings liveSettingsCopy() {
  std::lock_guard lock(settingsMutex());
  return liveSettings();
}

// A folder itself, not a link to one: the cleaner stays inside the program's own tree.
bool realDirectory(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() == fs::file_type::directory;
}

fs::path canonicalOrSame(const fs::path& path) {
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(path, error);
  return error ? path.lexically_normal() : canonical;
}

// The recorders' open files, each as the one path it has however it was named.
std::vector<fs::path> canonicalOpenFiles(const StorageProbes& probes) {
  std::vector<fs::path> files;
  if (probes.openFiles) {
    for (const fs::path& open : probes.openFiles()) {
      if (!open.empty()) files.push_back(canonicalOrSame(open));
    }
  }
  return files;
}

bool contains(const std::vector<fs::path>& files, const fs::path& path) {
  return std::find(files.begin(), files.end(), path) != files.end();
}

struct Candidate {
  std::chrono::seconds writeTime;  // since the file clock's epoch, to the second
  fs::path path;                   // canonical
};

// Every recording of the configured directories that is old enough and not open, oldest first.
std::vector<Candidate> collectCandidates(const ViewerSettings& settings,
                                         const StorageProbes& probes) {
  const fs::file_time_type now = probes.now ? probes.now() : fs::file_time_type::clock::now();
  // Compared in seconds, so that no number of days can overflow the file clock. With
  // "AnyTime" (0) every recording qualifies, even one stamped in the future.
  const long long minimumAge =
      std::max(settings.recCycleTime, 0) * static_cast<long long>(kSecondsPerDay.count());
  const std::vector<fs::path> openFiles = canonicalOpenFiles(probes);
  std::vector<Candidate> candidates;
  for (const std::string& entry : settings.recPath) {
    if (entry.empty()) continue;
    for (int channel = 0; channel < kChannelCount; ++channel) {
      // The camera folder, the record folder and the data folder must all be folders.
      const fs::path folder = recordFolder(entry, channel);
      const fs::path record = folder.parent_path();
      if (!realDirectory(record.parent_path()) || !realDirectory(record) ||
          !realDirectory(folder)) {
        continue;
      }
      std::error_code error;
      for (fs::directory_iterator it(folder, error), end; !error && it != end;
           it.increment(error)) {
        const fs::directory_entry& file = *it;
        std::error_code statusError;
        if (file.symlink_status(statusError).type() != fs::file_type::regular) continue;
        if (!isRecordingFileName(file.path().filename().string())) continue;
        std::error_code timeError;
        const fs::file_time_type written = file.last_write_time(timeError);
        if (timeError) continue;
        // A file stamped in the future is young; only then is the age taken, so the
        // difference cannot overflow.
        if (minimumAge > 0 &&
            (written > now ||
             std::chrono::floor<std::chrono::seconds>(now - written).count() < minimumAge)) {
          continue;
        }
        const fs::path path = canonicalOrSame(file.path());
        if (contains(openFiles, path)) continue;
        candidates.push_back(
            {std::chrono::floor<std::chrono::seconds>(written.time_since_epoch()), path});
      }
    }
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return std::tie(a.writeTime, a.path) < std::tie(b.writeTime, b.path);
  });
  return candidates;
}

// The space-full box waits for the user on a thread of its own; one at a time.
platform::ThreadSlot& spaceFullBoxSlot() {
  static auto* const slot = std::make_unique<platform::ThreadSlot>().release();
  return *slot;
}

platform::ThreadSlot::RunFlag& spaceFullBoxRunning() {
  static auto* const flag = std::make_unique<platform::ThreadSlot::RunFlag>(0).release();
  return *flag;
}

// False while the box of an earlier stretch is still open: this stretch's box then comes
// once the user has closed that one.
bool showSpaceFullBox(ViewerUi* ui) {
  if (ui == nullptr) return true;
  if (spaceFullBoxSlot().running()) return false;
  std::string text = CMultiLanguage::instance().text("MessageBox", "Message_RecordingSpaceFull");
  return spaceFullBoxSlot().start(
      spaceFullBoxRunning(),
      [ui, text = std::move(text)](const platform::ThreadRun&) {
        ui->messageBox(text, kDefaultMessageTitle);
      },
      "space full");
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
    const fs::path dir(entry);
    if (!platform::createPrivateFolders(dir)) {
      if (ui != nullptr) {
        ui->messageBox(
            entry + "\n\n" + CMultiLanguage::instance().text("ErrorMessage", "Cant_Create_Dir"),
            kDefaultMessageTitle);
      }
      return;
    }
    for (int channel = 0; channel < kChannelCount; ++channel) {
      const fs::path records = recordFolder(entry, channel);
      platform::createPrivateFolders(records);
      // Snapshots sit beside the recordings, in a folder of the same camera name.
      platform::createPrivateFolders(records.parent_path().parent_path() / "Snapshot" /
                                     records.filename());
    }
  }
}

StorageProbes platformStorageProbes() {
  return StorageProbes{
      [](const fs::path& dir) { return platform::freeBytes(dir); },
      [] { return openRecordingFiles(); },
      [] { return fs::file_time_type::clock::now(); },
  };
}

int chooseRecordDir(const ViewerSettings& settings) {
  return chooseRecordDir(settings, platformStorageProbes());
}

int chooseRecordDir(const ViewerSettings& settings, const StorageProbes& probes) {
  const unsigned long long neededMegabytes =
      kRoomInRecordingFiles * static_cast<unsigned long long>(std::max(settings.fileSize, 0));
  for (int index = 0; index < static_cast<int>(settings.recPath.size()); ++index) {
    const std::string& entry = settings.recPath[static_cast<std::size_t>(index)];
    if (entry.empty()) continue;
    const auto free = probes.freeSpace ? probes.freeSpace(entry) : std::nullopt;
    if (free && *free / kBytesPerMegabyte > neededMegabytes) return index;
  }
  return -1;
}

bool isRecordingFileName(std::string_view name) {
  const std::optional<RecordingName> parsed = parseRecordingName(name);
  return parsed && parsed->ours;
}

int cycleStorage(const ViewerSettings& settings, const StorageProbes& probes) {
  int choice = chooseRecordDir(settings, probes);
  if (settings.recCycle <= 0 || choice != -1) return choice;

  const bool anyTime = settings.recCycleTime <= 0;
  for (const Candidate& candidate : collectCandidates(settings, probes)) {
    // Asked again just before the deletion: a recorder may have opened this very name since.
    if (contains(canonicalOpenFiles(probes), candidate.path)) continue;
    std::error_code error;
    if (!fs::remove(candidate.path, error) || error) continue;  // skipped: in use, read-only
    if (anyTime) {
      choice = chooseRecordDir(settings, probes);
      if (choice != -1) return choice;
    }
  }
  // After a deletion by age the directories are asked once more, so that room that was made
  // is used at once instead of being reported as full for a pass.
  return anyTime ? choice : chooseRecordDir(settings, probes);
}

std::vector<fs::path> openRecordingFiles() {
  std::vector<fs::path> files;
  for (const ChannelRecord& record : channelRecords()) {
    for (const auto& sink :
         {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
      if (const ChannelRecorder* recorder = asRecorder(sink)) {
        std::string file = recorder->currentFile();
        if (!file.empty()) files.emplace_back(std::move(file));
      }
    }
  }
  return files;
}

void storageMonitorPass(ViewerUi* ui) {
  storageMonitorPass(ui, liveSettingsCopy(), platformStorageProbes());
}

void storageMonitorPass(ViewerUi* ui, const ViewerSettings& settings, const StorageProbes& probes) {
  AppState& state = appState();
  const int dir = cycleStorage(settings, probes);
  state.currentRecordDir.store(dir);
  if (dir != -1) {
    state.spaceFullShown.store(false);
  } else if (!state.spaceFullShown.load() && showSpaceFullBox(ui)) {
    state.spaceFullShown.store(true);
  }
}

void startStorageMonitor() {
  AppState& state = appState();
  state.storageMonitor.start(
      state.storageMonitorRunning,
      [&state](const platform::ThreadRun& run) {
        while (run.running()) {
          storageMonitorPass(state.ui.load());
          platform::sleepWhileRunning(run.flag(), std::chrono::milliseconds(1000));
        }
      },
      "storage");
}

void stopStorageMonitor() {
  appState().storageMonitor.stop();
  spaceFullBoxSlot().stop();
}

}  // namespace ipcam
