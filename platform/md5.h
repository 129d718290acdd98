#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ipcam {

// MD5 of RFC 1321, for the digest authentication of the camera protocols and the mail and
// password code. Not for anything that needs a secure hash.
class Md5 {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  Md5() { init(); }

  void init();
  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view text);
  // The digest of everything fed since init(); the object must be init()ed before reuse.
  Digest final();

  // Lower-case hex, two digits per byte.
  static std::string hex(const Digest& digest);
  static std::string hexOf(std::string_view text);

 private:
  void transform(const std::uint8_t* block);

  std::array<std::uint32_t, 4> state_{};
  std::uint64_t bitCount_ = 0;
  std::array<std::uint8_t, 64> buffer_{};
};

// Lower-case hex of any bytes, two digits per byte.
std::string hexText(std::span<const std::uint8_t> bytes);

}  // namespace ipcam
