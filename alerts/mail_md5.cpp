#include "alerts/mail_md5.h"

#include <cstdio>
#include <cstring>

namespace ipcam {
namespace {

constexpr std::size_t kBlockSize = 64;
constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5C;

void complain(const char* line) {
  std::fprintf(stderr, "%s\n", line);
}

}  // namespace

MD5::MD5() = default;

void MD5::update(std::span<const std::uint8_t> bytes) {
  if (finalized_) {
    complain("MD5::update:  Can't update a finalized digest!");
    return;
  }
  md5_.update(bytes);
}

void MD5::update(std::string_view text) {
  update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void MD5::finalize() {
  if (finalized_) {
    complain("MD5::finalize:  Already finalized this digest!");
    return;
  }
  digest_ = md5_.final();
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
