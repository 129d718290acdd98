#include <arpa/inet.h>
#include <gsm.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/wait_for.h"
#include "tools/camsim/command_line.h"
#include "tools/camsim/md5.h"
#include "tools/camsim/server.h"

namespace ipcam::camsim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long a read waits for the camera before the test calls it quiet. Only a failing test (or
// one that expects the quiet, and sets its own short limit) sits it out, so it is far beyond
// what a part takes on a busy machine.
constexpr std::chrono::milliseconds kAnswerLimit = 20s;

// Reads a camera stream from a bare socket on 127.0.0.1, a piece at a time, and tells a peer
// that closed from one that merely went quiet.
class StreamReader {
 public:
  StreamReader(std::uint16_t port, std::string_view target, std::string_view extraHeaders = {})
      : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    setTimeout(kAnswerLimit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      closed_ = true;
      return;
    }
    const std::string request =
        "GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(extraHeaders) + "\r\n";
    ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
  }
  ~StreamReader() { close(); }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  void setTimeout(std::chrono::milliseconds limit) {
    timeval value{static_cast<time_t>(limit.count() / 1000),
                  static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool closed() const { return closed_; }

  // Up to and with `terminator`; what arrived, without it, if the peer closed or went quiet.
  std::string readUntil(std::string_view terminator, std::size_t limit = 64 * 1024) {
    std::size_t found;
    while ((found = buffer_.find(terminator)) == std::string::npos && buffer_.size() < limit) {
      if (!fill()) return take(buffer_.size());
    }
    return take(found == std::string::npos ? buffer_.size() : found + terminator.size());
  }
  std::string readExactly(std::size_t count) {
    while (buffer_.size() < count && fill()) {
    }
    return take(std::min(count, buffer_.size()));
  }
  std::string readHead() { return readUntil("\r\n\r\n"); }

 private:
  bool fill() {
    std::array<char, 64 * 1024> chunk{};
    const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
    if (got > 0) {
      buffer_.append(chunk.data(), static_cast<std::size_t>(got));
      return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_ = true;
    return false;
  }
  std::string take(std::size_t count) {
    std::string out = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return out;
  }

  int fd_;
  bool closed_ = false;
  std::string buffer_;
};

// One part as the viewer reads it: the header block, then the data only when the length is one
// it accepts. Whatever lies between data and the next header block belongs to that block.
struct Part {
  std::string header;
  std::optional<long> length;
  std::string data;
};

constexpr long kViewerBuffer = 1'000'000;

Part readPart(StreamReader& reader) {
  Part part;
  part.header = reader.readUntil("\r\n\r\n");
  if (const std::size_t at = part.header.find("Content-Length:"); at != std::string::npos)
    part.length = std::stol(part.header.substr(at + 15));
  if (part.length && *part.length >= 1 && *part.length <= kViewerBuffer)
    part.data = reader.readExactly(static_cast<std::size_t>(*part.length));
  return part;
}

bool has(std::string_view text, std::string_view piece) {
  return text.find(piece) != std::string_view::npos;
}

struct JpegInfo {
  int width = 0;
  int height = 0;
  int subsampling = -1;
  bool decodes = false;
};

JpegInfo inspectJpeg(const std::string& bytes) {
  JpegInfo info;
  const std::unique_ptr<void, int (*)(tjhandle)> decoder(tjInitDecompress(), tjDestroy);
  auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()));
  int colourspace = 0;
  if (tjDecompressHeader3(decoder.get(), data, bytes.size(), &info.width, &info.height,
                          &info.subsampling, &colourspace) != 0)
    return info;
  std::vector<unsigned char> rgb(static_cast<std::size_t>(info.width) * info.height * 3);
  info.decodes = tjDecompress2(decoder.get(), data, bytes.size(), rgb.data(), info.width, 0,
                               info.height, TJPF_RGB, 0) == 0;
  return info;
}

// A good picture part of the given size.
void expectPicture(const Part& part, int width, int height) {
  EXPECT_TRUE(part.header.starts_with("--ipcam-frame\r\n") ||
              part.header.starts_with("\r\n--ipcam-frame\r\n"))
      << part.header;
  EXPECT_TRUE(has(part.header, "\r\nContent-Type: image/jpeg\r\n")) << part.header;
  ASSERT_TRUE(part.length.has_value()) << part.header;
  ASSERT_EQ(part.data.size(), static_cast<std::size_t>(*part.length));
  const JpegInfo info = inspectJpeg(part.data);
  EXPECT_EQ(info.width, width);
  EXPECT_EQ(info.height, height);
  EXPECT_EQ(info.subsampling, TJSAMP_420);
  EXPECT_TRUE(info.decodes);
}

constexpr std::string_view kStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=ipcam-frame\r\n";

TEST(CamsimStream, PartsCarryDistinctJpegPicturesOfTheChosenSize) {
  const struct { std::uint32_t width, height; } sizes[] = {{160, 120}, {1280, 1024}, {100, 37}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    Options options;
    options.pictureWidth = size.width;
    options.pictureHeight = size.height;
    options.framesPerSecond = 50;
    Server camera(options);
    ASSERT_TRUE(camera.start());
    StreamReader stream(camera.port(), "/snapshot.cgi");
    EXPECT_TRUE(stream.readHead().starts_with(kStreamHead));
    const Part first = readPart(stream);
    const Part second = readPart(stream);
    expectPicture(first, size.width, size.height);
    expectPicture(second, size.width, size.height);
    EXPECT_NE(first.data, second.data);
    EXPECT_FALSE(has(first.header + second.header, "Motion-Event"));
    EXPECT_EQ(stream.readExactly(2), "\r\n");  // the data's line end, before the next boundary
  }
}

TEST(CamsimStream, MotionEventMarksTheChosenPartsAndPartsComeAtTheRate) {
  const struct {
    std::uint32_t every;
    std::string expected;  // one letter per part: m with "Motion-Event: 1", - without
  } cases[] = {{0, "------"}, {1, "mmmmmm"}, {3, "--m--m"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.every);
    Options options;
    options.motionEvery = c.every;
    options.framesPerSecond = 20;
    Server camera(options);
    ASSERT_TRUE(camera.start());
    // Timed from the request: the camera cannot have sent anything before it, whereas a test
    // thread that was held up while parts arrived would see them together.
    const auto start = Clock::now();
    StreamReader stream(camera.port(), "/snapshot.cgi");
    stream.readHead();
    std::string seen;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const Part part = readPart(stream);
      ASSERT_FALSE(part.data.empty());
      seen += has(part.header, "\r\nMotion-Event: 1\r\n") ? 'm' : '-';
    }
    EXPECT_EQ(seen, c.expected);
    EXPECT_GE(Clock::now() - start, 230ms) << "five periods of 50 ms after the first part";
  }
}

TEST(CamsimStream, BusyCameraRefusesInTheWayItIsToldTo) {
  Options options;
  options.streamBusy = StreamBusy::TooManyUsers;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  {
    StreamReader stream(camera.port(), "/snapshot.cgi");
    EXPECT_TRUE(stream.readHead().starts_with(kStreamHead));
    const Part part = readPart(stream);
    EXPECT_TRUE(has(part.header, "\r\nX-CurrentUsers: Too many users\r\n")) << part.header;
    EXPECT_TRUE(part.length.has_value()) << "the viewer looks for the length first";
  }
  options.streamBusy = StreamBusy::NotAcceptable;
  camera.setOptions(options);
  StreamReader stream(camera.port(), "/snapshot.cgi");
  EXPECT_TRUE(stream.readHead().starts_with("HTTP/1.1 406 Not Acceptable\r\n"));
}

TEST(CamsimStream, OpenStreamsAreCurrentUsersAndFillTheCamera) {
  Options options;
  options.maxUsers = 2;
  options.currentUsers = 1;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  auto first = std::make_unique<StreamReader>(camera.port(), "/snapshot.cgi");
  first->readHead();
  expectPicture(readPart(*first), 640, 480);
  EXPECT_EQ(camera.openStreams(), 1u);
  {
    StreamReader users(camera.port(),
                       "/camera-cgi/admin/param.cgi?action=list&group=Properties.VideoServer");
    EXPECT_TRUE(has(users.readUntil("\n\n"), "Properties.VideoServer.CurrentUsers=2\n"));
  }
  {
    StreamReader refused(camera.port(), "/snapshot.cgi");
    refused.readHead();
    EXPECT_TRUE(has(readPart(refused).header, "X-CurrentUsers: Too many users"));
  }

  first.reset();  // the viewer goes away: its seat is free once a write fails
  EXPECT_TRUE(ipcam::testing::waitFor([&] { return camera.openStreams() == 0; }));
  StreamReader next(camera.port(), "/snapshot.cgi");
  next.readHead();
  expectPicture(readPart(next), 640, 480);
}

TEST(CamsimStream, DigestLoginOpensTheStream) {
  Options options;
  options.auth = AuthMode::DigestQop;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  StreamReader challenge(camera.port(), "/snapshot.cgi");
  const std::string refusal = challenge.readHead();
  ASSERT_TRUE(refusal.starts_with("HTTP/1.1 401 Unauthorized\r\n"));
  const std::size_t at = refusal.find("nonce=\"");
  ASSERT_NE(at, std::string::npos);
  const std::string nonce = refusal.substr(at + 7, refusal.find('"', at + 7) - at - 7);

  const std::string ha1 = md5Hex("admin:IP Camera:admin");
  const std::string ha2 = md5Hex("GET:/snapshot.cgi");
  const std::string response = md5Hex(ha1 + ":" + nonce + ":00000001:00000000000000ab:auth:" + ha2);
  StreamReader stream(camera.port(), "/snapshot.cgi",
                      "Authorization: Digest username=\"admin\", realm=\"IP Camera\", nonce=\"" +
                          nonce +
                          "\", uri=\"/snapshot.cgi\", qop=\"auth\", nc=\"00000001\", "
                          "cnonce=\"00000000000000ab\", response=\"" +
                          response + "\"\r\n");
  EXPECT_TRUE(stream.readHead().starts_with(kStreamHead));
  expectPicture(readPart(stream), 640, 480);
}

TEST(CamsimStream, BrokenPartsHaveTheShapeTheBadInputTestsNeed) {
  enum class Then { NextPartGood, Closes, GoesQuiet };
  const struct {
    StreamFault fault;
    std::function<void(const Part&)> check;  // the broken second part
    Then then;
  } cases[] = {
      {StreamFault::RandomHeader,
       [](const Part& p) {
         EXPECT_TRUE(p.header.ends_with("\r\n\r\n"));
         EXPECT_FALSE(p.length.has_value());
       },
       Then::NextPartGood},
      {StreamFault::LongHeader,
       [](const Part& p) {
         EXPECT_GT(p.header.size(), 1024u);
         EXPECT_EQ(inspectJpeg(p.data).width, 640);
       },
       Then::NextPartGood},
      {StreamFault::ZeroLength, [](const Part& p) { EXPECT_EQ(p.length, 0); }, Then::NextPartGood},
      {StreamFault::HugeLength, [](const Part& p) { EXPECT_EQ(p.length, kViewerBuffer + 1); },
       Then::NextPartGood},
      {StreamFault::CorruptJpeg,
       [](const Part& p) {
         ASSERT_EQ(p.data.size(), static_cast<std::size_t>(p.length.value_or(0)));
         EXPECT_TRUE(p.data.starts_with("\xff\xd8"));
         EXPECT_FALSE(inspectJpeg(p.data).decodes);
       },
       Then::NextPartGood},
      {StreamFault::TruncatedHeader,
       [](const Part& p) { EXPECT_FALSE(p.header.ends_with("\r\n\r\n")); }, Then::Closes},
      {StreamFault::Close,
       [](const Part& p) {
         ASSERT_TRUE(p.length.has_value());
         EXPECT_EQ(p.data.size(), static_cast<std::size_t>(*p.length / 2));
       },
       Then::Closes},
      {StreamFault::Stall,
       [](const Part& p) {
         ASSERT_TRUE(p.length.has_value());
         EXPECT_EQ(p.data.size(), static_cast<std::size_t>(*p.length / 2));
       },
       Then::GoesQuiet},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    Options options;
    options.streamFault = c.fault;
    options.streamFaultEvery = 2;
    options.framesPerSecond = 50;
    Server camera(options);
    ASSERT_TRUE(camera.start());
    StreamReader stream(camera.port(), "/snapshot.cgi");
    stream.readHead();
    expectPicture(readPart(stream), 640, 480);
    // Quiet is the absence of bytes, so a short look shows it; a close always comes, however
    // late, and is waited for with the full limit.
    if (c.then == Then::GoesQuiet) stream.setTimeout(300ms);
    c.check(readPart(stream));
    switch (c.then) {
      case Then::NextPartGood:
        expectPicture(readPart(stream), 640, 480);
        break;
      case Then::Closes:
        EXPECT_EQ(stream.readExactly(1), "");
        EXPECT_TRUE(stream.closed());
        break;
      case Then::GoesQuiet:
        EXPECT_EQ(stream.readExactly(1), "");
        EXPECT_FALSE(stream.closed());
        break;
    }
  }
}

TEST(CamsimStream, AudioStreamIsGsmOfTheToneInRealTime) {
  Server camera;
  ASSERT_TRUE(camera.start());
  const auto start = Clock::now();  // from the request, as for the pictures
  StreamReader stream(camera.port(), "/camera-cgi/audio/receive.cgi");
  EXPECT_TRUE(stream.readHead().starts_with("HTTP/1.1 200 OK\r\n"));
  constexpr int kFrames = 25;
  const std::string frames = stream.readExactly(kFrames * 33);
  ASSERT_EQ(frames.size(), kFrames * 33u);
  EXPECT_GE(Clock::now() - start, 400ms) << "50 frames a second, not a burst";

  const std::unique_ptr<gsm_state, void (*)(gsm)> decoder(gsm_create(), gsm_destroy);
  std::vector<gsm_signal> samples;
  for (int i = 0; i < kFrames; ++i) {
    std::array<gsm_signal, 160> block{};
    auto* frame = reinterpret_cast<gsm_byte*>(const_cast<char*>(frames.data() + i * 33));
    ASSERT_EQ(gsm_decode(decoder.get(), frame, block.data()), 0) << "frame " << i;
    if (i >= 5) samples.insert(samples.end(), block.begin(), block.end());  // past the warm-up
  }
  double energy = 0;
  int signChanges = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    energy += static_cast<double>(samples[i]) * samples[i];
    if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0)) ++signChanges;
  }
  const double rms = std::sqrt(energy / static_cast<double>(samples.size()));
  const double seconds = static_cast<double>(samples.size()) / 8000.0;
  EXPECT_GT(rms, 1000.0) << "a tone, not silence";
  EXPECT_NEAR(signChanges / seconds / 2.0, 1000.0, 150.0) << "about 1 kHz";
}

TEST(CamsimStream, StopEndsOpenStreamsPromptly) {
  Server camera;
  ASSERT_TRUE(camera.start());
  StreamReader pictures(camera.port(), "/snapshot.cgi");
  StreamReader audio(camera.port(), "/camera-cgi/audio/receive.cgi");
  pictures.readHead();
  readPart(pictures);
  audio.readHead();
  audio.readExactly(33);

  // Both streams spend their time in the pause before the next part or frame, which ends on
  // stop; a stop that had to wait for a write to give up would take the 10 s send time-out.
  const auto start = Clock::now();
  camera.stop();
  EXPECT_LT(Clock::now() - start, 5s);
  pictures.readExactly(100'000'000);
  audio.readExactly(100'000'000);
  EXPECT_TRUE(pictures.closed());
  EXPECT_TRUE(audio.closed());
}

TEST(CamsimStream, CommandLineSetsTheStreamOptions) {
  const std::vector<std::string_view> good = {"--size",
                                              "1280x1024",
                                              "--fps",
                                              "25",
                                              "--motion=4",
                                              "--busy",
                                              "too-many-users",
                                              "--stream-fault",
                                              "corrupt-jpeg",
                                              "--stream-fault-every",
                                              "5",
                                              "--tone",
                                              "440"};
  const CommandLine parsed = parseCommandLine(good);
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.options.pictureWidth, 1280u);
  EXPECT_EQ(parsed.options.pictureHeight, 1024u);
  EXPECT_EQ(parsed.options.framesPerSecond, 25u);
  EXPECT_EQ(parsed.options.motionEvery, 4u);
  EXPECT_EQ(parsed.options.streamBusy, StreamBusy::TooManyUsers);
  EXPECT_EQ(parsed.options.streamFault, StreamFault::CorruptJpeg);
  EXPECT_EQ(parsed.options.streamFaultEvery, 5u);
  EXPECT_EQ(parsed.options.toneHertz, 440u);
  const std::vector<std::string_view> on = {"--motion", "on"};
  EXPECT_EQ(parseCommandLine(on).options.motionEvery, 1u);

  for (std::string_view bad : {"--size=640", "--size=0x480", "--size=640x", "--size=9000x10",
                               "--size=640x480x2", "--fps=0", "--motion=sometimes", "--busy=full",
                               "--stream-fault=gone", "--stream-fault-every=0", "--tone=4000"}) {
    const std::vector<std::string_view> arguments = {bad};
    EXPECT_NE(parseCommandLine(arguments).error, "") << bad;
  }
}

}  // namespace
}  // namespace ipcam::camsim
