// Datagrams of the camera search, one after the other into one list: descriptions, details
// and compressed answers (inflated into fixed buffers). Each datagram is a 16-bit big-endian
// length and its bytes.
#include <cstdint>
#include <span>

#include "protocols/discovery_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace discovery = ipcam::discovery;
  discovery::DiscoveryList list;
  std::span<const std::uint8_t> input(data, size);
  while (input.size() >= 2) {
    const std::size_t length =
        std::min<std::size_t>((std::size_t{input[0]} << 8) | input[1], input.size() - 2);
    const auto datagram = input.subspan(2, std::min(length, discovery::kDatagramLimit));
    input = input.subspan(2 + length);
    (void)discovery::handleDatagram(list, datagram);
    if (list.entries.size() > ipcam::kDiscoveryListSize) __builtin_trap();
  }
  return 0;
}
