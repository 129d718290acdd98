#include "tools/camsim/legacy_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "tools/camsim/server.h"

namespace ipcam::camsim {
namespace {

constexpr std::size_t kCommand = 120;
constexpr std::size_t kHeader = 28;
constexpr std::uint32_t kLogin = 1;
constexpr std::uint32_t kPictureRequest = 14;
constexpr std::uint32_t kLoginAccepted = 0;
constexpr std::uint32_t kLoginRefused = 99;
// What a huge-length fault announces: one byte more than the viewer's picture buffer.
constexpr std::uint32_t kHugeLength = 131073;

void putBe32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

void putBe16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

bool readAll(int socket, std::uint8_t* data, std::size_t length) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::recv(socket, data + got, length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(int socket, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(socket, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// The text at `from` up to its NUL, at most `limit` bytes.
std::string cString(const std::uint8_t* from, std::size_t limit) {
  const auto* end = std::find(from, from + limit, std::uint8_t{0});
  return std::string(from, end);
}

}  // namespace

LegacyServer::LegacyServer(OptionsSource options, PictureSource pictures)
    : options_(std::move(options)), pictures_(std::move(pictures)) {}

LegacyServer::~LegacyServer() {
  stop();
}

bool LegacyServer::start(std::uint16_t port) {
  if (!listener_.listen(port, 8, [this](int socket) { serve(socket); })) return false;
  port_.store(listener_.port());
  running_.store(true);
  return listener_.start();
}

void LegacyServer::stop() {
  if (!running_.exchange(false)) return;
  listener_.stop();
  port_.store(0);
}

void LegacyServer::dropConnections() {
  listener_.dropConnections();
}

std::string LegacyServer::lastError() const {
  return listener_.error();
}

void LegacyServer::serve(int socket) {
  bool loggedIn = false;
  std::uint64_t number = 0;
  std::array<std::uint8_t, kCommand> command{};
  while (running_.load() && readAll(socket, command.data(), command.size())) {
    const std::uint32_t code = static_cast<std::uint32_t>(command[0]) << 24 |
                               static_cast<std::uint32_t>(command[1]) << 16 |
                               static_cast<std::uint32_t>(command[2]) << 8 | command[3];
    const Options options = options_();
    if (code == kLogin) {
      const std::string user = cString(command.data() + 4, 36);
      const std::size_t passwordAt = 4 + user.size() + 1;
      const std::string password = cString(command.data() + passwordAt, kCommand - passwordAt);
      loggedIn = user == options.user && password == options.password;
      std::array<std::uint8_t, kCommand> answer{};
      putBe32(answer.data(), loggedIn ? kLoginAccepted : kLoginRefused);
      putBe16(answer.data() + 40, options.pictureWidth);
      putBe16(answer.data() + 42, options.pictureHeight);
      const std::string name = "camsim legacy";
      std::memcpy(answer.data() + 44, name.data(), name.size());
      answer[88] = static_cast<std::uint8_t>(options.modelId);
      answer[89] = static_cast<std::uint8_t>(options.vendorId);
      if (!writeAll(socket, answer.data(), answer.size()) || !loggedIn) break;
      continue;
    }
    if (code != kPictureRequest || !loggedIn) break;

    ++number;
    const auto pictures = pictures_(options);
    if (!pictures || pictures->empty()) break;
    const std::string& picture = (*pictures)[number % pictures->size()];
    const std::uint32_t every = std::max<std::uint32_t>(options.streamFaultEvery, 1);
    const bool faulty = options.streamFault != StreamFault::None && number % every == 0;
    std::string body = picture;
    if (faulty && options.streamFault == StreamFault::ZeroLength) body.clear();
    if (faulty && options.streamFault == StreamFault::HugeLength) body.assign(kHugeLength, 'x');

    std::array<std::uint8_t, kHeader> header{};
    putBe32(header.data(), static_cast<std::uint32_t>(number));
    putBe32(header.data() + 4, static_cast<std::uint32_t>(body.size()));
    putBe16(header.data() + 8, options.pictureWidth);
    putBe16(header.data() + 10, options.pictureHeight);
    header[12] =
        static_cast<std::uint8_t>(std::clamp<std::uint32_t>(options.framesPerSecond, 1, 255));
    header[14] = options.motionEvery != 0 && number % options.motionEvery == 0 ? 1 : 0;
    if (!writeAll(socket, header.data(), header.size()) ||
        !writeAll(socket, body.data(), body.size())) {
      break;
    }
  }
}

}  // namespace ipcam::camsim
