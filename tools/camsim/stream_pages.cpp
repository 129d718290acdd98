// The camera's two endless answers: the multipart picture stream and the GSM audio stream.

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>
#include <utility>

#include "tools/camsim/server.h"
#include "tools/camsim/test_media.h"

namespace ipcam::camsim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One above the viewer's 1,000,000-byte picture buffer: the smallest length it must refuse.
constexpr std::size_t kHugeLength = 1'000'001;
constexpr std::size_t kLongHeaderPadding = 1100;  // the viewer gives up on a header at 1024

template <typename Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Action action_;
};

// Keeps a stream at its rate without drift. A stream that fell more than a period behind (a
// slow reader) carries on from now instead of sending a burst to catch up.
class Pacer {
 public:
  explicit Pacer(Clock::duration period) : period_(period), next_(Clock::now()) {}

  // False when the server stops first.
  template <class Exchange>
  bool wait(const Exchange& exchange) {
    next_ += period_;
    const auto now = Clock::now();
    if (next_ <= now) {
      if (now - next_ > period_) next_ = now;
      return !exchange.stopping();
    }
    return exchange.pause(std::chrono::ceil<std::chrono::milliseconds>(next_ - now));
  }

 private:
  Clock::duration period_;
  Clock::time_point next_;
};

std::string boundaryLine() {
  return "--" + std::string(Server::kStreamBoundary) + "\r\n";
}

std::string partHeader(std::size_t length, bool motion, std::string_view padding = {},
                       bool withLength = true) {
  std::string header = boundaryLine();
  if (!padding.empty()) header += "X-Padding: " + std::string(padding) + "\r\n";
  header += "Content-Type: image/jpeg\r\n";
  if (withLength) header += "Content-Length: " + std::to_string(length) + "\r\n";
  if (motion) header += "Motion-Event: 1\r\n";
  return header + "\r\n";
}

// Printable noise that ends like a header block, and never names a length.
std::string randomHeader(std::mt19937& random) {
  std::uniform_int_distribution<int> lineCount(1, 8);
  std::uniform_int_distribution<int> lineLength(1, 80);
  std::uniform_int_distribution<int> printable(0x20, 0x7e);
  std::string header = boundaryLine();
  for (int line = lineCount(random); line > 0; --line) {
    for (int i = lineLength(random); i > 0; --i)
      header.push_back(static_cast<char>(printable(random)));
    header += "\r\n";
  }
  return header + "\r\n";
}

constexpr std::size_t kJpegMarkerBytes = 2;
constexpr unsigned char kJpegMarker = 0xFF;
constexpr unsigned char kJpegComment = 0xFE;

// The picture with the send-time comment after its start-of-image marker.
std::string stampedPicture(std::string_view picture) {
  if (picture.size() < kJpegMarkerBytes) return std::string(picture);
  const auto sentAt =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
  const std::string text = std::string(kSendTimeComment) + std::to_string(sentAt.count());
  // The segment length counts its own two bytes.
  const std::size_t length = text.size() + 2;
  std::string stamped;
  stamped.reserve(picture.size() + kJpegMarkerBytes + length);
  stamped.append(picture.substr(0, kJpegMarkerBytes));
  stamped.push_back(static_cast<char>(kJpegMarker));
  stamped.push_back(static_cast<char>(kJpegComment));
  stamped.push_back(static_cast<char>(length >> 8));
  stamped.push_back(static_cast<char>(length & 0xFF));
  stamped.append(text);
  stamped.append(picture.substr(kJpegMarkerBytes));
  return stamped;
}

// The picture stream's body on the wire: as it is, or in chunks whose edges do not line up
// with the parts, as a relay in front of a camera may send it.
class BodyWriter {
 public:
  BodyWriter(HttpExchange& exchange, bool chunked) : exchange_(exchange), chunked_(chunked) {}

  bool sendRaw(std::string_view bytes) {
    if (!chunked_) return exchange_.sendRaw(bytes);
    constexpr std::size_t kChunkBytes = 1000;
    while (!bytes.empty()) {
      const std::string_view piece = bytes.substr(0, kChunkBytes);
      std::ostringstream size;
      size << std::hex << piece.size();
      if (!exchange_.sendRaw(size.str() + "\r\n" + std::string(piece) + "\r\n")) return false;
      bytes.remove_prefix(piece.size());
    }
    return true;
  }
  void closeNow() { exchange_.closeNow(); }
  void holdOpen() { exchange_.holdOpen(); }
  bool stopping() const { return exchange_.stopping(); }
  bool pause(std::chrono::milliseconds duration) const { return exchange_.pause(duration); }

 private:
  HttpExchange& exchange_;
  const bool chunked_;
};

// Sends part number `number` (from 1) of the stream. False when the stream is over: the peer
// went away, the server stops, or the part was one that ends it.
bool sendPart(BodyWriter& exchange, const Options& options, std::string_view picture,
              std::uint64_t number) {
  const bool motion = options.motionEvery != 0 && number % options.motionEvery == 0;
  const std::uint32_t faultEvery = std::max<std::uint32_t>(1, options.streamFaultEvery);
  const StreamFault fault = number % faultEvery == 0 ? options.streamFault : StreamFault::None;
  std::mt19937 random(static_cast<std::mt19937::result_type>(number));

  switch (fault) {
    case StreamFault::None:
      break;
    case StreamFault::RandomHeader:
      return exchange.sendRaw(randomHeader(random));
    case StreamFault::TruncatedHeader: {
      const std::string header = partHeader(picture.size(), motion);
      exchange.sendRaw(std::string_view(header).substr(0, header.size() / 2));
      exchange.closeNow();
      return false;
    }
    case StreamFault::LongHeader:
      return exchange.sendRaw(
                 partHeader(picture.size(), motion, std::string(kLongHeaderPadding, 'x'))) &&
             exchange.sendRaw(picture) && exchange.sendRaw("\r\n");
    case StreamFault::ZeroLength:
      return exchange.sendRaw(partHeader(0, motion) + "\r\n");
    case StreamFault::HugeLength:
      return exchange.sendRaw(partHeader(kHugeLength, motion) + "\r\n");
    case StreamFault::Stall:
    case StreamFault::Close:
      if (exchange.sendRaw(partHeader(picture.size(), motion)) &&
          exchange.sendRaw(picture.substr(0, picture.size() / 2))) {
        if (fault == StreamFault::Stall) {
          exchange.holdOpen();
        } else {
          exchange.closeNow();
        }
      }
      return false;
    case StreamFault::CorruptJpeg: {
      // The start-of-image marker stays, so the part still looks like a picture; the tables and
      // frame header after it do not survive.
      std::string corrupt(picture);
      std::uniform_int_distribution<int> byte(0, 255);
      for (std::size_t i = 2; i < 2 + corrupt.size() / 2 && i < corrupt.size(); ++i)
        corrupt[i] = static_cast<char>(byte(random));
      return exchange.sendRaw(partHeader(corrupt.size(), motion)) && exchange.sendRaw(corrupt) &&
             exchange.sendRaw("\r\n");
    }
  }
  return exchange.sendRaw(partHeader(picture.size(), motion, {}, !options.streamWithoutLength)) &&
         exchange.sendRaw(picture) && exchange.sendRaw("\r\n");
}

}  // namespace

std::shared_ptr<const std::vector<std::string>> Server::pictures(const Options& options) {
  std::lock_guard lock(picturesMutex_);
  if (!pictures_ || picturesWidth_ != options.pictureWidth ||
      picturesHeight_ != options.pictureHeight) {
    pictures_ = std::make_shared<const std::vector<std::string>>(
        encodeTestPictures(options.pictureWidth, options.pictureHeight, kPictureCycle));
    picturesWidth_ = options.pictureWidth;
    picturesHeight_ = options.pictureHeight;
  }
  return pictures_;
}

void Server::pictureStream(const HttpRequest& request, HttpExchange& exchange,
                           const Options& options) {
  if (options.streamBusy == StreamBusy::NotAcceptable) {
    exchange.send(HttpResponse::text(
        406, "Not Acceptable", "text/html",
        "<HTML><HEAD><TITLE>406 Not Acceptable</TITLE></HEAD>\r\n"
        "<BODY><H1>406 Not Acceptable</H1>\r\nToo many users.\r\n</BODY></HTML>\r\n"));
    return;
  }

  bool seated = false;
  if (options.streamBusy == StreamBusy::None) {
    std::lock_guard lock(mutex_);
    if (std::uint64_t{options.currentUsers} + openStreams_ < options.maxUsers) {
      ++openStreams_;
      seated = true;
    }
  }
  const ScopeExit leave([this, seated] {
    if (!seated) return;
    std::lock_guard lock(mutex_);
    --openStreams_;
  });

  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=" +
      std::string(kStreamBoundary) + "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n" +
      (options.streamChunked ? "Transfer-Encoding: chunked\r\n" : "") + "Connection: close\r\n\r\n";
  if (!exchange.sendRaw(head) || request.method == "HEAD") return;
  BodyWriter body(exchange, options.streamChunked);

  if (!seated) {
    // A camera that is full says so in the first part, in place of a picture.
    constexpr std::string_view kBusyText = "Too many users\r\n";
    body.sendRaw(boundaryLine() +
                 "Content-Type: text/plain\r\nX-CurrentUsers: Too many users\r\n"
                 "Content-Length: " +
                 std::to_string(kBusyText.size()) + "\r\n\r\n" + std::string(kBusyText) + "\r\n");
    return;
  }

  const auto cycle = pictures(options);
  if (cycle->empty()) return;
  Pacer pacer(std::chrono::duration_cast<Clock::duration>(1s) /
              std::max<std::uint32_t>(1, options.framesPerSecond));
  for (std::uint64_t number = 1;; ++number) {
    const std::string& picture = (*cycle)[(number - 1) % cycle->size()];
    const bool sent = options.stampSendTime
                          ? sendPart(body, options, stampedPicture(picture), number)
                          : sendPart(body, options, picture, number);
    if (!sent || !pacer.wait(body)) return;
  }
}

void Server::audioStream(const HttpRequest& request, HttpExchange& exchange,
                         const Options& options) {
  const std::string_view head =
      "HTTP/1.1 200 OK\r\nContent-Type: audio/GSM\r\nCache-Control: no-cache\r\n"
      "Connection: close\r\n\r\n";
  if (!exchange.sendRaw(head) || request.method == "HEAD") return;
  ToneEncoder encoder(options.toneHertz);
  Pacer pacer(20ms);  // one 160-sample frame at 8000 samples per second
  for (;;) {
    const std::string frame = encoder.nextFrame();
    if (frame.empty() || !exchange.sendRaw(frame) || !pacer.wait(exchange)) return;
  }
}

}  // namespace ipcam::camsim
