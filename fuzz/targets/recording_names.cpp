// Names found in the recording folders: what playback takes a start time from and what the
// storage cleaner takes for a recording of its own, both read through the one name parser.
#include <cstdint>
#include <ctime>
#include <string_view>

#include "recording/playback_search.h"
#include "recording/record_names.h"
#include "recording/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const auto parsed = ipcam::parseRecordingName(name);
  const auto start = ipcam::recordingStartTime(name);
  const bool ours = ipcam::isRecordingFileName(name);
  // The cleaner deletes only names the parser marks as written by our recorders, and every
  // such name carries the start time the playback list shows.
  if (ours && (!parsed || !parsed->ours)) __builtin_trap();
  if (parsed && parsed->mode.empty()) __builtin_trap();
  if (start) (void)ipcam::laterThan(*start, *start);
  // A name of our own (a year of four digits) writes back to itself.
  if (parsed && parsed->ours) {
    std::tm when{};
    when.tm_year = parsed->start.year - 1900;
    when.tm_mon = parsed->start.month - 1;
    when.tm_mday = parsed->start.day;
    when.tm_hour = parsed->start.hour;
    when.tm_min = parsed->start.minute;
    when.tm_sec = parsed->start.second;
    const std::size_t year = name.find('_') + 1;
    if (name.find('-', year) - year == 4 && parsed->start.year >= 1000 &&
        ipcam::recordingName(parsed->mode, when) != name) {
      __builtin_trap();
    }
  }
  return 0;
}
