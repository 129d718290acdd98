#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recording/schedule.h"

namespace ipcam {

// One found recording as the playback list shows it: the recording directory as configured,
// the camera folder's number ("1" to "16") and the file name without folder.
struct PlaybackRow {
  std::string directory;
  std::string channel;
  std::string fileName;
  bool operator==(const PlaybackRow&) const = default;
};

enum PlaybackColumn : int { kPlaybackDirectory = 0, kPlaybackChannel = 1, kPlaybackFileName = 2 };

// The start time a recording's name carries: anything up to the first underscore, then
// "<year>-<month>-<day>_<hour>-<minute>-<second>.avi". Nothing for a name that does not
// follow it.
std::optional<LocalTime> recordingStartTime(std::string_view fileName);

// Whether `a` is a later wall-clock time than `b` (to the second; the weekday is ignored).
bool laterThan(const LocalTime& a, const LocalTime& b);

// Every recording in "<dir>/Data/Record/Camera <n>" of the configured directories (empty
// entries skipped), n = 1 to 16, whose start time lies from `from` to `to`, both included;
// with `motionOnly` only names that begin with "Motion". Folders, empty files and names that
// carry no start time are left out. Rows come by directory, then camera, then file name.
std::vector<PlaybackRow> searchRecordings(const std::array<std::string, 3>& recPaths,
                                          const LocalTime& from, const LocalTime& to,
                                          bool motionOnly);

// "<directory>/Data/Record/Camera <channel>/<file name>" of a row.
std::string playbackFilePath(const PlaybackRow& row);

// The list's sort state: a click on a column's header sorts by that column's text, ascending;
// a second click on the same column reverses the order. Texts compare byte by byte, case
// counting; the file-name column leaves out everything up to the first underscore, so that
// recordings sort by start time whatever their mode. Rows that compare equal keep their order.
class PlaybackSort {
 public:
  void clickColumn(std::vector<PlaybackRow>& rows, int column);
  int column() const { return column_; }
  bool ascending() const { return ascending_; }

 private:
  int column_ = -1;
  bool ascending_ = true;
};

}  // namespace ipcam
