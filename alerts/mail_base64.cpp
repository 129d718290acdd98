#include "alerts/mail_base64.h"

#include "platform/base64.h"

namespace ipcam {

std::string mailBase64Encode(std::span<const std::uint8_t> bytes) {
  return base64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string mailBase64Encode(std::string_view text) {
  return base64Encode(text);
}

std::optional<std::string> mailBase64Decode(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return base64Decode(text);
}

}  // namespace ipcam
