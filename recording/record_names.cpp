#include "recording/record_names.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace ipcam {
namespace {

constexpr std::string_view kRecordFolder = "/Data/Record/Camera ";
constexpr std::string_view kExtension = ".avi";
// The digits of every field after the year, as the recorders write them.
constexpr std::size_t kFieldDigits = 2;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// Reads an unsigned decimal number and the separator after it; `digits` tells how many
// digits it had.
bool readField(std::string_view& text, int& value, char separator, std::size_t& digits) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next == end || *next != separator) return false;
  digits = static_cast<std::size_t>(next - text.data());
  text.remove_prefix(digits + 1);
  return true;
}

std::string_view withoutTrailingSlashes(std::string_view dir) {
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  return dir;
}

}  // namespace

std::optional<RecordingName> parseRecordingName(std::string_view fileName) {
  const std::size_t underscore = fileName.find('_');
  if (underscore == 0 || underscore == std::string_view::npos) return std::nullopt;
  RecordingName name;
  name.mode = std::string(fileName.substr(0, underscore));
  std::string_view rest = fileName.substr(underscore + 1);
  LocalTime& t = name.start;
  std::size_t yearDigits = 0;
  const struct {
    int* value;
    char separator;
  } fields[] = {{&t.month, '-'}, {&t.day, '_'}, {&t.hour, '-'}, {&t.minute, '-'}, {&t.second, '.'}};
  if (!readField(rest, t.year, '-', yearDigits)) return std::nullopt;
  bool twoDigitFields = true;
  for (const auto& field : fields) {
    std::size_t digits = 0;
    if (!readField(rest, *field.value, field.separator, digits)) return std::nullopt;
    twoDigitFields = twoDigitFields && digits == kFieldDigits;
  }
  if (!equalsIgnoringCase(rest, kExtension.substr(1))) return std::nullopt;
  name.ours =
      twoDigitFields && rest == kExtension.substr(1) &&
      std::find(kRecorderModes.begin(), kRecorderModes.end(), name.mode) != kRecorderModes.end();
  return name;
}

std::string recordingName(std::string_view mode, const std::tm& when) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "_%d-%02d-%02d_%02d-%02d-%02d", when.tm_year + 1900,
                when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  return std::string(mode) + tail + std::string(kExtension);
}

std::string recordFolder(std::string_view dir, std::string_view cameraNumber) {
  return std::string(withoutTrailingSlashes(dir)) + std::string(kRecordFolder) +
         std::string(cameraNumber);
}

std::string recordFolder(std::string_view dir, int channel) {
  return recordFolder(dir, std::to_string(channel + 1));
}

std::string recordingFileName(std::string_view dir, int channel, std::string_view mode,
                              const std::tm& when) {
  return recordFolder(dir, channel) + "/" + recordingName(mode, when);
}

}  // namespace ipcam
