// Settings and language files as they are on disk: a byte-order mark or none, UTF-16 in
// either order or UTF-8, lines of any length, sections and keys as the file spells them.
#include "platform/profile_file.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text_encoding.h"

namespace {

bool validUtf8(std::string_view text) {
  return ipcam::platform::sanitizeUtf8(text) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace platform = ipcam::platform;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  platform::ProfileFile profile = platform::ProfileFile::parse(bytes);
  (void)profile.getInt("Setting", "Channel", 7);
  const std::string value = profile.getString("Setting", "Language", "", 260);
  if (!validUtf8(value)) __builtin_trap();
  (void)profile.hasKey("Camera 1", "IP");

  // What the program writes back must read back as written.
  profile.writeString("Setting", "Language", "1031");
  const std::string once = profile.serialize();
  const platform::ProfileFile reread = platform::ProfileFile::parse(once);
  if (reread.getString("Setting", "Language", "", 260) != "1031") __builtin_trap();
  if (reread.serialize() != once) __builtin_trap();

  // The text conversions at the file boundary, straight on the bytes.
  const std::string little = platform::utf16ToUtf8(platform::decodeUtf16(bytes, false));
  const std::string big = platform::utf16ToUtf8(platform::decodeUtf16(bytes, true));
  if (!validUtf8(little) || !validUtf8(big)) __builtin_trap();
  const std::string repaired = platform::sanitizeUtf8(bytes);
  if (!validUtf8(repaired)) __builtin_trap();
  if (platform::utf16ToUtf8(platform::utf8ToUtf16(repaired)) != repaired) __builtin_trap();
  const std::string cut = platform::truncateToUtf16Units(repaired, size % 64);
  if (!repaired.starts_with(cut) || platform::utf8ToUtf16(cut).size() > size % 64) {
    __builtin_trap();
  }
  return 0;
}
