#include "recording/playback_search.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string>
#include <system_error>
#include <tuple>

#include "core/channel_count.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecordingExtension = ".avi";
constexpr std::string_view kMotionPrefix = "Motion";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// Recording folders may have come from a system whose names ignore case.
bool matchesPattern(std::string_view name, bool motionOnly) {
  if (name.size() < kRecordingExtension.size() ||
      !equalsIgnoringCase(name.substr(name.size() - kRecordingExtension.size()),
                          kRecordingExtension)) {
    return false;
  }
  return !motionOnly || (name.size() >= kMotionPrefix.size() &&
                         equalsIgnoringCase(name.substr(0, kMotionPrefix.size()), kMotionPrefix));
}

// Reads one unsigned decimal number and the character after it.
bool readNumber(std::string_view& text, int& value, char separator) {
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next == text.data() || next == end || *next != separator)
    return false;
  text.remove_prefix(static_cast<std::size_t>(next - text.data()) + 1);
  return true;
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
  const std::size_t underscore = fileName.find('_');
  if (underscore == 0 || underscore == std::string_view::npos) return std::nullopt;
  std::string_view rest = fileName.substr(underscore + 1);
  LocalTime t;
  if (!readNumber(rest, t.year, '-') || !readNumber(rest, t.month, '-') ||
      !readNumber(rest, t.day, '_') || !readNumber(rest, t.hour, '-') ||
      !readNumber(rest, t.minute, '-') || !readNumber(rest, t.second, '.')) {
    return std::nullopt;
  }
  if (!equalsIgnoringCase(rest, kRecordingExtension.substr(1))) return std::nullopt;
  return t;
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
    for (int camera = 1; camera <= kChannelCount; ++camera) {
      const fs::path folder =
          fs::path(dir) / "Data" / "Record" / ("Camera " + std::to_string(camera));
      std::vector<std::string> names;
      std::error_code error;
      for (fs::directory_iterator it(folder, error), end; !error && it != end;
           it.increment(error)) {
        std::error_code entryError;
        if (!it->is_regular_file(entryError) || it->file_size(entryError) == 0 || entryError)
          continue;
        std::string name = it->path().filename().string();
        if (!matchesPattern(name, motionOnly)) continue;
        const std::optional<LocalTime> start = recordingStartTime(name);
        if (!start || laterThan(from, *start) || laterThan(*start, to)) continue;
        names.push_back(std::move(name));
      }
      // The file system lists a folder in no particular order; by name is by mode and time.
      std::sort(names.begin(), names.end());
      for (std::string& name : names) {
        rows.push_back({dir, std::to_string(camera), std::move(name)});
      }
    }
  }
  return rows;
}

std::string playbackFilePath(const PlaybackRow& row) {
  return row.directory + "/Data/Record/Camera " + row.channel + "/" + row.fileName;
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
