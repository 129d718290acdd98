#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ipcam {

// Standard Base64 (RFC 4648) with '=' fill and no line breaks, as the mail client writes it.
std::string mailBase64Encode(std::span<const std::uint8_t> bytes);
std::string mailBase64Encode(std::string_view text);

// The inverse; nullopt for a character outside the alphabet or a length that is not a
// multiple of four. Trailing CR LF and blanks are ignored, since servers end their lines so.
std::optional<std::string> mailBase64Decode(std::string_view text);

}  // namespace ipcam
