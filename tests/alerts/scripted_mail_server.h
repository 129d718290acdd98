#pragma once

// A mail server played by a script: the test says what the server sends and reads what the
// client wrote, line by line, on 127.0.0.1. Enough for the replies no real server sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ipcam::testing {

class MailSession {
 public:
  explicit MailSession(int fd) : fd_(fd) {}

  bool send(std::string_view text) {
    while (!text.empty()) {
      const ssize_t sent = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // One line without its CR LF; empty with ok=false when the client went away or the generous
  // limit passed.
  std::string readLine(bool* ok = nullptr,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const std::size_t end = pending_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        if (ok != nullptr) *ok = true;
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd entry{fd_, POLLIN, 0};
      char chunk[4096];
      ssize_t got = 0;
      if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0 ||
          (got = ::recv(fd_, chunk, sizeof chunk, 0)) <= 0) {
        if (ok != nullptr) *ok = false;
        return {};
      }
      pending_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // The message text after DATA, up to (not including) the lone dot.
  std::string readMessage() {
    std::string message;
    for (bool ok = true; ok;) {
      const std::string line = readLine(&ok);
      if (!ok || line == ".") break;
      message += line + "\r\n";
    }
    return message;
  }

  int fd() const { return fd_; }

 private:
  int fd_;
  std::string pending_;
};

class ScriptedMailServer {
 public:
  using Script = std::function<void(MailSession&)>;

  // Listens at once; the script runs for each client that connects, one after the other.
  explicit ScriptedMailServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener_, 4) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedMailServer() {
    running_.store(false);
    thread_.join();
    ::close(listener_);
  }

  ScriptedMailServer(const ScriptedMailServer&) = delete;
  ScriptedMailServer& operator=(const ScriptedMailServer&) = delete;

  std::uint16_t port() const { return port_; }
  int sessions() const { return sessions_.load(); }

 private:
  void serve() {
    while (running_.load()) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      sessions_.fetch_add(1);
      MailSession session(client);
      script_(session);
      ::close(client);
    }
  }

  Script script_;
  int listener_ = -1;
  std::uint16_t port_ = 0;  // written before the thread starts
  std::atomic<bool> running_{true};
  std::atomic<int> sessions_{0};
  std::thread thread_;
};

// A server that answers each command by its verb from a table; "END" is the reply to the end
// of the message. Whatever the client wrote is kept for the test to look at.
struct SmtpDialog {
  std::string greeting = "220 mail.test ready\r\n";
  std::map<std::string, std::string> replies = {
      {"EHLO", "250-mail.test\r\n250 HELP\r\n"},
      {"MAIL", "250 OK\r\n"},
      {"RCPT", "250 OK\r\n"},
      {"DATA", "354 go ahead\r\n"},
      {"END", "250 queued\r\n"},
      {"QUIT", "221 bye\r\n"},
  };

  std::mutex mutex;
  std::vector<std::string> commands;  // guarded by mutex
  std::string message;                // guarded by mutex

  void play(MailSession& session) {
    session.send(greeting);
    for (bool ok = true;;) {
      const std::string line = session.readLine(&ok);
      if (!ok) return;
      {
        std::lock_guard lock(mutex);
        commands.push_back(line);
      }
      const std::string verb = line.substr(0, line.find_first_of(" :"));
      const auto reply = replies.find(verb);
      if (reply == replies.end()) {
        session.send("500 what\r\n");
        continue;
      }
      session.send(reply->second);
      if (verb == "DATA" && reply->second.starts_with("354")) {
        const std::string text = session.readMessage();
        {
          std::lock_guard lock(mutex);
          message = text;
        }
        session.send(replies["END"]);
      }
      if (verb == "QUIT") return;
    }
  }

  std::vector<std::string> received() {
    std::lock_guard lock(mutex);
    return commands;
  }
  std::string body() {
    std::lock_guard lock(mutex);
    return message;
  }
};

}  // namespace ipcam::testing
