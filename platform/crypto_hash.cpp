#include "platform/crypto_hash.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <climits>

namespace ipcam {

std::string sha256Hex(std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

bool fillRandom(std::span<std::uint8_t> bytes) {
  return bytes.size() <= INT_MAX && RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
}

}  // namespace ipcam
