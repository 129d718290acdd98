#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ipcam::platform {

// UTF-16 exists only at the boundary of the settings and language files; everything inside
// the program is UTF-8. Invalid input never fails: bad sequences become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);

// Decodes little- or big-endian UTF-16 bytes; a trailing odd byte is ignored.
std::u16string decodeUtf16(std::string_view bytes, bool bigEndian);
std::string encodeUtf16LE(std::u16string_view text);

// Repairs invalid UTF-8 (each bad byte becomes U+FFFD).
std::string sanitizeUtf8(std::string_view text);

// Cuts UTF-8 text so that it holds at most `maxUnits` UTF-16 units, without splitting a
// character. This is what a fixed wide-character buffer of maxUnits + 1 keeps.
std::string truncateToUtf16Units(std::string_view text, std::size_t maxUnits);

}  // namespace ipcam::platform
