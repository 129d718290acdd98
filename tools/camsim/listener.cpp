#include "tools/camsim/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace ipcam::camsim {

// --- StopSignal --------------------------------------------------------------------------------

StopSignal::StopSignal() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
}

StopSignal::~StopSignal() {
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void StopSignal::raise() {
  if (raised_.exchange(true)) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(pipe_[1], &byte, 1);
}

// --- Listener ----------------------------------------------------------------------------------

Listener::Listener(std::size_t maxConnections) : maxConnections_(maxConnections) {}

Listener::~Listener() {
  stop();
}

bool Listener::listen(std::uint16_t port, int backlog, Serve serve, Mode mode) {
  const auto fail = [this](const char* step, int fd) {
    const std::string text = std::string(step) + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    std::lock_guard lock(mutex_);
    error_ = text;
    return false;
  };
  if (acceptThread_.joinable()) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("socket", fd);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from another machine
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail("bind", fd);
  }
  if (::listen(fd, backlog) != 0) return fail("listen", fd);
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail("getsockname", fd);
  }
  sockets_.push_back({fd, ntohs(address.sin_port), std::move(serve), mode});
  return true;
}

void Listener::closeListeners() {
  if (acceptThread_.joinable()) return;
  for (const Socket& socket : sockets_) ::close(socket.fd);
  sockets_.clear();
}

bool Listener::start() {
  if (acceptThread_.joinable() || stop_.raised() || sockets_.empty()) return false;
  try {
    acceptThread_ = std::thread([this] { acceptLoop(); });
  } catch (const std::system_error& error) {
    std::lock_guard lock(mutex_);
    error_ = std::string("thread: ") + error.what();
    return false;
  }
  return true;
}

void Listener::stop() {
  std::lock_guard stopLock(stopMutex_);
  stop_.raise();
  if (acceptThread_.joinable()) acceptThread_.join();
  closeListeners();

  std::list<Connection> remaining;
  {
    std::lock_guard lock(mutex_);
    for (Connection& connection : connections_) {
      if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
    }
    remaining.swap(connections_);
  }
  for (Connection& connection : remaining) {
    if (connection.thread.joinable()) connection.thread.join();
  }
}

void Listener::dropConnections() {
  std::lock_guard lock(mutex_);
  for (Connection& connection : connections_) {
    if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
  }
}

std::uint16_t Listener::port(std::size_t index) const {
  return index < sockets_.size() ? sockets_[index].port : 0;
}

std::string Listener::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void Listener::acceptLoop() {
  std::vector<pollfd> waiting;
  for (const Socket& socket : sockets_) waiting.push_back({socket.fd, POLLIN, 0});
  waiting.push_back({stop_.fd(), POLLIN, 0});
  for (;;) {
    for (pollfd& entry : waiting) entry.revents = 0;
    const int count = ::poll(waiting.data(), waiting.size(), -1);
    if (stop_.raised()) return;
    if (count <= 0) continue;
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
      if ((waiting[i].revents & POLLIN) != 0) accept(sockets_[i]);
    }
  }
}

void Listener::accept(const Socket& socket) {
  const int fd = ::accept4(socket.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  accepted_.fetch_add(1);
  if (socket.mode == Mode::Inline) {
    socket.serve(fd);
    ::close(fd);
    return;
  }
  // Finished connections are collected here rather than on a timer: only a new one needs
  // their room.
  reapFinished();
  std::lock_guard lock(mutex_);
  if (connections_.size() >= maxConnections_ || stop_.raised()) {
    ::close(fd);
    return;
  }
  Connection& connection = connections_.emplace_back();
  connection.fd = fd;
  try {
    connection.thread = std::thread([this, &connection, fd, serve = socket.serve] {
      serve(fd);
      std::lock_guard ending(mutex_);
      ::close(fd);
      connection.fd = -1;
      connection.done = true;
    });
  } catch (const std::system_error&) {
    ::close(fd);
    connections_.pop_back();
  }
}

void Listener::reapFinished() {
  std::list<Connection> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (Connection& connection : finished) connection.thread.join();
}

}  // namespace ipcam::camsim
