#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocols/camera_discovery.h"

// The LAN search's packets and the handling of one received datagram, apart from any socket:
// the listener thread feeds datagrams in and sends whatever request comes back out.
namespace ipcam::discovery {

// Every packet starts with this header; requests are nothing else.
inline constexpr std::size_t kHeaderSize = 10;
inline constexpr std::size_t kMacOffset = 0;
inline constexpr std::size_t kMacSize = 6;
inline constexpr std::size_t kDirectionOffset = 6;
inline constexpr std::size_t kCommandOffset = 7;
inline constexpr std::size_t kMarkerOffset = 8;

inline constexpr std::uint8_t kFromViewer = 0;
inline constexpr std::uint8_t kFromCamera = 1;
inline constexpr std::uint8_t kCommandDescription = 4;
inline constexpr std::uint8_t kCommandDetail = 2;
inline constexpr std::array<std::uint8_t, 2> kSearchMarker{0xFF, 0xFB};
inline constexpr std::array<std::uint8_t, 2> kDetailMarker{0xFF, 0xFD};

// The largest datagram the listener reads.
inline constexpr std::size_t kDatagramLimit = 1024;

// A compressed answer carries a zlib stream from the end of the header on, its two-byte zlib
// header replaced by this marker.
inline constexpr std::array<std::uint8_t, 2> kCompressedMarker{0xAC, 0xED};
inline constexpr std::array<std::uint8_t, 2> kZlibHeader{0x78, 0x9C};
inline constexpr std::size_t kInflateLimit = 1024;
// What an inflated answer puts back behind the header: a description's first 64 bytes and
// the 16-bit value after them (which lands on packet bytes 74-75), or a detail's 388 bytes.
inline constexpr std::size_t kInflatedDescriptionSize = 64 + 2;
inline constexpr std::size_t kInflatedDetailSize = 388;

// Description fields, counted from the end of the header.
inline constexpr std::size_t kNameOffset = 0;
inline constexpr std::size_t kNameSize = 32;
inline constexpr std::size_t kAddressOffset = 32;
inline constexpr std::size_t kVendorOffset = 56;
inline constexpr std::size_t kClassOffset = 58;
inline constexpr std::size_t kModelOffset = 59;
inline constexpr std::size_t kAttributeOffset = 60;
inline constexpr std::size_t kThirdOffset = 61;
inline constexpr std::size_t kPoeOffset = 65;
inline constexpr std::size_t kDescriptionSize = kHeaderSize + kPoeOffset + 1;
inline constexpr std::uint8_t kAcceptedClass = 5;

// Detail fields, counted from the packet start; both ports are big-endian.
inline constexpr std::size_t kDetailPortOffset = 86;
inline constexpr std::size_t kHttpPortOffset = 88;
inline constexpr std::size_t kDetailByteOffset = 90;
inline constexpr std::size_t kDetailSize = kDetailByteOffset + 1;

using Request = std::array<std::uint8_t, kHeaderSize>;
using Mac = std::array<std::uint8_t, kMacSize>;

Request searchRequest();
Request detailRequest(const Mac& mac);

// The list as the listener keeps it. At most kDiscoveryListSize entries.
struct DiscoveryList {
  std::vector<DiscoveryEntry> entries;
  bool changed = false;  // the list was restarted since the page last looked
};

enum class DatagramResult {
  Ignored,              // too short, from a viewer, another command or another device class
  Refused,              // a compressed answer that does not fit the inflate buffer
  DescriptionAdded,     // a new camera was appended
  DescriptionUpdated,   // a camera already listed was updated in place
  DescriptionRepeated,  // a camera already listed said again what it said before
  ListFull,             // a new camera, but the list is full: dropped
  DetailStored,         // a listed camera's ports were stored
  DetailUnknown,        // a detail answer from a camera that is not listed
};

struct DatagramOutcome {
  DatagramResult result = DatagramResult::Ignored;
  // To be sent three times in a row: the detail request for a camera just listed or whose
  // description changed. A camera repeating itself (it answers each of the three searches)
  // is not asked again, so that answers cannot be turned into a flood of requests.
  std::optional<Request> detailRequest;
};

// Handles one received datagram. Reads only within `datagram`, whatever its length.
DatagramOutcome handleDatagram(DiscoveryList& list, std::span<const std::uint8_t> datagram);

// The stored model code for a description's code and PoE variant; writes the debug lines for
// combinations that have no PoE form. `updating` tells which path asks (they log differently).
std::uint8_t translateModelCode(std::uint8_t code, std::uint8_t poe, bool updating);

using Clock = std::chrono::steady_clock;

// An IPv4 network, address and mask in host order.
struct Ipv4Network {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  bool contains(std::uint32_t host) const { return (host & mask) == (address & mask); }
  bool operator==(const Ipv4Network&) const = default;
};

// The loopback network: what a search sent to the loopback broadcast reaches.
inline constexpr Ipv4Network kLoopbackNetwork{0x7F000000, 0xFF000000};

// How long after a request its answers are taken. Cameras answer within milliseconds; the
// margin is for a busy network, not for answers nobody asked for.
inline constexpr std::chrono::seconds kAnswerWindow{5};

// Which answers belong to our own search: they come from a network we searched, and soon
// after we asked (a description after a search request, a detail answer after a detail
// request). Anything else is someone else's traffic or an attempt to fill the list.
class SearchScope {
 public:
  explicit SearchScope(std::vector<Ipv4Network> networks) : networks_(std::move(networks)) {}

  void searchSent(Clock::time_point at) { lastSearch_ = at; }
  void detailSent(Clock::time_point at) { lastDetail_ = at; }

  // `source` is the sender's IPv4 address in host order.
  bool expects(std::span<const std::uint8_t> datagram, std::uint32_t source,
               Clock::time_point now) const;

 private:
  std::vector<Ipv4Network> networks_;
  std::optional<Clock::time_point> lastSearch_;
  std::optional<Clock::time_point> lastDetail_;
};

// Detail requests are paced by a token bucket: each listed camera costs one token (its three
// requests), at most kDetailBurst at once and kDetailRatePerSecond after that. A search that
// many cameras answer still gets every camera's details, a few seconds later.
inline constexpr int kDetailRatePerSecond = 4;
inline constexpr int kDetailBurst = 8;

class TokenBucket {
 public:
  TokenBucket(int ratePerSecond, int burst, Clock::time_point now)
      : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                  ratePerSecond),
        burst_(burst),
        tokens_(burst),
        refilled_(now) {}

  // Takes a token when one is there.
  bool take(Clock::time_point now);
  // How long until take() can succeed; zero when a token is there.
  Clock::duration untilNext(Clock::time_point now) const;

 private:
  void refill(Clock::time_point now);

  Clock::duration interval_;
  int burst_;
  int tokens_;
  Clock::time_point refilled_;
};

}  // namespace ipcam::discovery
