#include "platform/md5.h"

#include <algorithm>
#include <bit>

namespace ipcam {
namespace {

// Per-round shift amounts and the sine-derived constants of RFC 1321.
constexpr std::array<int, 64> kShift = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::array<std::uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

std::uint32_t loadLittleEndian(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

}  // namespace

void Md5::init() {
  state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  bitCount_ = 0;
}

void Md5::transform(const std::uint8_t* block) {
  std::array<std::uint32_t, 16> words{};
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = loadLittleEndian(block + 4 * i);

  std::uint32_t a = state_[0];
  std::uint32_t b = state_[1];
  std::uint32_t c = state_[2];
  std::uint32_t d = state_[3];
  for (std::size_t i = 0; i < 64; ++i) {
    std::uint32_t f = 0;
    std::size_t g = 0;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const std::uint32_t rotated = std::rotl(a + f + kSine[i] + words[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b += rotated;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::update(std::span<const std::uint8_t> bytes) {
  std::size_t used = static_cast<std::size_t>((bitCount_ / 8) % 64);
  bitCount_ += static_cast<std::uint64_t>(bytes.size()) * 8;
  while (!bytes.empty()) {
    const std::size_t take = std::min(bytes.size(), buffer_.size() - used);
    std::copy_n(bytes.begin(), take, buffer_.begin() + static_cast<std::ptrdiff_t>(used));
    used += take;
    bytes = bytes.subspan(take);
    if (used == buffer_.size()) {
      transform(buffer_.data());
      used = 0;
    }
  }
}

void Md5::update(std::string_view text) {
  update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Md5::Digest Md5::final() {
  const std::uint64_t messageBits = bitCount_;
  // One 0x80 byte, zeros up to 56 bytes into a block, then the message length in bits.
  static constexpr std::array<std::uint8_t, 64> kPadding = {0x80};
  const std::size_t used = static_cast<std::size_t>((bitCount_ / 8) % 64);
  const std::size_t padLength = used < 56 ? 56 - used : 120 - used;
  update(std::span(kPadding.data(), padLength));
  std::array<std::uint8_t, 8> length{};
  for (std::size_t i = 0; i < length.size(); ++i) {
    length[i] = static_cast<std::uint8_t>(messageBits >> (8 * i));
  }
  update(length);

  Digest digest{};
  for (std::size_t i = 0; i < state_.size(); ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (8 * j));
    }
  }
  return digest;
}

std::string Md5::hex(const Digest& digest) {
  return hexText(digest);
}

std::string Md5::hexOf(std::string_view text) {
  Md5 md5;
  md5.update(text);
  return hex(md5.final());
}

std::string hexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace ipcam
