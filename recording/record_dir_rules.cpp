#include "recording/record_dir_rules.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "platform/folders.h"
#include "recording/channel_recorder.h"
#include "recording/storage.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

constexpr unsigned long long kBytesPerMegabyte = 1048576;

// The directory itself, or the nearest folder above it that exists: where it would be made.
fs::path existingAncestor(const fs::path& dir) {
  fs::path path = fs::absolute(dir).lexically_normal();
  std::error_code error;
  while (!fs::exists(path, error) && path.has_relative_path()) path = path.parent_path();
  return path;
}

}  // namespace

bool anyRecorderRecording() {
  for (const ChannelRecord& record : channelRecords()) {
    for (const auto& sink :
         {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
      if (sink && sink->recording()) return true;
    }
  }
  return false;
}

int recordDirSlotOfLine(const RecordDirs& dirs, int line) {
  if (line < 0) return -1;
  for (int slot = 0; slot < kRecPathCount; ++slot) {
    if (dirs[static_cast<std::size_t>(slot)].empty()) continue;
    if (line-- == 0) return slot;
  }
  return -1;
}

unsigned long long recordDirFreeMegabytes(const std::string& dir) {
  std::error_code error;
  if (dir.empty() || !fs::is_directory(dir, error)) return 0;
  const auto free = platform::freeBytes(dir);
  return free ? *free / kBytesPerMegabyte : 0;
}

RecordDirAnswer newRecordDir(const RecordDirs& dirs, bool recording) {
  if (recording) return {kNoChangePath};
  for (int slot = 0; slot < kRecPathCount; ++slot) {
    if (dirs[static_cast<std::size_t>(slot)].empty()) return {{}, slot};
  }
  return {kAllRecordDirsUsed};
}

RecordDirAnswer editRecordDir(const RecordDirs& dirs, int line, bool recording) {
  if (recording) return {kNoChangePath};
  return {{}, recordDirSlotOfLine(dirs, line)};
}

RecordDirAnswer setRecordDir(RecordDirs& dirs, int slot, const std::string& folder) {
  if (slot < 0 || slot >= kRecPathCount || folder.empty()) return {};
  const fs::path chosen = existingAncestor(folder);
  for (int other = 0; other < kRecPathCount; ++other) {
    const std::string& dir = dirs[static_cast<std::size_t>(other)];
    if (other == slot || dir.empty()) continue;
    if (platform::sameFileSystem(chosen, existingAncestor(dir))) return {kSameFileSystem};
  }
  dirs[static_cast<std::size_t>(slot)] = folder;
  return {{}, slot};
}

RecordDirAnswer deleteRecordDir(RecordDirs& dirs, int line, bool recording) {
  if (recording) return {kNoChangePath};
  const int slot = recordDirSlotOfLine(dirs, line);
  if (slot < 0) return {};
  for (int i = slot; i + 1 < kRecPathCount; ++i) {
    dirs[static_cast<std::size_t>(i)] = std::move(dirs[static_cast<std::size_t>(i + 1)]);
  }
  dirs.back().clear();
  return {{}, slot};
}

void confirmRecordDirs(const RecordDirs& dirs, ViewerUi* ui) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().recPath = dirs;
  }
  prepareLiveRecordDirs(ui);
  rearmRecordingSpaceFullMessage();
}

}  // namespace ipcam
