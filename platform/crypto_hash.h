#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ipcam {

// SHA-256 of the text as 64 lower-case hex digits (HTTP Digest's SHA-256 algorithm).
std::string sha256Hex(std::string_view text);

// Fills `bytes` from the system's cryptographic random source; false when it could not.
bool fillRandom(std::span<std::uint8_t> bytes);

}  // namespace ipcam
