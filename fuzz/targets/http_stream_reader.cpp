// The receiving side of a camera's HTTP stream: the answer header, the chunked coding, part
// headers up to their empty line, pictures of a stated length or up to the next boundary.
// The first byte chooses the coding and how large the caller's picture buffer is.
#include "protocols/http_stream_reader.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/byte_script.h"
#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ipcam::fuzz::ByteScript script(data, size);
  const std::uint8_t options = script.takeByte();
  ipcam::fuzz::FedSocket socket(script.rest());
  const ipcam::IoLimits limits{};

  ipcam::HttpStreamReader reader;
  reader.attach(socket.fd());
  std::string header;
  if (reader.readAnswerHeader(4096, limits, header) != 0) return 0;
  reader.setChunked((options & 1) != 0);
  const auto type = ipcam::findHeaderField(header, "Content-Type");
  const auto boundary =
      type ? ipcam::MultipartBoundary::fromContentType(type->value) : std::nullopt;
  if (boundary && boundary->name().empty()) __builtin_trap();

  std::vector<std::uint8_t> picture(std::size_t{64} << (options >> 4));
  for (int part = 0; part < 64; ++part) {
    std::string block;
    int result = reader.readUntil("\r\n\r\n", 1024, limits, block);
    if (result == ipcam::HttpStreamReader::kClosed || result == ipcam::HttpStreamReader::kFailed ||
        result == ipcam::HttpStreamReader::kBadCoding) {
      break;
    }
    if ((options & 2) != 0 || !boundary) {
      result = reader.readExactly(std::span(picture).first(picture.size() / 2), limits);
    } else {
      std::size_t used = 0;
      result = reader.readUntilBoundary(*boundary, picture, limits, used);
      if (used > picture.size()) __builtin_trap();
    }
    if (result != 0 && result != ipcam::HttpStreamReader::kTooLong) break;
  }
  return 0;
}
