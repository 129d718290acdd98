#pragma once

// The receiving side of one HTTP connection: bytes come off the socket in large receives into
// a buffer and are parsed from there, the answer's chunked transfer coding is undone on the
// way, and a multipart body can be read up to its next boundary.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/client_io.h"

namespace ipcam {

// The boundary of a multipart body, as its Content-Type declares it. Cameras disagree about
// the leading dashes: some declare "--myboundary" and write exactly that between the parts,
// others declare "myboundary" and write "--myboundary" as the standard has it. Both are a
// line break, two or more dashes and the declared name without its own leading dashes.
class MultipartBoundary {
 public:
  // The boundary parameter of a Content-Type value (quoted or not); nothing without one.
  static std::optional<MultipartBoundary> fromContentType(std::string_view contentType);

  // Where the delimiter ("\r\n--name") starts in `text`; npos when it is not there.
  std::size_t findIn(std::string_view text) const;
  // Where a delimiter that `text` ends with the beginning of starts; npos when none does.
  std::size_t partialAtEnd(std::string_view text) const;

  const std::string& name() const { return name_; }

 private:
  explicit MultipartBoundary(std::string name) : name_(std::move(name)) {}
  // The declared name without its leading dashes; never empty.
  std::string name_;
};

// One connection's receiving side: bytes come off the socket in receives of up to kBufferSize
// and every step parses from what is buffered, so whatever arrived behind a header, a part or
// a packet is still there for the next step. The RTSP client reads its answers and its
// interleaved packets through it as well (it never sets the chunked coding).
class HttpStreamReader {
 public:
  // Results besides 0; the numbers are those of the shared exchange (ExchangeHttp).
  static constexpr int kClosed = -4;     // the peer closed, or the chunked body ended
  static constexpr int kFailed = -5;     // a receive error, time-out or limit
  static constexpr int kTooLong = -6;    // the limit or the caller's buffer came first
  static constexpr int kBadCoding = -8;  // a malformed chunk size or chunk end

  static constexpr std::size_t kBufferSize = 64 * 1024;
  // The longest chunk-size line (with its extensions) or trailer line taken.
  static constexpr std::size_t kLineLimit = 4096;

  // Reads from `fd` from now on; whatever was buffered from an earlier connection is dropped
  // and the body is read as it comes until setChunked says otherwise.
  void attach(int fd);
  int fd() const { return fd_; }

  // Reads an answer's header, up to and with its empty line, as the connection delivers it
  // (before any transfer coding), at most `limit` bytes. 0 or kClosed, kFailed, kTooLong;
  // `header` holds what was read either way.
  int readAnswerHeader(std::size_t limit, const IoLimits& limits, std::string& header);

  // Whether the body that follows the answer header is chunked.
  void setChunked(bool chunked);

  // Reads the body up to and with `terminator`, at most `limit` bytes (at most kBufferSize).
  // 0 or kClosed, kFailed, kTooLong, kBadCoding; `text` holds what was read either way.
  int readUntil(std::string_view terminator, std::size_t limit, const IoLimits& limits,
                std::string& text);
  // Reads exactly the buffer's size of the body. 0 or kClosed, kFailed, kBadCoding.
  int readExactly(std::span<std::uint8_t> out, const IoLimits& limits);
  // Passes over `count` bytes of the body. 0 or kClosed, kFailed, kBadCoding.
  int skip(std::size_t count, const IoLimits& limits);
  // Reads the body up to the next boundary delimiter, which stays unread. 0 with `used`
  // bytes in `out`; kTooLong when `out` fills up first (what is left of the part is then
  // skipped up to the delimiter, so that the next part can be read), kClosed, kFailed,
  // kBadCoding.
  int readUntilBoundary(const MultipartBoundary& boundary, std::span<std::uint8_t> out,
                        const IoLimits& limits, std::size_t& used);

  // Receives until at least `count` bytes of the body (at most kBufferSize) are buffered, so
  // that they can be looked at before they are taken. 0 or kClosed, kFailed, kBadCoding.
  int fill(std::size_t count, const IoLimits& limits);
  // The body bytes buffered and not yet taken.
  std::span<const std::uint8_t> buffered() const;
  // Takes `count` of the buffered body bytes (at most as many as are buffered).
  void consume(std::size_t count);

  // How many recv calls this reader has made: a measure, for the tests.
  std::size_t receiveCalls() const { return receiveCalls_; }

 private:
  enum class ChunkState { Size, Data, DataEnd, Trailer, Done };

  std::size_t rawAvailable() const { return rawEnd_ - rawBegin_; }
  std::string_view bodyText() const { return textOf(buffered()); }
  // One receive of up to `size` bytes: >0 the count, 0 the peer closed, -1 an error or a limit.
  long receive(std::uint8_t* data, std::size_t size, const IoLimits& limits);
  // Receives more raw bytes: >0 the count, 0 the peer closed, -1 an error or a limit.
  long fillRaw(const IoLimits& limits);
  // Makes more body bytes available: >0 the count, or kClosed, kFailed, kTooLong (the buffer
  // is full), kBadCoding.
  int pullBody(const IoLimits& limits);
  int pullChunked(const IoLimits& limits);
  // The next CRLF (or LF) line of the raw bytes, without its end; 0 or an error as pullBody.
  int takeLine(const IoLimits& limits, std::string& line);

  int fd_ = -1;
  // Bytes as received. Without a transfer coding they are the body as well.
  std::vector<std::uint8_t> raw_;
  std::size_t rawBegin_ = 0;
  std::size_t rawEnd_ = 0;
  // A chunked body with its coding undone; made for the first chunked answer.
  std::vector<std::uint8_t> body_;
  std::size_t bodyBegin_ = 0;
  std::size_t bodyEnd_ = 0;
  bool chunked_ = false;
  ChunkState chunkState_ = ChunkState::Size;
  std::uint64_t chunkLeft_ = 0;
  // The last receive took all there was: the next one waits for the socket first.
  bool drained_ = false;
  std::size_t receiveCalls_ = 0;
};

// Sends `request` whole and reads the answer's header (at most `limit` bytes) through the
// connection's reader, which keeps what arrived behind it. The codes of the shared exchange
// (ExchangeHttp): the offset of `expected` in the header, without an expected text the
// header's length; -1 no socket, -2/-3 send gave 0/-1, -4 peer closed, -5 receive error or a
// limit, -6 no empty line within the limit, -7 `expected` is missing. `answer` holds what of
// the header arrived either way.
int exchangeThrough(HttpStreamReader& reader, int fd, std::string_view request, std::size_t limit,
                    std::string_view expected, const IoLimits& limits, std::string& answer);

}  // namespace ipcam
