#include "platform/tcp_connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <string>

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;

// How often a wait looks at its run flag when the flag could not give a stop descriptor.
constexpr int kRunFlagCheckMs = 50;

std::optional<SocketClock::time_point> endOf(const ConnectLimits& limits) {
  if (limits.timeout <= 0ms) return limits.deadline;
  const SocketClock::time_point end = SocketClock::now() + limits.timeout;
  return limits.deadline ? std::min(*limits.deadline, end) : end;
}

ConnectOutcome connectSocket(int fd, const sockaddr_in& address, const ConnectLimits& limits) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return ConnectOutcome::NoNonBlocking;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return ConnectOutcome::Failed;
    if (!waitForSocket(fd, POLLOUT, limits.runFlag, endOf(limits))) {
      if (errno == ECANCELED) return ConnectOutcome::Stopped;
      return errno == EAGAIN ? ConnectOutcome::TimedOut : ConnectOutcome::WaitFailed;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return ConnectOutcome::Refused;
    }
  }
  if (!limits.keepNonBlocking && ::fcntl(fd, F_SETFL, flags) != 0) {
    return ConnectOutcome::NoNonBlocking;
  }
  return ConnectOutcome::Connected;
}

}  // namespace

std::optional<in_addr> resolveIpv4(std::string_view host) {
  if (host.empty()) return std::nullopt;
  const std::string text(host);
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) == 1) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return address;
}

Connection connectTcp(std::string_view host, std::uint16_t port, const ConnectLimits& limits,
                      const std::function<bool(int fd)>& prepare) {
  const std::optional<in_addr> resolved = resolveIpv4(host);
  if (!resolved) return {ConnectOutcome::NoHost, -1};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr = *resolved;

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {ConnectOutcome::NoSocket, -1};
  ConnectOutcome outcome = ConnectOutcome::NotPrepared;
  if (!prepare || prepare(fd)) outcome = connectSocket(fd, address, limits);
  if (outcome != ConnectOutcome::Connected) {
    ::close(fd);
    return {outcome, -1};
  }
  return {outcome, fd};
}

bool waitForSocket(int fd, short events, const RunFlag* runFlag,
                   std::optional<SocketClock::time_point> end) {
  // The flag's stop descriptor wakes the poll the moment the flag drops. Without one (the
  // system gave none) the wait looks at the flag in slices.
  const int stopFd = runFlag != nullptr ? runFlag->stopDescriptor() : -1;
  for (;;) {
    if (runFlag != nullptr && runFlag->load() == 0) {
      errno = ECANCELED;
      return false;
    }
    int slice = runFlag != nullptr && stopFd < 0 ? kRunFlagCheckMs : -1;
    if (end) {
      const auto remaining =
          std::chrono::ceil<std::chrono::milliseconds>(*end - SocketClock::now());
      if (remaining <= 0ms) {
        errno = EAGAIN;
        return false;
      }
      const int left = static_cast<int>(std::min<std::int64_t>(remaining.count(), INT_MAX));
      slice = slice < 0 ? left : std::min(slice, left);
    }
    std::array<pollfd, 2> entries{pollfd{fd, events, 0}, pollfd{stopFd, POLLIN, 0}};
    const int ready = ::poll(entries.data(), stopFd >= 0 ? 2 : 1, slice);
    if (ready > 0 && entries[0].revents != 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace ipcam::platform
