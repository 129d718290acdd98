// Names found in the recording folders: what playback takes a start time from and what the
// storage cleaner takes for a recording of its own.
#include <cstdint>
#include <string_view>

#include "recording/playback_search.h"
#include "recording/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const auto start = ipcam::recordingStartTime(name);
  const bool ours = ipcam::isRecordingFileName(name);
  // A name as the recorders write it (a year of four digits at most; the cleaner takes any
  // number) carries a start time the playback list can show.
  const std::size_t year = name.find('_') + 1;
  if (ours && name.find('-', year) - year <= 4 && !start) __builtin_trap();
  if (start) (void)ipcam::laterThan(*start, *start);
  return 0;
}
