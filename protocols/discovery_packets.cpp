#include "protocols/discovery_packets.h"

#include <zlib.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/trace.h"

namespace ipcam::discovery {
namespace {

// Model codes that have a PoE form, and the stored codes of their plain and PoE forms.
struct PoeForms {
  std::uint8_t code;
  std::uint8_t plain;
  std::optional<std::uint8_t> poe;  // none: the model has no PoE form
};
constexpr std::array<PoeForms, 6> kPoeForms{{
    {19, 19, 21},
    {20, 20, std::nullopt},
    {21, 22, 24},
    {22, 23, std::nullopt},
    {23, 25, 27},
    {24, 26, std::nullopt},
}};

constexpr std::uint8_t kPoePlain = 0;
constexpr std::uint8_t kPoePowered = 1;
constexpr std::uint8_t kPoeKeep = 2;

Request header(const Mac& mac, std::uint8_t command, const std::array<std::uint8_t, 2>& marker) {
  Request request{};
  std::copy(mac.begin(), mac.end(), request.begin() + kMacOffset);
  request[kDirectionOffset] = kFromViewer;
  request[kCommandOffset] = command;
  std::copy(marker.begin(), marker.end(), request.begin() + kMarkerOffset);
  return request;
}

std::uint16_t bigEndian16(std::span<const std::uint8_t> packet, std::size_t offset) {
  return static_cast<std::uint16_t>((packet[offset] << 8) | packet[offset + 1]);
}

bool isCompressed(std::span<const std::uint8_t> packet) {
  return packet.size() >= kHeaderSize + kCompressedMarker.size() &&
         std::equal(kCompressedMarker.begin(), kCompressedMarker.end(),
                    packet.begin() + kHeaderSize);
}

enum class Inflated { NotCompressed, Replaced, Failed, TooLarge };

// Inflates a compressed answer in place: the header stays, and the first `keep` bytes of the
// result (fewer when the result is shorter) follow it. Any other failure leaves the packet as
// received; an answer too large for the buffer is refused by the caller.
Inflated inflateAnswer(std::vector<std::uint8_t>& packet, std::size_t keep) {
  if (!isCompressed(packet)) return Inflated::NotCompressed;
  std::vector<std::uint8_t> stream(packet.begin() + kHeaderSize, packet.end());
  std::copy(kZlibHeader.begin(), kZlibHeader.end(), stream.begin());
  std::array<std::uint8_t, kInflateLimit> result{};
  uLongf resultSize = result.size();
  const int status = ::uncompress(result.data(), &resultSize, stream.data(), stream.size());
  if (status == Z_BUF_ERROR) {
    platform::trace("Discovery: a compressed answer inflates beyond %zu bytes; refused",
                    kInflateLimit);
    return Inflated::TooLarge;
  }
  if (status != Z_OK) return Inflated::Failed;
  const std::size_t taken = std::min<std::size_t>(keep, resultSize);
  // Only what inflating produced counts; the compressed tail behind it is not packet data.
  packet.resize(kHeaderSize + taken);
  std::copy_n(result.begin(), taken, packet.begin() + kHeaderSize);
  return Inflated::Replaced;
}

std::string cameraName(std::span<const std::uint8_t> field) {
  std::string_view name(reinterpret_cast<const char*>(field.data()), field.size());
  name = name.substr(0, name.find('\0'));
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return std::string(name);
}

Mac macOf(std::span<const std::uint8_t> packet) {
  Mac mac{};
  std::copy_n(packet.begin() + kMacOffset, kMacSize, mac.begin());
  return mac;
}

DiscoveryEntry* findEntry(DiscoveryList& list, const Mac& mac) {
  const auto found = std::find_if(list.entries.begin(), list.entries.end(),
                                  [&](const DiscoveryEntry& entry) { return entry.mac == mac; });
  return found == list.entries.end() ? nullptr : &*found;
}

// The fields a description sets, both when a camera is added and when it is updated.
void takeDescription(DiscoveryEntry& entry, std::span<const std::uint8_t> body, bool updating) {
  entry.name = cameraName(body.subspan(kNameOffset, kNameSize));
  std::copy_n(body.begin() + kAddressOffset, entry.address.size(), entry.address.begin());
  entry.model = translateModelCode(body[kModelOffset], body[kPoeOffset], updating);
  entry.vendor = body[kVendorOffset];
  entry.attribute = body[kAttributeOffset];
  entry.third = body[kThirdOffset];
}

bool sameDescription(const DiscoveryEntry& a, const DiscoveryEntry& b) {
  return a.name == b.name && a.address == b.address && a.model == b.model && a.vendor == b.vendor &&
         a.attribute == b.attribute && a.third == b.third;
}

DatagramOutcome handleDescription(DiscoveryList& list, std::vector<std::uint8_t>& packet) {
  if (inflateAnswer(packet, kInflatedDescriptionSize) == Inflated::TooLarge)
    return {DatagramResult::Refused, std::nullopt};
  if (packet.size() < kDescriptionSize) return {};
  const std::span<const std::uint8_t> body = std::span(packet).subspan(kHeaderSize);
  if (body[kClassOffset] != kAcceptedClass) return {};

  const Mac mac = macOf(packet);
  DatagramResult result = DatagramResult::DescriptionUpdated;
  if (DiscoveryEntry* entry = findEntry(list, mac)) {
    const DiscoveryEntry before = *entry;
    takeDescription(*entry, body, true);
    if (sameDescription(before, *entry)) return {DatagramResult::DescriptionRepeated, std::nullopt};
  } else if (list.entries.size() < kDiscoveryListSize) {
    // A fresh entry: nothing of an earlier camera's detail answer may stick to it.
    DiscoveryEntry& added = list.entries.emplace_back();
    added.mac = mac;
    takeDescription(added, body, false);
    result = DatagramResult::DescriptionAdded;
  } else {
    platform::trace("Discovery: the list holds %zu cameras; a further one is dropped",
                    kDiscoveryListSize);
    return {DatagramResult::ListFull, std::nullopt};
  }
  return {result, detailRequest(mac)};
}

DatagramOutcome handleDetail(DiscoveryList& list, std::vector<std::uint8_t>& packet) {
  if (inflateAnswer(packet, kInflatedDetailSize) == Inflated::TooLarge)
    return {DatagramResult::Refused, std::nullopt};
  if (packet.size() < kDetailSize) return {};
  DiscoveryEntry* entry = findEntry(list, macOf(packet));
  if (entry == nullptr) return {DatagramResult::DetailUnknown, std::nullopt};
  entry->detailPort = bigEndian16(packet, kDetailPortOffset);
  entry->httpPort = bigEndian16(packet, kHttpPortOffset);
  entry->detail = packet[kDetailByteOffset];
  return {DatagramResult::DetailStored, std::nullopt};
}

}  // namespace

Request searchRequest() {
  Mac everyone{};
  everyone.fill(0xFF);
  return header(everyone, kCommandDescription, kSearchMarker);
}

Request detailRequest(const Mac& mac) {
  return header(mac, kCommandDetail, kDetailMarker);
}

std::uint8_t translateModelCode(std::uint8_t code, std::uint8_t poe, bool updating) {
  if (poe > kPoeKeep) {
    if (updating) platform::trace("discovery: unknown PoE mark %d", poe);
    return code;
  }
  if (poe == kPoeKeep) return code;
  const auto form = std::find_if(kPoeForms.begin(), kPoeForms.end(),
                                 [code](const PoeForms& forms) { return forms.code == code; });
  if (poe == kPoePlain) return form == kPoeForms.end() ? code : form->plain;
  if (poe == kPoePowered && form != kPoeForms.end() && form->poe) return *form->poe;
  platform::trace("discovery: model %d has no form for PoE mark %d (%s)", code, poe,
                  updating ? "update" : "answer");
  return code;
}

DatagramOutcome handleDatagram(DiscoveryList& list, std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kHeaderSize || datagram.size() > kDatagramLimit) return {};
  if (datagram[kDirectionOffset] != kFromCamera) return {};
  // A copy to work on: inflating rewrites the packet behind the header.
  std::vector<std::uint8_t> packet(datagram.begin(), datagram.end());
  switch (packet[kCommandOffset]) {
    case kCommandDescription:
      return handleDescription(list, packet);
    case kCommandDetail:
      return handleDetail(list, packet);
    default:
      return {};
  }
}

bool SearchScope::expects(std::span<const std::uint8_t> datagram, std::uint32_t source,
                          Clock::time_point now) const {
  if (datagram.size() < kHeaderSize) return false;
  const bool fromSearched =
      std::any_of(networks_.begin(), networks_.end(),
                  [source](const Ipv4Network& n) { return n.contains(source); });
  if (!fromSearched) return false;
  const auto askedRecently = [now](const std::optional<Clock::time_point>& asked) {
    return asked && now >= *asked && now - *asked <= kAnswerWindow;
  };
  switch (datagram[kCommandOffset]) {
    case kCommandDescription:
      return askedRecently(lastSearch_);
    case kCommandDetail:
      return askedRecently(lastDetail_);
    default:
      return false;
  }
}

void TokenBucket::refill(Clock::time_point now) {
  if (tokens_ >= burst_) {
    refilled_ = now;
    return;
  }
  if (now <= refilled_) return;
  const auto earned = (now - refilled_) / interval_;
  if (earned <= 0) return;
  if (earned >= burst_ - tokens_) {
    tokens_ = burst_;
    refilled_ = now;
  } else {
    tokens_ += static_cast<int>(earned);
    refilled_ += earned * interval_;
  }
}

bool TokenBucket::take(Clock::time_point now) {
  refill(now);
  if (tokens_ == 0) return false;
  --tokens_;
  return true;
}

Clock::duration TokenBucket::untilNext(Clock::time_point now) const {
  if (tokens_ > 0) return Clock::duration::zero();
  const Clock::time_point next = refilled_ + interval_;
  return next > now ? next - now : Clock::duration::zero();
}

}  // namespace ipcam::discovery
