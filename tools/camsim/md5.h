#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ipcam::camsim {

// MD5 of RFC 1321, for checking Digest answers. The camera keeps its own copy so that it
// does not share a fault with the client it tests.
class Md5 {
 public:
  Md5();
  void update(std::string_view bytes);
  std::array<std::uint8_t, 16> finish();

 private:
  void transform(const std::uint8_t* block);

  std::array<std::uint32_t, 4> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::uint64_t length_ = 0;  // bytes fed so far
};

// 32 lower-case hex digits of the MD5 of `bytes`.
std::string md5Hex(std::string_view bytes);

}  // namespace ipcam::camsim
