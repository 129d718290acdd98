#include "support/byte_script.h"

namespace ipcam::fuzz {

std::uint8_t ByteScript::takeByte() {
  if (rest_.empty()) return 0;
  const auto byte = static_cast<std::uint8_t>(rest_.front());
  rest_.remove_prefix(1);
  return byte;
}

std::vector<std::string_view> ByteScript::turns() const {
  std::vector<std::string_view> pieces;
  std::string_view text = rest_;
  while (!text.empty()) {
    const std::size_t at = text.find(kTurnSeparator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + kTurnSeparator.size());
  }
  return pieces;
}

std::span<const std::uint8_t> ByteScript::rest() const {
  return {reinterpret_cast<const std::uint8_t*>(rest_.data()), rest_.size()};
}

}  // namespace ipcam::fuzz
