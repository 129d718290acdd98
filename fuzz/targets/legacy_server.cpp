// The oldest camera server's answers: the 120-byte login answer, then picture headers each
// followed by as many bytes as the header says, read as the data thread reads them.
#include "protocols/legacy_server.h"

#include <cstdint>
#include <vector>

#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  (void)ipcam::parseLegacyLoginAnswer(input);

  ipcam::fuzz::FedSocket socket(input);
  static std::vector<std::uint8_t> picture(ipcam::kLegacyPictureBufferBytes);
  std::array<std::uint8_t, ipcam::kLegacyPictureHeaderBytes> raw{};
  for (;;) {
    if (ipcam::TcpReceiveExact(static_cast<int>(raw.size()), socket.fd(), raw) <= 0) break;
    const auto header = ipcam::parseLegacyPictureHeader(raw);
    if (!header) __builtin_trap();
    if (header->length == 0 || header->length > picture.size()) break;
    if (ipcam::TcpReceiveExact(static_cast<int>(header->length), socket.fd(), picture) <= 0) {
      break;
    }
  }
  return 0;
}
