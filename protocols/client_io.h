#pragma once

// What the HTTP camera client and the RTSP client share: the owned socket, the connect, the
// receives that a run flag and a deadline can cut short, the request/answer exchange, header
// lookup by name, and the dispatch that wraps every request of either client.
#include <sys/types.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/run_flag.h"

namespace ipcam {

// An owned POSIX socket; -1 when there is none.
class TcpSocket {
 public:
  TcpSocket() = default;
  explicit TcpSocket(int fd) : fd_(fd) {}
  TcpSocket(TcpSocket&& other) noexcept : fd_(other.release()) {}
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  ~TcpSocket() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the socket (if any) and takes `fd`.
  void reset(int fd = -1);
  int release();

 private:
  int fd_ = -1;
};

// A worker's run flag. Blocking socket calls also end when it drops, so a stopped worker
// does not sit out a 10-second receive.
using HttpRunFlag = platform::RunFlag;

using IoClock = std::chrono::steady_clock;

// What may end a wait for the peer besides the socket's own time-out: the owner's run flag
// dropping, and the deadline of the whole step (opening a stream, reading a header).
struct IoLimits {
  const HttpRunFlag* runFlag = nullptr;
  std::optional<IoClock::time_point> deadline;

  // The limits of a step that may take `timeoutMs` in all (0: no deadline).
  static IoLimits within(std::uint32_t timeoutMs, const HttpRunFlag* runFlag);
  // Only the run flag (and the socket's own time-out per receive).
  static IoLimits untilStopped(const HttpRunFlag* runFlag) { return {runFlag, std::nullopt}; }
};

// Connects a fresh IPv4 stream socket to host:port into `slot` (its old socket is closed
// first), with SO_SNDTIMEO and SO_RCVTIMEO of timeoutMs. The connect itself waits at most
// timeoutMs (0: no limit) and ends as soon as `runFlag` drops. 0, or -1 host not resolved,
// -2 no socket, -3 a time-out option not set, -4 the connection failed, timed out or was
// given up (the slot is then empty).
int ConnectTcp(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs, TcpSocket& slot,
               const HttpRunFlag* runFlag = nullptr);
// The same, ending at the limits' deadline as well.
int connectWithin(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
                  TcpSocket& slot, const IoLimits& limits);

// Sends `request` whole, then (with a response buffer) reads a response: byte by byte up to
// `terminator` when one is given, else until the buffer is full. Returns the offset of
// `expected` in what was read (or -7 without it), without an expected text the count read,
// without a response buffer the count sent; -1 no socket, -2/-3 send gave 0/-1, -4/-5 receive
// gave 0/-1, -6 the buffer filled up before the terminator. With a run flag, a receive also
// fails as soon as the flag drops.
int ExchangeHttp(int socket, std::span<const std::uint8_t> request,
                 std::span<std::uint8_t> response, std::string_view terminator,
                 std::string_view expected, const HttpRunFlag* runFlag = nullptr);
// ExchangeHttp within `limits` (a passed deadline is a receive error, -5); `received` tells
// how many bytes of the answer were read, also when it fails.
int exchangeWithin(int socket, std::span<const std::uint8_t> request,
                   std::span<std::uint8_t> response, std::string_view terminator,
                   std::string_view expected, const IoLimits& limits, std::size_t& received);

// Waits until the socket has something to read. False when the socket's own receive time-out
// passes or the deadline does (errno EAGAIN), or as soon as the run flag drops (ECANCELED).
bool waitUntilReadable(int fd, const IoLimits& limits);

// recv() as the camera code expects it (0 peer closed, -1 error or time-out), which with
// limits also gives up as soon as the run flag drops or the deadline passes. Every recv call
// it makes is counted into `calls` when one is given.
ssize_t receiveSome(int fd, std::uint8_t* data, std::size_t size, const IoLimits& limits,
                    std::size_t* calls = nullptr);

enum class IoResult { Done, Closed, Failed };

// Receives exactly the buffer's size; Failed also when a limit ends the wait.
IoResult receiveExactly(int fd, std::span<std::uint8_t> buffer, const IoLimits& limits);
IoResult sendExactly(int fd, std::span<const std::uint8_t> bytes);
// Reads byte by byte until `terminator` ends what was read, so nothing behind it is
// consumed. 0, or -4 peer closed, -5 receive error or a limit passed, -6 the buffer filled
// up first; `received` counts what was read either way.
int receiveUntil(int fd, std::span<std::uint8_t> buffer, std::string_view terminator,
                 const IoLimits& limits, std::size_t& received);

// ---- Texts -------------------------------------------------------------------------------

std::uint32_t tickMs();
bool contains(std::string_view text, std::string_view part);
bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);
// Where `part` first occurs, matched without regard to case; npos when it does not.
std::size_t findNoCase(std::string_view text, std::string_view part, std::size_t from = 0);
std::string_view limited(std::string_view text, std::size_t limit);
std::string_view textOf(std::span<const std::uint8_t> bytes);
std::span<const std::uint8_t> bytesOf(std::string_view text);

// One "name: value" line of a header block.
struct HeaderField {
  std::string_view value;  // without the white space around it
  std::size_t lineStart;   // offset of the line in the block
  std::size_t nextLine;    // offset of the line after it
};

// The first line of `block` (an HTTP or RTSP header block, or a picture part's header), from
// the line that starts at `from` on, whose field name is `name`; names are matched without
// regard to case, as HTTP and RTSP define them. Lines without a colon (the status line, a
// boundary line) are passed over.
std::optional<HeaderField> findHeaderField(std::string_view block, std::string_view name,
                                           std::size_t from = 0);

bool isSpace(char c);

// The leading decimal number of a text: white space, an optional sign, digits (as "%d" reads
// it); nothing when it is missing or out of range.
template <typename Number>
std::optional<Number> leadingNumber(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  if (text.starts_with('+')) text.remove_prefix(1);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc()) return std::nullopt;
  return value;
}

// ---- Request dispatch --------------------------------------------------------------------

// The command byte of both clients' requests (Transfer is the RTSP client's Read).
inline constexpr std::uint8_t kCommandQuery = 0;
inline constexpr std::uint8_t kCommandClose = 1;
inline constexpr std::uint8_t kCommandOpen = 2;
inline constexpr std::uint8_t kCommandTransfer = 3;

// The stage a client command failed in: the step's own code is moved down by the stage, so
// that -1015 reads "Open, step -15" and -2014 "Transfer, step -14" in logs and traces.
enum class CommandStage : int { kOpen = 1000, kTransfer = 2000 };

// A step's failure code as the command reports it.
constexpr int failureIn(CommandStage stage, int stepCode) {
  return stepCode - static_cast<int>(stage);
}

// The wrapper both clients put around their steps: commands above Transfer do nothing;
// Transfer failures are moved by 2000; a failed Open is followed by a Close of the same
// channel (its socket is closed), moved by 1000, and the command is set back to Open.
// `openOrClose` runs Query, Close or Open as `command` says at the time of the call.
template <class Transfer, class OpenOrClose>
int dispatchCommand(std::uint8_t& command, Transfer&& transfer, OpenOrClose&& openOrClose) {
  if (command > kCommandTransfer) return 0;
  if (command == kCommandTransfer) {
    const int result = transfer();
    return result < 0 ? failureIn(CommandStage::kTransfer, result) : result;
  }
  int result = openOrClose();
  if (command == kCommandOpen && result < 0) {
    command = kCommandClose;
    openOrClose();
    command = kCommandOpen;
    result = failureIn(CommandStage::kOpen, result);
  }
  return result;
}

// Runs `call` and writes how long it took into the request's elapsedMs.
template <class Request, class Call>
int timedRequest(Request& request, Call&& call) {
  const std::uint32_t start = tickMs();
  const int result = call();
  request.elapsedMs = tickMs() - start;
  return result;
}

}  // namespace ipcam
