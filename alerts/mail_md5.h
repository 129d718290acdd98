#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/md5.h"

namespace ipcam {

// MD5 (RFC 1321) for the mail client's CRAM-MD5 and DIGEST-MD5 answers. Misuse (an update
// after finalize, a second finalize, a digest before finalize) writes one line to standard
// error and otherwise does nothing; a digest asked for too early comes back empty.
class MD5 {
 public:
  MD5();

  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view text);
  void finalize();

  // 16 bytes, or empty before finalize.
  std::vector<std::uint8_t> raw_digest() const;
  // 32 lower-case hex digits, or empty before finalize.
  std::string hex_digest() const;

  // One-shot helpers for the authentication code.
  static std::array<std::uint8_t, 16> digestOf(std::span<const std::uint8_t> bytes);
  static std::string hexOf(std::string_view text);

 private:
  Md5 md5_;
  Md5::Digest digest_{};
  bool finalized_ = false;
};

// HMAC-MD5 (RFC 2104) with 64-byte blocks; a key longer than a block is first replaced by its
// MD5.
std::array<std::uint8_t, 16> hmacMd5(std::string_view key, std::span<const std::uint8_t> message);

}  // namespace ipcam
