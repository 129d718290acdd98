#include "recording/playback_search.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <tuple>

#include "core/channel_count.h"
#include "recording/record_names.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMotionPrefix = "Motion";

// A motion search lists what a "Motion*" pattern finds, and recording folders may have come
// from a system whose names ignore case.
bool isMotionMode(std::string_view mode) {
  if (mode.size() < kMotionPrefix.size()) return false;
  return std::equal(kMotionPrefix.begin(), kMotionPrefix.end(), mode.begin(), [](char a, char b) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return lower(a) == lower(b);
  });
}

auto timeKey(const LocalTime& t) {
  return std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::string_view sortText(const PlaybackRow& row, int column) {
  switch (column) {
    case kPlaybackDirectory:
      return row.directory;
    case kPlaybackChannel:
      return row.channel;
    default: {
      const std::string_view name = row.fileName;
      const std::size_t underscore = name.find('_');
      return underscore == std::string_view::npos ? name : name.substr(underscore + 1);
    }
  }
}

}  // namespace

std::optional<LocalTime> recordingStartTime(std::string_view fileName) {
  const std::optional<RecordingName> name = parseRecordingName(fileName);
  if (!name) return std::nullopt;
  return name->start;
}

bool laterThan(const LocalTime& a, const LocalTime& b) {
  return timeKey(a) > timeKey(b);
}

std::vector<PlaybackRow> searchRecordings(const std::array<std::string, 3>& recPaths,
                                          const LocalTime& from, const LocalTime& to,
                                          bool motionOnly) {
  std::vector<PlaybackRow> rows;
  for (const std::string& dir : recPaths) {
    if (dir.empty()) continue;
    for (int channel = 0; channel < kChannelCount; ++channel) {
      const fs::path folder = recordFolder(dir, channel);
      std::vector<std::string> names;
      std::error_code error;
      for (fs::directory_iterator it(folder, error), end; !error && it != end;
           it.increment(error)) {
        std::error_code entryError;
        if (!it->is_regular_file(entryError) || it->file_size(entryError) == 0 || entryError)
          continue;
        std::string name = it->path().filename().string();
        const std::optional<RecordingName> parsed = parseRecordingName(name);
        if (!parsed || (motionOnly && !isMotionMode(parsed->mode))) continue;
        if (laterThan(from, parsed->start) || laterThan(parsed->start, to)) continue;
        names.push_back(std::move(name));
      }
      // The file system lists a folder in no particular order; by name is by mode and time.
      std::sort(names.begin(), names.end());
      for (std::string& name : names) {
        rows.push_back({dir, std::to_string(channel + 1), std::move(name)});
      }
    }
  }
  return rows;
}

std::string playbackFilePath(const PlaybackRow& row) {
  return recordFolder(row.directory, row.channel) + "/" + row.fileName;
}

void PlaybackSort::clickColumn(std::vector<PlaybackRow>& rows, int column) {
  ascending_ = column == column_ ? !ascending_ : true;
  column_ = column;
  std::stable_sort(rows.begin(), rows.end(), [this](const PlaybackRow& a, const PlaybackRow& b) {
    const std::string_view x = sortText(a, column_);
    const std::string_view y = sortText(b, column_);
    return ascending_ ? x < y : y < x;
  });
}

}  // namespace ipcam
