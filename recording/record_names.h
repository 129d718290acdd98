#pragma once

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "recording/schedule.h"

namespace ipcam {

// The recorders' modes; each recording's file name starts with its recorder's mode.
inline constexpr std::array<std::string_view, 3> kRecorderModes = {"Manual", "Schedule", "Motion"};

// What a recording's file name says: "<mode>_<year>-<month>-<day>_<hour>-<minute>-<second>.avi".
struct RecordingName {
  std::string mode;  // everything before the first underscore, never empty
  LocalTime start;   // the weekday is not part of the name and stays 0
  // Written exactly as our recorders write their files: one of the three modes, every field
  // but the year in two digits, the extension in lower case. Only such files are ever
  // deleted by the storage cleaner.
  bool ours = false;
};

// Reads a file name (without folder). Any mode is accepted, the numbers may have any count of
// digits and the extension any case, as recordings copied from elsewhere may be named; a sign,
// a missing or extra part, or a number too large for an int gives nothing.
std::optional<RecordingName> parseRecordingName(std::string_view fileName);

// "<mode>_<yyyy>-<mm>-<dd>_<hh>-<mm>-<ss>.avi" at the local time `when`.
std::string recordingName(std::string_view mode, const std::tm& when);

// "<dir>/Data/Record/Camera <cameraNumber>": the folder of one camera's recordings in a
// recording directory. Trailing slashes of `dir` are dropped.
std::string recordFolder(std::string_view dir, std::string_view cameraNumber);
// The same for channel 0..15 (camera number channel + 1).
std::string recordFolder(std::string_view dir, int channel);

// The recording of channel 0..15 in `dir` that a recorder of `mode` starts at `when`.
std::string recordingFileName(std::string_view dir, int channel, std::string_view mode,
                              const std::tm& when);

}  // namespace ipcam
