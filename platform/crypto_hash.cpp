#include "platform/crypto_hash.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <climits>

#include "platform/md5.h"

namespace ipcam {

std::string sha256Hex(std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  return hexText(std::span<const std::uint8_t>(digest.data(), length));
}

bool fillRandom(std::span<std::uint8_t> bytes) {
  return bytes.size() <= INT_MAX && RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
}

}  // namespace ipcam
