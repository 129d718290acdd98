#include "alerts/mail_base64.h"

#include <array>

namespace ipcam {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';
constexpr int kNotInAlphabet = -1;

constexpr std::array<int, 256> decodeTable() {
  std::array<int, 256> table{};
  for (int& entry : table) entry = kNotInAlphabet;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int>(i);
  }
  return table;
}

constexpr std::array<int, 256> kDecode = decodeTable();

}  // namespace

std::string mailBase64Encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
    text.push_back(kAlphabet[(group >> 6) & 0x3F]);
    text.push_back(kAlphabet[group & 0x3F]);
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    const std::uint32_t group = (bytes[i] << 16) | (left == 2 ? bytes[i + 1] << 8 : 0);
    text.push_back(kAlphabet[(group >> 18) & 0x3F]);
    text.push_back(kAlphabet[(group >> 12) & 0x3F]);
    text.push_back(left == 2 ? kAlphabet[(group >> 6) & 0x3F] : kFill);
    text.push_back(kFill);
  }
  return text;
}

std::string mailBase64Encode(std::string_view text) {
  return mailBase64Encode(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<std::string> mailBase64Decode(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::array<int, 4> values{};
    int fill = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      // Fill only at the very end, and at most two of it.
      if (c == kFill && i + 4 == text.size() && j >= 2) {
        ++fill;
        values[j] = 0;
        continue;
      }
      if (fill > 0) return std::nullopt;
      values[j] = kDecode[static_cast<unsigned char>(c)];
      if (values[j] == kNotInAlphabet) return std::nullopt;
    }
    const std::uint32_t group = (static_cast<std::uint32_t>(values[0]) << 18) |
                                (static_cast<std::uint32_t>(values[1]) << 12) |
                                (static_cast<std::uint32_t>(values[2]) << 6) |
                                static_cast<std::uint32_t>(values[3]);
    bytes.push_back(static_cast<char>((group >> 16) & 0xFF));
    if (fill < 2) bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (fill < 1) bytes.push_back(static_cast<char>(group & 0xFF));
  }
  return bytes;
}

}  // namespace ipcam
