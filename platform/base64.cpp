#include "platform/base64.h"

#include <array>

namespace ipcam {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}
constexpr std::array<std::int8_t, 256> kDecodeTable = makeDecodeTable();

void terminate(std::span<std::uint8_t> output, std::size_t length) {
  if (length < output.size()) output[length] = 0;
}

int encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
  const std::size_t length = (input.size() + 2) / 3 * 4;
  if (length > output.size()) return kBase64NoRoom;
  std::size_t out = 0;
  for (std::size_t i = 0; i < input.size(); i += 3) {
    const std::size_t left = input.size() - i;
    const std::uint32_t group = (static_cast<std::uint32_t>(input[i]) << 16) |
                                (left > 1 ? static_cast<std::uint32_t>(input[i + 1]) << 8 : 0U) |
                                (left > 2 ? static_cast<std::uint32_t>(input[i + 2]) : 0U);
    output[out++] = static_cast<std::uint8_t>(kAlphabet[(group >> 18) & 0x3f]);
    output[out++] = static_cast<std::uint8_t>(kAlphabet[(group >> 12) & 0x3f]);
    output[out++] = static_cast<std::uint8_t>(left > 1 ? kAlphabet[(group >> 6) & 0x3f] : kFill);
    output[out++] = static_cast<std::uint8_t>(left > 2 ? kAlphabet[group & 0x3f] : kFill);
  }
  terminate(output, length);
  return static_cast<int>(length);
}

int decode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
  if (input.size() % 4 != 0) return kBase64NoRoom;
  // Fill characters may only close the last group, at most two of them.
  std::size_t fill = 0;
  while (fill < 2 && fill < input.size() && input[input.size() - 1 - fill] == kFill) ++fill;
  const std::size_t length = input.size() / 4 * 3 - fill;
  if (length > output.size()) return kBase64NoRoom;

  std::size_t out = 0;
  const std::size_t data = input.size() - fill;
  std::uint32_t group = 0;
  int bits = 0;
  for (std::size_t i = 0; i < data; ++i) {
    const std::int8_t value = kDecodeTable[input[i]];
    if (value < 0) return kBase64BadCharacter;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      output[out++] = static_cast<std::uint8_t>(group >> bits);
      group &= (1U << bits) - 1;
    }
  }
  terminate(output, length);
  return static_cast<int>(length);
}

}  // namespace

int Base64Code(std::span<const std::uint8_t> input, bool decodeInput,
               std::span<std::uint8_t> output) {
  if (input.data() == nullptr || output.data() == nullptr || input.empty()) {
    return kBase64MissingInput;
  }
  return decodeInput ? decode(input, output) : encode(input, output);
}

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::span<std::uint8_t> roomIn(std::string& text) {
  return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string text((bytes.size() + 2) / 3 * 4, '\0');
  const int length = Base64Code(bytesOf(bytes), false, roomIn(text));
  text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.empty()) return std::string();
  std::string bytes(text.size() / 4 * 3, '\0');
  const int length = Base64Code(bytesOf(text), true, roomIn(bytes));
  if (length < 0) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(length));
  return bytes;
}

}  // namespace ipcam
