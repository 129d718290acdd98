#include "alerts/mail_md5.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ipcam {
namespace {

constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthOffset = 56;  // where the bit count goes in the last block
constexpr std::uint8_t kPadFirst = 0x80;
constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5C;

// Per-round shift amounts and the sine-derived constants of RFC 1321.
constexpr std::array<std::uint32_t, 64> kShift = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};
constexpr std::array<std::uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

std::uint32_t rotateLeft(std::uint32_t value, std::uint32_t bits) {
  return (value << bits) | (value >> (32 - bits));
}

void complain(const char* line) {
  std::fprintf(stderr, "%s\n", line);
}

}  // namespace

MD5::MD5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void MD5::transform(const std::uint8_t* block) {
  std::array<std::uint32_t, 16> words{};
  for (std::size_t i = 0; i < words.size(); ++i) {
    words[i] = static_cast<std::uint32_t>(block[i * 4]) |
               (static_cast<std::uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<std::uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<std::uint32_t>(block[i * 4 + 3]) << 24);
  }
  std::uint32_t a = state_[0];
  std::uint32_t b = state_[1];
  std::uint32_t c = state_[2];
  std::uint32_t d = state_[3];
  for (std::uint32_t i = 0; i < 64; ++i) {
    std::uint32_t f = 0;
    std::uint32_t g = 0;
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
    const std::uint32_t next = d;
    d = c;
    c = b;
    b = b + rotateLeft(a + f + kSine[i] + words[g], kShift[i]);
    a = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void MD5::update(std::span<const std::uint8_t> bytes) {
  if (finalized_) {
    complain("MD5::update:  Can't update a finalized digest!");
    return;
  }
  std::size_t used = static_cast<std::size_t>((bitCount_ / 8) % kBlockSize);
  bitCount_ += static_cast<std::uint64_t>(bytes.size()) * 8;
  std::size_t offset = 0;
  if (used > 0) {
    const std::size_t take = std::min(kBlockSize - used, bytes.size());
    std::memcpy(buffer_.data() + used, bytes.data(), take);
    used += take;
    offset = take;
    if (used < kBlockSize) return;
    transform(buffer_.data());
  }
  for (; offset + kBlockSize <= bytes.size(); offset += kBlockSize) transform(&bytes[offset]);
  if (offset < bytes.size()) std::memcpy(buffer_.data(), &bytes[offset], bytes.size() - offset);
}

void MD5::update(std::string_view text) {
  update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void MD5::finalize() {
  if (finalized_) {
    complain("MD5::finalize:  Already finalized this digest!");
    return;
  }
  const std::uint64_t bits = bitCount_;
  const std::size_t used = static_cast<std::size_t>((bits / 8) % kBlockSize);
  const std::size_t padLength =
      used < kLengthOffset ? kLengthOffset - used : kBlockSize + kLengthOffset - used;
  std::array<std::uint8_t, kBlockSize + 8> tail{};
  tail[0] = kPadFirst;
  for (std::size_t i = 0; i < 8; ++i)
    tail[padLength + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  update(std::span(tail.data(), padLength + 8));
  for (std::size_t i = 0; i < state_.size(); ++i) {
    for (std::size_t j = 0; j < 4; ++j)
      digest_[i * 4 + j] = static_cast<std::uint8_t>(state_[i] >> (8 * j));
  }
  finalized_ = true;
}

std::vector<std::uint8_t> MD5::raw_digest() const {
  if (!finalized_) {
    complain("MD5::raw_digest:  Can't get digest if you haven't finalized the digest!");
    return {};
  }
  return {digest_.begin(), digest_.end()};
}

std::string MD5::hex_digest() const {
  if (!finalized_) {
    complain("MD5::hex_digest:  Can't get digest if you haven't finalized the digest!");
    return {};
  }
  return hexText(digest_);
}

std::array<std::uint8_t, 16> MD5::digestOf(std::span<const std::uint8_t> bytes) {
  MD5 md5;
  md5.update(bytes);
  md5.finalize();
  return md5.digest_;
}

std::string MD5::hexOf(std::string_view text) {
  MD5 md5;
  md5.update(text);
  md5.finalize();
  return md5.hex_digest();
}

std::string hexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::array<std::uint8_t, 16> hmacMd5(std::string_view key, std::span<const std::uint8_t> message) {
  std::array<std::uint8_t, kBlockSize> block{};
  if (key.size() > kBlockSize) {
    const auto shortened =
        MD5::digestOf(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
    std::memcpy(block.data(), shortened.data(), shortened.size());
  } else {
    std::memcpy(block.data(), key.data(), key.size());
  }
  std::array<std::uint8_t, kBlockSize> pad{};
  MD5 inner;
  for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ kInnerPad;
  inner.update(pad);
  inner.update(message);
  inner.finalize();
  const std::vector<std::uint8_t> innerDigest = inner.raw_digest();
  MD5 outer;
  for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ kOuterPad;
  outer.update(pad);
  outer.update(innerDigest);
  outer.finalize();
  const std::vector<std::uint8_t> result = outer.raw_digest();
  std::array<std::uint8_t, 16> digest{};
  std::memcpy(digest.data(), result.data(), digest.size());
  return digest;
}

}  // namespace ipcam
