#include "protocols/client_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/tcp_connect.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// Header names are ASCII; the locale has no say in how they compare.
char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The socket's own receive time-out, which bounds a wait as it would bound a blocking recv.
std::chrono::milliseconds receiveTimeout(int fd) {
  timeval timeout{};
  socklen_t length = sizeof timeout;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length) != 0) return 0ms;
  return std::chrono::seconds(timeout.tv_sec) +
         std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::microseconds(timeout.tv_usec));
}

std::optional<IoClock::time_point> earlier(std::optional<IoClock::time_point> deadline,
                                           std::chrono::milliseconds limit) {
  if (limit <= 0ms) return deadline;
  const IoClock::time_point end = IoClock::now() + limit;
  return deadline ? std::min(*deadline, end) : end;
}

bool passed(const std::optional<IoClock::time_point>& end) {
  return end && IoClock::now() >= *end;
}

}  // namespace

ssize_t receiveSome(int fd, std::uint8_t* data, std::size_t size, const IoLimits& limits,
                    std::size_t* calls) {
  const bool limited = limits.runFlag != nullptr || limits.deadline.has_value();
  for (;;) {
    // A peer that keeps sending one byte at a time must not outlast the step's deadline.
    if (passed(limits.deadline)) {
      errno = EAGAIN;
      return -1;
    }
    if (calls != nullptr) ++*calls;
    const ssize_t received = ::recv(fd, data, size, limited ? MSG_DONTWAIT : 0);
    if (received >= 0) return received;
    if (errno == EINTR) continue;
    if (!limited || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    if (!waitUntilReadable(fd, limits)) return -1;
  }
}

namespace {

ssize_t sendSome(int fd, const std::uint8_t* data, std::size_t size) {
  for (;;) {
    // A camera that hung up must cost an error code, not the process.
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent;
  }
}

}  // namespace

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void TcpSocket::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int TcpSocket::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

IoLimits IoLimits::within(std::uint32_t timeoutMs, const HttpRunFlag* runFlag) {
  IoLimits limits{runFlag, std::nullopt};
  if (timeoutMs > 0) limits.deadline = IoClock::now() + std::chrono::milliseconds(timeoutMs);
  return limits;
}

int ConnectTcp(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs, TcpSocket& slot,
               const HttpRunFlag* runFlag) {
  return connectWithin(host, port, timeoutMs, slot, IoLimits::untilStopped(runFlag));
}

int connectWithin(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
                  TcpSocket& slot, const IoLimits& limits) {
  slot.reset();
  const auto setTimeouts = [timeoutMs](int fd) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
  };
  const platform::ConnectLimits connectLimits{std::chrono::milliseconds(timeoutMs), limits.deadline,
                                              limits.runFlag};
  const platform::Connection connection =
      platform::connectTcp(host, port, connectLimits, setTimeouts);
  switch (connection.outcome) {
    case platform::ConnectOutcome::Connected:
      slot.reset(connection.fd);
      return 0;
    case platform::ConnectOutcome::NoHost:
      return -1;
    case platform::ConnectOutcome::NoSocket:
      return -2;
    case platform::ConnectOutcome::NotPrepared:
      return -3;
    default:
      return -4;
  }
}

bool waitUntilReadable(int fd, const IoLimits& limits) {
  return platform::waitForSocket(fd, POLLIN, limits.runFlag,
                                 earlier(limits.deadline, receiveTimeout(fd)));
}

IoResult receiveExactly(int fd, std::span<std::uint8_t> buffer, const IoLimits& limits) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t received = receiveSome(fd, buffer.data() + done, buffer.size() - done, limits);
    if (received == 0) return IoResult::Closed;
    if (received < 0) return IoResult::Failed;
    done += static_cast<std::size_t>(received);
  }
  return IoResult::Done;
}

IoResult sendExactly(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = sendSome(fd, bytes.data() + done, bytes.size() - done);
    if (sent == 0) return IoResult::Closed;
    if (sent < 0) return IoResult::Failed;
    done += static_cast<std::size_t>(sent);
  }
  return IoResult::Done;
}

int receiveUntil(int fd, std::span<std::uint8_t> buffer, std::string_view terminator,
                 const IoLimits& limits, std::size_t& received) {
  received = 0;
  for (;;) {
    if (received == buffer.size()) return -6;
    const ssize_t got = receiveSome(fd, buffer.data() + received, 1, limits);
    if (got == 0) return -4;
    if (got < 0) return -5;
    ++received;
    if (textOf(buffer.first(received)).ends_with(terminator)) return 0;
  }
}

int exchangeWithin(int socket, std::span<const std::uint8_t> request,
                   std::span<std::uint8_t> response, std::string_view terminator,
                   std::string_view expected, const IoLimits& limits, std::size_t& received) {
  received = 0;
  if (socket < 0) return -1;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t count = sendSome(socket, request.data() + sent, request.size() - sent);
    if (count == 0) return -2;
    if (count < 0) return -3;
    sent += static_cast<std::size_t>(count);
  }
  if (response.empty()) return static_cast<int>(sent);

  if (!terminator.empty()) {
    const int result = receiveUntil(socket, response, terminator, limits, received);
    if (result < 0) return result;
  } else {
    while (received < response.size()) {
      const ssize_t count =
          receiveSome(socket, response.data() + received, response.size() - received, limits);
      if (count == 0) return -4;
      if (count < 0) return -5;
      received += static_cast<std::size_t>(count);
    }
  }
  if (expected.empty()) return static_cast<int>(received);
  const std::size_t offset = textOf(response.first(received)).find(expected);
  return offset == std::string_view::npos ? -7 : static_cast<int>(offset);
}

int ExchangeHttp(int socket, std::span<const std::uint8_t> request,
                 std::span<std::uint8_t> response, std::string_view terminator,
                 std::string_view expected, const HttpRunFlag* runFlag) {
  std::size_t received = 0;
  return exchangeWithin(socket, request, response, terminator, expected,
                        IoLimits::untilStopped(runFlag), received);
}

// ---- Texts -------------------------------------------------------------------------------

std::uint32_t tickMs() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(IoClock::now().time_since_epoch())
          .count());
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

std::size_t findNoCase(std::string_view text, std::string_view part, std::size_t from) {
  for (std::size_t at = from; at + part.size() <= text.size(); ++at) {
    if (startsWithNoCase(text.substr(at), part)) return at;
  }
  return std::string_view::npos;
}

std::string_view limited(std::string_view text, std::size_t limit) {
  return text.substr(0, std::min(text.size(), limit));
}

std::string_view textOf(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::optional<HeaderField> findHeaderField(std::string_view block, std::string_view name,
                                           std::size_t from) {
  constexpr std::string_view kOptionalWhiteSpace = " \t";
  std::size_t start = from;
  while (start < block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && equalsNoCase(line.substr(0, colon), name)) {
      std::string_view value = line.substr(colon + 1);
      const std::size_t first = value.find_first_not_of(kOptionalWhiteSpace);
      value = first == std::string_view::npos ? std::string_view() : value.substr(first);
      value = value.substr(0, value.find_last_not_of(kOptionalWhiteSpace) + 1);
      return HeaderField{value, start, end + 1};
    }
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace ipcam
