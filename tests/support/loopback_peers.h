#pragma once

// Peers on 127.0.0.1 that a connect meets: a port nobody listens on, and a listener whose
// backlog is full, so that the kernel drops further connection requests unanswered and a
// connect waits as it would for a host that is down.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <utility>

namespace ipcam::testing {

class LoopbackFd {
 public:
  explicit LoopbackFd(int fd = -1) : fd_(fd) {}
  LoopbackFd(LoopbackFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LoopbackFd& operator=(LoopbackFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  LoopbackFd(const LoopbackFd&) = delete;
  LoopbackFd& operator=(const LoopbackFd&) = delete;
  ~LoopbackFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

inline sockaddr_in loopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A UDP port nobody on this machine uses right now, so that parallel runs keep apart.
inline std::uint16_t freeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopbackAddress(0);
  socklen_t size = sizeof address;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A socket bound to a free loopback port, listening with `backlog` unless it is negative (a
// bound port that refuses every connection). Invalid when the port cannot be had.
inline LoopbackFd boundLoopbackSocket(int backlog, std::uint16_t& port) {
  LoopbackFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      (backlog >= 0 && ::listen(fd.get(), backlog) != 0) ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return LoopbackFd();
  }
  port = ntohs(address.sin_port);
  return fd;
}

// A listener that never accepts, its backlog filled by two connections of its own.
class FullBacklog {
 public:
  FullBacklog() : listener_(boundLoopbackSocket(0, port_)) {
    const sockaddr_in address = loopbackAddress(port_);
    for (LoopbackFd& filler : fillers_) {
      filler = LoopbackFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      ::connect(filler.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    pollfd first{fillers_[0].get(), POLLOUT, 0};
    full_ = listener_.get() >= 0 && ::poll(&first, 1, 5000) == 1;
  }
  // False when the first filler did not get through, so the backlog may not be full.
  bool full() const { return full_; }
  std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_ = 0;
  LoopbackFd listener_;
  std::array<LoopbackFd, 2> fillers_;
  bool full_ = false;
};

}  // namespace ipcam::testing
