#include "tools/camsim/discovery_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace ipcam::camsim {
namespace {

// The camera's side of the search protocol, written from the camera's point of view.
//
// Every packet: MAC (6), direction (1: 0 viewer, 1 camera), command (1: 4 search/description,
// 2 detail), two marker bytes (FF FB search request, FF FD detail request).
constexpr std::size_t kHeaderBytes = 10;
constexpr std::uint8_t kViewerDirection = 0;
constexpr std::uint8_t kCameraDirection = 1;
constexpr std::uint8_t kSearchCommand = 4;
constexpr std::uint8_t kDetailCommand = 2;

// The description behind the header: name (32, blank padded), IPv4 address at 32, vendor at
// 56, device class at 58, model code at 59, two attribute bytes at 60 and 61, PoE at 65.
constexpr std::size_t kDescriptionBody = 66;
// The detail behind the header: 388 bytes; the detail port at packet bytes 86-87 and the HTTP
// port at 88-89 (both big-endian), one more byte at 90.
constexpr std::size_t kDetailBody = 388;

constexpr std::uint8_t kDeflateMark0 = 0x78;
constexpr std::uint8_t kDeflateMark1 = 0x9C;
constexpr std::uint8_t kCompressedMark0 = 0xAC;
constexpr std::uint8_t kCompressedMark1 = 0xED;

constexpr int kPollMilliseconds = 50;
constexpr std::size_t kRequestBuffer = 1500;

// 127.255.255.255: a broadcast to it reaches every socket bound to it or to any address.
constexpr in_addr_t kLoopbackBroadcast = 0x7FFFFFFF;
constexpr in_addr_t kLoopbackAddress = 0x7F000001;

bool isLoopback(const sockaddr_in& address) {
  return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

void putBigEndian(std::vector<std::uint8_t>& packet, std::size_t at, std::uint16_t value) {
  packet[at] = static_cast<std::uint8_t>(value >> 8);
  packet[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::vector<std::uint8_t> answerPacket(const DiscoveryOptions& options, std::uint8_t command,
                                       const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> packet(kHeaderBytes + body.size(), 0);
  std::copy(options.mac.begin(), options.mac.end(), packet.begin());
  packet[6] = kCameraDirection;
  packet[7] = command;
  // The markers belong to requests; an answer leaves them 0.
  std::copy(body.begin(), body.end(), packet.begin() + kHeaderBytes);
  return packet;
}

std::vector<std::uint8_t> descriptionBody(const DiscoveryOptions& options) {
  std::vector<std::uint8_t> body(kDescriptionBody, 0);
  std::fill_n(body.begin(), 32, static_cast<std::uint8_t>(' '));
  const std::size_t nameLength = std::min<std::size_t>(options.name.size(), 32);
  std::memcpy(body.data(), options.name.data(), nameLength);
  std::copy(options.address.begin(), options.address.end(), body.begin() + 32);
  body[56] = options.vendor;
  body[58] = options.deviceClass;
  body[59] = options.modelCode;
  body[60] = options.attribute;
  body[61] = options.third;
  body[65] = options.poe;
  return body;
}

std::vector<std::uint8_t> detailBody(const DiscoveryOptions& options) {
  // Laid out in packet offsets first, then the header part is cut off.
  std::vector<std::uint8_t> packet(kHeaderBytes + kDetailBody, 0);
  putBigEndian(packet, 86, options.detailPort);
  putBigEndian(packet, 88, options.httpPort);
  packet[90] = options.detailByte;
  return std::vector<std::uint8_t>(packet.begin() + kHeaderBytes, packet.end());
}

// The body as a zlib stream whose two header bytes are replaced by AC ED.
std::vector<std::uint8_t> compressedBody(const std::vector<std::uint8_t>& body) {
  uLongf size = ::compressBound(body.size());
  std::vector<std::uint8_t> stream(size);
  if (::compress2(stream.data(), &size, body.data(), body.size(), Z_DEFAULT_COMPRESSION) != Z_OK)
    return {};
  stream.resize(size);
  if (stream.size() < 2 || stream[0] != kDeflateMark0 || stream[1] != kDeflateMark1) return {};
  stream[0] = kCompressedMark0;
  stream[1] = kCompressedMark1;
  return stream;
}

}  // namespace

DiscoveryResponder::DiscoveryResponder(DiscoveryOptions options) : options_(std::move(options)) {}

DiscoveryResponder::~DiscoveryResponder() {
  stop();
}

std::string DiscoveryResponder::lastError() const {
  std::lock_guard lock(errorMutex_);
  return error_;
}

bool DiscoveryResponder::start() {
  if (thread_.joinable()) return true;
  const auto fail = [this](const char* step) {
    std::lock_guard lock(errorMutex_);
    error_ = std::string(step) + ": " + std::strerror(errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (sendFd_ >= 0) ::close(sendFd_);
    listenFd_ = sendFd_ = -1;
    return false;
  };
  listenFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return fail("discovery socket");
  const int on = 1;
  if (::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return fail("discovery SO_REUSEADDR");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(options_.port);
  local.sin_addr.s_addr = htonl(kLoopbackBroadcast);
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    return fail("discovery bind to 127.255.255.255");

  // Answers go out from a socket of their own on 127.0.0.1: the listening one is bound to the
  // broadcast address, which is no source for a unicast answer.
  sendFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sendFd_ < 0) return fail("discovery answer socket");
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(kLoopbackAddress);
  if (::bind(sendFd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
    return fail("discovery answer bind");

  running_.store(true);
  thread_ = std::thread([this] { run(); });
  return true;
}

void DiscoveryResponder::stop() {
  running_.store(false);
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (sendFd_ >= 0) ::close(sendFd_);
  listenFd_ = sendFd_ = -1;
}

void DiscoveryResponder::run() {
  std::vector<std::uint8_t> buffer(kRequestBuffer);
  while (running_.load()) {
    pollfd readable{listenFd_, POLLIN, 0};
    if (::poll(&readable, 1, kPollMilliseconds) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t received = ::recvfrom(listenFd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (received <= 0) continue;
    answer(buffer.data(), static_cast<std::size_t>(received), &from);
  }
}

void DiscoveryResponder::answer(const std::uint8_t* request, std::size_t size, const void* from) {
  sockaddr_in asker{};
  std::memcpy(&asker, from, sizeof asker);
  if (!isLoopback(asker)) return;
  // A request is exactly the header.
  if (size != kHeaderBytes || request[6] != kViewerDirection) return;
  const bool toEveryone =
      std::all_of(request, request + 6, [](std::uint8_t byte) { return byte == 0xFF; });
  const bool toMe = std::equal(options_.mac.begin(), options_.mac.end(), request);

  std::vector<std::uint8_t> body;
  std::uint8_t command = 0;
  if (request[7] == kSearchCommand && request[8] == 0xFF && request[9] == 0xFB && toEveryone) {
    command = kSearchCommand;
    body = descriptionBody(options_);
  } else if (request[7] == kDetailCommand && request[8] == 0xFF && request[9] == 0xFD && toMe) {
    command = kDetailCommand;
    body = detailBody(options_);
  } else {
    return;
  }
  if (options_.compressed) body = compressedBody(body);
  if (body.empty()) return;

  const std::vector<std::uint8_t> packet = answerPacket(options_, command, body);
  if (::sendto(sendFd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&asker),
               sizeof asker) < 0)
    return;
  if (command == kSearchCommand) {
    descriptionsSent_.fetch_add(1);
  } else {
    detailsSent_.fetch_add(1);
  }
}

}  // namespace ipcam::camsim
