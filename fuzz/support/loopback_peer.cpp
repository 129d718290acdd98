#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace ipcam::fuzz {
namespace {

// A client that has said nothing for this long is reading, not asking (a stream after its
// answer): it gets the rest of the script at once. Long enough for a client under the
// sanitizers to send its next request, short enough to keep the runs fast.
constexpr int kRequestWaitMs = 20;
// A client that neither reads nor closes for this long is stuck; the peer lets it go.
constexpr int kCloseWaitMs = 5000;

[[noreturn]] void harnessFailure(const char* what) {
  std::perror(what);
  std::abort();
}

// A closed client must not kill the harness while the peer is still writing.
void ignoreBrokenPipes() {
  static const bool done = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

enum class Heard { Request, Quiet, Closed };

// Reads what the client sends until it ends a line.
Heard awaitRequest(int fd) {
  std::array<char, 4096> chunk{};
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, kRequestWaitMs) == 0) return Heard::Quiet;
    const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (got <= 0) return Heard::Closed;
    if (chunk[static_cast<std::size_t>(got) - 1] == '\n') return Heard::Request;
  }
}

void drainUntilClosed(int fd) {
  std::array<char, 4096> chunk{};
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, kCloseWaitMs) == 0) return;
    if (::recv(fd, chunk.data(), chunk.size(), 0) <= 0) return;
  }
}

std::uint16_t localPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    harnessFailure("getsockname");
  }
  return ntohs(address.sin_port);
}

std::uint16_t remotePort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

FedSocket::FedSocket(std::span<const std::uint8_t> bytes) {
  ignoreBrokenPipes();
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    harnessFailure("socketpair");
  }
  reader_ = pair[0];
  const int writer = pair[1];
  const int room = 1 << 20;
  ::setsockopt(writer, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  ::fcntl(writer, F_SETFL, O_NONBLOCK);
  while (!bytes.empty()) {
    const ssize_t sent = ::send(writer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) break;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  ::close(writer);
}

FedSocket::~FedSocket() {
  if (reader_ >= 0) ::close(reader_);
}

int FedSocket::release() {
  const int fd = reader_;
  reader_ = -1;
  return fd;
}

LoopbackPeer::LoopbackPeer(bool speaksFirst) : speaksFirst_(speaksFirst) {
  ignoreBrokenPipes();
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) harnessFailure("socket");
  const sockaddr_in address = loopback(0);
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    harnessFailure("bind/listen on 127.0.0.1");
  }
  port_ = localPort(listener_);
}

LoopbackPeer::~LoopbackPeer() {
  ::close(listener_);
}

void LoopbackPeer::run(const std::vector<std::string_view>& turns,
                       const std::function<void()>& client) {
  // The run ends with a connection of the harness's own: everything the peer accepted before
  // it belonged to this run, so no connection of one input is ever served another's bytes.
  std::atomic<std::uint16_t> endMark{0};
  std::thread peer([&] {
    std::size_t next = 0;
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) harnessFailure("accept");
      if (endMark.load() != 0 && remotePort(fd) == endMark.load()) {
        ::close(fd);
        return;
      }
      Heard heard = speaksFirst_ ? Heard::Request : awaitRequest(fd);
      while (heard != Heard::Closed && next < turns.size()) {
        sendAll(fd, turns[next++]);
        if (heard == Heard::Quiet) continue;
        if (next < turns.size()) heard = awaitRequest(fd);
      }
      if (heard != Heard::Closed) {
        ::shutdown(fd, SHUT_WR);
        drainUntilClosed(fd);
      }
      // Closed at once, without a TIME_WAIT left behind for every input.
      const linger abort{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      ::close(fd);
    }
  });

  client();

  const int mark = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in any = loopback(0);
  const sockaddr_in target = loopback(port_);
  if (mark < 0 || ::bind(mark, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    harnessFailure("end mark");
  }
  endMark.store(localPort(mark));
  if (::connect(mark, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    harnessFailure("connect end mark");
  }
  peer.join();
  ::close(mark);
}

}  // namespace ipcam::fuzz
