#pragma once
// How a fuzz input is cut into what the harness needs: option bytes in front, then the pieces
// a peer sends one after the other (separated by a line "~~~"), so that a corpus file stays
// readable text where the protocol is text.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ipcam::fuzz {

inline constexpr std::string_view kTurnSeparator = "~~~\n";

class ByteScript {
 public:
  ByteScript(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  // The next byte, or 0 once the input is used up.
  std::uint8_t takeByte();
  // What is left, cut at every separator; an empty input gives no pieces.
  std::vector<std::string_view> turns() const;
  // What is left as bytes.
  std::span<const std::uint8_t> rest() const;

 private:
  std::string_view rest_;
};

}  // namespace ipcam::fuzz
