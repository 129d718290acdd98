#pragma once

// A tiny TCP server on 127.0.0.1 for the camera client tests: connection i plays script i
// (later connections are closed at once), and every request header it reads is kept, so a
// test can check the exact bytes the client sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ipcam::testing {

// A TCP listener on 127.0.0.1 with a port the system chooses (written to `port`); -1 when it
// could not be made.
inline int listenOnLoopback(int backlog, std::uint16_t& port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, backlog) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener >= 0) ::close(listener);
    return -1;
  }
  port = ntohs(address.sin_port);
  return listener;
}

class ScriptedServer {
 public:
  class Connection {
   public:
    Connection(int fd, ScriptedServer& server) : fd_(fd), server_(server) {}

    // Reads one request header, up to and with its empty line; false when the peer went.
    bool readRequest() {
      std::string header;
      char c = 0;
      while (!header.ends_with("\r\n\r\n")) {
        if (!receive(&c, 1)) return false;
        header += c;
      }
      std::lock_guard lock(server_.mutex_);
      server_.requests_.push_back(std::move(header));
      return true;
    }
    // Reads exactly `count` bytes; empty when the peer went first.
    std::string readBytes(std::size_t count) {
      std::string bytes(count, '\0');
      for (std::size_t done = 0; done < count; ++done) {
        if (!receive(&bytes[done], 1)) return {};
      }
      return bytes;
    }
    bool send(std::string_view bytes) {
      while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
      }
      return true;
    }
    // Sends one byte every `pause`, as a camera on a failing link might, until all is sent,
    // the peer has gone or the server stops.
    void trickle(std::string_view bytes, std::chrono::milliseconds pause) {
      for (const char c : bytes) {
        if (server_.stopping_.load() || !send(std::string_view(&c, 1))) return;
        std::this_thread::sleep_for(pause);
      }
    }
    bool stopping() const { return server_.stopping_.load(); }
    int fd() const { return fd_; }
    // Keeps the connection open until the peer closes it or the server stops.
    void hold() {
      char c = 0;
      while (receive(&c, 1)) {
      }
    }

   private:
    // What the peer sent before it went or the server stopped is still read.
    bool receive(char* c, std::size_t size) {
      for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 20) > 0) return ::recv(fd_, c, size, 0) > 0;
        if (server_.stopping_.load()) return false;
      }
    }

    int fd_;
    ScriptedServer& server_;
  };
  using Script = std::function<void(Connection&)>;

  explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    listener_ = listenOnLoopback(8, port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() { stop(); }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Ends the script being played and closes the listener: the camera has gone away.
  void stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }

  std::uint16_t port() const { return port_; }
  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::chrono::steady_clock::time_point> acceptTimes() const {
    std::lock_guard lock(mutex_);
    return acceptTimes_;
  }

 private:
  void serve() {
    std::size_t next = 0;
    while (!stopping_.load()) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      {
        std::lock_guard lock(mutex_);
        acceptTimes_.push_back(std::chrono::steady_clock::now());
      }
      if (next < scripts_.size()) {
        Connection connection(fd, *this);
        scripts_[next](connection);
      }
      ++next;
      ::close(fd);
    }
  }

  const std::vector<Script> scripts_;  // written before the thread starts
  int listener_ = -1;                  // the owning thread only
  std::uint16_t port_ = 0;             // written before the thread starts
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;                               // guarded by mutex_
  std::vector<std::chrono::steady_clock::time_point> acceptTimes_;  // guarded by mutex_
};

// A part of a picture stream: boundary line, header lines, the data and the closing CRLF.
inline std::string streamPart(std::string_view data, std::string_view extraHeaders = {}) {
  return "--myboundary\r\nContent-Type: image/jpeg\r\n" + std::string(extraHeaders) +
         "Content-Length: " + std::to_string(data.size()) + "\r\n\r\n" + std::string(data) + "\r\n";
}

inline constexpr std::string_view kStreamOk =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=myboundary\r\n\r\n";

// A multipart answer that declares no boundary: parts must then say their length.
inline constexpr std::string_view kStreamOkWithoutBoundary =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace\r\n\r\n";

// A script that answers the request with `answer` and then closes.
inline ScriptedServer::Script answerWith(std::string answer) {
  return [answer = std::move(answer)](ScriptedServer::Connection& connection) {
    if (connection.readRequest()) connection.send(answer);
  };
}

// A script that opens the picture stream, sends `parts` and holds the connection.
inline ScriptedServer::Script streamWith(std::string parts, std::string_view answer = kStreamOk) {
  return [parts = std::move(parts), answer](ScriptedServer::Connection& connection) {
    if (!connection.readRequest()) return;
    connection.send(answer);
    connection.send(parts);
    connection.hold();
  };
}

}  // namespace ipcam::testing
