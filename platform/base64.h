#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ipcam {

// Result codes of Base64Code.
enum Base64Result : int {
  kBase64MissingInput = -1,  // no input or output, or an input length below 1
  kBase64NoRoom = -2,        // output too small, or (decoding) a length not a multiple of 4
  kBase64BadCharacter = -3,  // decoding met a character outside the alphabet
};

// Standard Base64 (RFC 4648) with "=" fill, in either direction. Returns the output length
// (not counting the NUL that follows the output when there is room for one), or a
// Base64Result.
int Base64Code(std::span<const std::uint8_t> input, bool decode, std::span<std::uint8_t> output);

// Base64Code on texts: the whole encoding of `bytes` (empty for none), and the bytes of
// `text`, nothing when it is not Base64 (an empty text gives empty bytes).
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace ipcam
