// The alarm sound file: RIFF chunks whose lengths come from the file.
#include "platform/wav_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto sound = ipcam::platform::parseWav({data, size});
  // Samples can only come from bytes the file has.
  if (sound && sound->samples.size() > size) __builtin_trap();
  return 0;
}
