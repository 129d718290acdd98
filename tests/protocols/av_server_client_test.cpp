// The MPEG-4 camera server's wire format and its two connections. No server of this kind
// exists outside the simulator, so the byte layouts are checked here against the documented
// table, written out offset by offset, and never against the client's own builders.
#include "protocols/av_server_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_slot.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t addressOf(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

// ---- Control messages ------------------------------------------------------------------------

struct Layout {
  const char* what;
  bool longForm;
  std::size_t size;
  std::size_t userAt;
  std::size_t passwordAt;
};

class ControlLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(ControlLayout, ConnectCarriesAddressPairwiseSwappedAndPortAsIs) {
  const Layout& layout = GetParam();
  const Bytes message =
      buildAvsConnectRequest(addressOf("192.168.7.33"), 0x1f91, 0x5a, layout.longForm);
  Bytes expected(layout.size, 0);
  expected[0] = 4;
  expected[1] = 0x5a;
  // a.b.c.d = 192.168.7.33 travels as b, a, d, c.
  expected[2] = 168;
  expected[3] = 192;
  expected[4] = 33;
  expected[5] = 7;
  expected[6] = 0x1f;
  expected[7] = 0x91;
  EXPECT_EQ(message, expected);
}

TEST_P(ControlLayout, LoginCarriesAddressHalvesExchangedAndCredentialsCutAtTwelve) {
  const Layout& layout = GetParam();
  const Bytes message = buildAvsLoginRequest(addressOf("192.168.7.33"), 0x1f90, "administrator1",
                                             "0123456789abcdef", 0xc3, layout.longForm);
  Bytes expected(layout.size, 0);
  expected[0] = 1;
  expected[1] = 0xc3;
  // c, d, a, b.
  expected[2] = 7;
  expected[3] = 33;
  expected[4] = 192;
  expected[5] = 168;
  expected[6] = 0x1f;
  expected[7] = 0x90;
  const std::string user = "administrato";
  const std::string password = "0123456789ab";
  std::copy(user.begin(), user.end(), expected.begin() + static_cast<long>(layout.userAt));
  std::copy(password.begin(), password.end(),
            expected.begin() + static_cast<long>(layout.passwordAt));
  EXPECT_EQ(message, expected);

  // Short names are padded with NULs.
  const Bytes shortNames =
      buildAvsLoginRequest(addressOf("10.0.0.1"), 80, "al", "pw", 0, layout.longForm);
  EXPECT_EQ(shortNames[layout.userAt], 'a');
  EXPECT_EQ(shortNames[layout.userAt + 2], 0);
  EXPECT_EQ(shortNames[layout.passwordAt + 1], 'w');
  EXPECT_EQ(shortNames[layout.passwordAt + 2], 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, ControlLayout,
                         ::testing::Values(Layout{"short", false, 415, 351, 383},
                                           Layout{"long", true, 418, 354, 386}),
                         [](const ::testing::TestParamInfo<Layout>& form) {
                           return std::string(form.param.what);
                         });

TEST(ControlLayout, ModelNumbersFifteenAndSixteenUseTheLongForm) {
  for (int model = 10; model <= 19; ++model) {
    EXPECT_EQ(avsUsesLongForm(model), model == 15 || model == 16) << model;
  }
}

// ---- Control exchange with a scripted server --------------------------------------------------

// A control port on 127.0.0.1 that takes one message per connection and answers with the next
// scripted type (-1: closes without answering).
class ScriptedControlPort {
 public:
  ScriptedControlPort(std::size_t messageSize, std::deque<int> answers)
      : size_(messageSize), answers_(std::move(answers)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedControlPort() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }
  std::vector<Bytes> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void serve() {
    while (!answers_.empty()) {
      const int fd = ::accept(fd_, nullptr, nullptr);
      if (fd < 0) return;
      Bytes message(size_);
      std::size_t done = 0;
      while (done < size_) {
        const ssize_t got = ::recv(fd, message.data() + done, size_ - done, 0);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
      }
      {
        std::lock_guard lock(mutex_);
        received_.push_back(message);
      }
      const int answer = answers_.front();
      answers_.pop_front();
      if (answer >= 0) {
        Bytes reply(size_ + kAvsAnswerTrailer, 0);
        reply[0] = static_cast<std::uint8_t>(answer);
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      ::close(fd);
    }
  }

  std::size_t size_;
  std::deque<int> answers_;  // used by the server thread only
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Bytes> received_;  // guarded by mutex_
};

struct LoginCase {
  int answer;
  int result;
  bool administrator;
};

TEST(AvsCommands, LoginAcceptsBothAcknowledgementsAndNothingElse) {
  for (const LoginCase& test :
       {LoginCase{12, 1, true}, LoginCase{8, 1, false}, LoginCase{0, 0, false},
        LoginCase{4, 0, false}, LoginCase{-1, 0, false}}) {
    SCOPED_TRACE(test.answer);
    ScriptedControlPort server(kAvsMessageSize, {kAvsAnswerAck, test.answer});
    AvServerClient client;
    ASSERT_EQ(AvsConnect("127.0.0.1", server.port(), client, false), 1);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(AvsLogin(client, "admin", "pw", false), test.result);
    EXPECT_EQ(client.administrator(), test.administrator);
    // The login went to the connect's address and carries the control port.
    const std::vector<Bytes> received = server.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1][0], 1);
    EXPECT_EQ(received[1][6] << 8 | received[1][7], server.port());
  }
}

// The trace switch is read once per process, so the login runs again in a child of this test
// binary that starts with tracing on; its standard error is the trace.
constexpr const char* kTraceChildVariable = "IPCAM_TEST_LOGIN_TRACE_CHILD";
constexpr const char* kTracedPassword = "Zebra-Password-42";

TEST(AvsLoginTrace, ChildLogsInWithTracingOn) {
  if (std::getenv(kTraceChildVariable) == nullptr) GTEST_SKIP() << "run by the test below";
  ScriptedControlPort server(kAvsMessageSize, {kAvsAnswerAck, kAvsAnswerAck});
  AvServerClient client;
  ASSERT_EQ(AvsConnect("127.0.0.1", server.port(), client, false), 1);
  EXPECT_EQ(AvsLogin(client, "admin", kTracedPassword, false), 1);
}

TEST(AvsLoginTrace, ThePasswordNeverReachesTheTrace) {
  const std::string command = std::string("IPCAM_TRACE=1 ") + kTraceChildVariable + "=1 /proc/" +
                              std::to_string(::getpid()) +
                              "/exe --gtest_filter=AvsLoginTrace.ChildLogsInWithTracingOn 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  EXPECT_EQ(::pclose(pipe), 0) << output;
  // The login was traced, and passed, but its line holds no password.
  EXPECT_NE(output.find("Login admin,password "), std::string::npos) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  EXPECT_EQ(output.find(kTracedPassword), std::string::npos) << output;
}

TEST(AvsCommands, ConnectFailsOnAnyAnswerButAcknowledgement) {
  for (int answer : {12, 0, -1}) {
    SCOPED_TRACE(answer);
    ScriptedControlPort server(kAvsLongMessageSize, {answer});
    AvServerClient client;
    EXPECT_EQ(AvsConnect("127.0.0.1", server.port(), client, true), 0);
    EXPECT_FALSE(client.connected());
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0][0], 4);
  }
}

// ---- Data connection -------------------------------------------------------------------------

Bytes frameHeader(std::uint8_t type, std::uint16_t width, std::uint16_t height,
                  std::uint32_t length, bool motion = false) {
  // The documented header: type at 0, width at 3, height at 5, length at 11, all
  // little-endian; motion at 27.
  Bytes header(28, 0);
  header[0] = type;
  header[3] = width & 0xff;
  header[4] = width >> 8;
  header[5] = height & 0xff;
  header[6] = height >> 8;
  for (int i = 0; i < 4; ++i) header[11 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  header[27] = motion ? 1 : 0;
  return header;
}

void append(Bytes& stream, const Bytes& header, const Bytes& payload = {}) {
  stream.insert(stream.end(), header.begin(), header.end());
  stream.insert(stream.end(), payload.begin(), payload.end());
}

struct Received {
  std::vector<Bytes> video;
  std::vector<std::pair<int, int>> sizes;
  std::vector<Bytes> audio;
  int motions = 0;
  int arrivals = 0;
};

class CollectingHandler final : public AvsFrameHandler {
 public:
  void motion() override { ++got.motions; }
  void dataArrived() override { ++got.arrivals; }
  void video(std::span<const std::uint8_t> frame, std::uint16_t width,
             std::uint16_t height) override {
    got.video.emplace_back(frame.begin(), frame.end());
    got.sizes.emplace_back(width, height);
  }
  void audio(std::span<const std::uint8_t> frame) override {
    got.audio.emplace_back(frame.begin(), frame.end());
  }
  bool connected() const override { return true; }

  Received got;
};

// Runs the data loop on one end of a local socket pair while a writer thread sends `stream`
// on the other and then closes (unless told to keep it open).
class DataLoop {
 public:
  explicit DataLoop(Bytes stream, bool keepOpen = false, AvsDataLimits limits = {})
      : buffer_(kAvsLargestPayload) {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    reader_ = pair[0];
    writer_ = pair[1];
    writerThread_ = std::thread([this, stream = std::move(stream), keepOpen] {
      std::size_t done = 0;
      while (done < stream.size()) {
        const ssize_t sent =
            ::send(writer_, stream.data() + done, stream.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) break;
        done += static_cast<std::size_t>(sent);
      }
      if (!keepOpen) ::shutdown(writer_, SHUT_WR);
      written_.store(true);
    });
    slot_.start(runFlag_, [this, limits](const platform::ThreadRun& run) {
      end_ = runAvsDataLoop(reader_, run, handler_, buffer_, limits);
      ended_.store(true);
    });
  }
  ~DataLoop() {
    slot_.stop();
    ::shutdown(writer_, SHUT_RDWR);
    writerThread_.join();
    ::close(reader_);
    ::close(writer_);
  }

  bool waitForEnd() {
    return testing::waitFor([this] { return ended_.load(); }, 30s);
  }
  bool waitUntilWritten() {
    return testing::waitFor([this] { return written_.load(); }, 30s);
  }
  // Asks the loop to stop; true when it ended within the slot's 1000 ms.
  bool stop() { return slot_.stop(); }
  AvsDataEnd end() const { return end_; }
  const Received& got() const { return handler_.got; }

 private:
  Bytes buffer_;
  CollectingHandler handler_;  // written by the loop; read after it ended
  AvsDataEnd end_ = AvsDataEnd::kStopped;
  std::atomic<bool> ended_{false};
  std::atomic<bool> written_{false};
  int reader_ = -1;
  int writer_ = -1;
  std::thread writerThread_;
  platform::RunFlag runFlag_{0};
  platform::ThreadSlot slot_;
};

TEST(AvsDataLoop, SortsFramesByTypeAndSkipsTheOthersWhole) {
  Bytes stream;
  // A type 2 frame whose payload looks like a header: it is read and passed over.
  append(stream, frameHeader(2, 0, 0, 28), frameHeader(0, 1, 1, 0xffffffff));
  append(stream, frameHeader(0, 320, 240, 4, true), {0, 0, 1, 0xb0});
  append(stream, frameHeader(1, 0, 0, 3), {0xd5, 0xd5, 0xd5});
  append(stream, frameHeader(7, 0, 0, 2), {9, 9});  // unknown type: skipped
  append(stream, frameHeader(0, 0, 0, 2), {0xb6, 1});
  append(stream, frameHeader(0, 0, 0, 0));  // an empty frame is still a frame
  DataLoop loop(stream);
  ASSERT_TRUE(loop.waitForEnd());
  EXPECT_EQ(loop.end(), AvsDataEnd::kLost);
  const Received& got = loop.got();
  ASSERT_EQ(got.video.size(), 3u);
  EXPECT_EQ(got.video[0], (Bytes{0, 0, 1, 0xb0}));
  EXPECT_EQ(got.sizes[0], std::make_pair(320, 240));
  EXPECT_EQ(got.video[1], (Bytes{0xb6, 1}));
  EXPECT_EQ(got.sizes[1], std::make_pair(0, 0));
  EXPECT_TRUE(got.video[2].empty());
  ASSERT_EQ(got.audio.size(), 1u);
  EXPECT_EQ(got.audio[0], (Bytes{0xd5, 0xd5, 0xd5}));
  EXPECT_EQ(got.motions, 1);
  EXPECT_EQ(got.arrivals, 6);
}

TEST(AvsDataLoop, PayloadAboveTheReceiveBufferIsRefused) {
  struct Case {
    std::uint32_t length;
    bool accepted;
  };
  for (const Case& test :
       {Case{1'966'080, true}, Case{1'966'081, false}, Case{0xffffffff, false}}) {
    SCOPED_TRACE(test.length);
    Bytes stream = frameHeader(0, 640, 480, test.length);
    // Enough bytes behind it to fill the largest buffer, so a loop that read past its
    // buffer would have something to write there.
    stream.resize(stream.size() + 1'966'081, 0x42);
    DataLoop loop(stream);
    ASSERT_TRUE(loop.waitForEnd());
    EXPECT_EQ(loop.end(), test.accepted ? AvsDataEnd::kLost : AvsDataEnd::kBadProtocol);
    ASSERT_EQ(loop.got().video.size(), test.accepted ? 1u : 0u);
    if (test.accepted) {
      EXPECT_EQ(loop.got().video[0].size(), test.length);
    }
  }
}

TEST(AvsDataLoop, StopsAtOnceEvenHalfwayThroughAFrame) {
  Bytes stream = frameHeader(0, 320, 240, 1000);
  stream.resize(stream.size() + 500, 1);  // half the payload, then silence
  DataLoop loop(stream, /*keepOpen=*/true);
  ASSERT_TRUE(loop.waitUntilWritten());
  // The receive time-out is 30 s; the stop must not wait for it.
  EXPECT_TRUE(loop.stop());
  EXPECT_EQ(loop.end(), AvsDataEnd::kStopped);
  EXPECT_TRUE(loop.got().video.empty());
}

TEST(AvsDataLoop, SilenceBeyondTheIdleLimitEndsTheLoop) {
  AvsDataLimits limits;
  limits.idleLimit = 300ms;
  DataLoop quiet({}, /*keepOpen=*/true, limits);
  ASSERT_TRUE(quiet.waitForEnd());
  EXPECT_EQ(quiet.end(), AvsDataEnd::kIdle);
  EXPECT_EQ(quiet.got().arrivals, 0);
}

// ---- Parsers under random input ----------------------------------------------------------------

TEST(AvsParsers, RandomAndTruncatedInputGivesDefinedResults) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 430)(random);
    Bytes input(size);
    for (auto& b : input) b = static_cast<std::uint8_t>(byte(random));

    // The slice is exactly what may be read: AddressSanitizer sees any read beyond it.
    const std::span<const std::uint8_t> exact(input.data(), input.size());
    const auto header = parseAvsFrameHeader(exact.first(std::min<std::size_t>(size, 64)));
    ASSERT_EQ(header.has_value(), std::min<std::size_t>(size, 64) >= 28);
    if (header) {
      EXPECT_EQ(header->type, input[0]);
      EXPECT_EQ(header->width, input[3] | input[4] << 8);
      EXPECT_EQ(header->height, input[5] | input[6] << 8);
      EXPECT_EQ(header->length,
                static_cast<std::uint32_t>(input[11] | input[12] << 8 | input[13] << 16) |
                    static_cast<std::uint32_t>(input[14]) << 24);
      EXPECT_EQ(header->motion, input[27] == 1);
    }
    for (bool longForm : {false, true}) {
      const auto answer = parseAvsAnswer(exact, longForm);
      ASSERT_EQ(answer.has_value(), size == (longForm ? 418u : 415u));
      if (answer) {
        EXPECT_EQ(*answer, input[0]);
      }
    }
  }
}

TEST(AvsParsers, RandomDataStreamsEndCleanly) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    Bytes stream;
    const int frames = std::uniform_int_distribution<int>(0, 6)(random);
    for (int i = 0; i < frames; ++i) {
      Bytes header(28);
      for (auto& b : header) b = static_cast<std::uint8_t>(byte(random));
      // Half the headers announce a plausible length; the rest whatever the bytes say.
      if (byte(random) < 128) {
        const std::uint32_t length = std::uniform_int_distribution<std::uint32_t>(0, 300)(random);
        for (int k = 0; k < 4; ++k) header[11 + k] = static_cast<std::uint8_t>(length >> (8 * k));
      }
      append(stream, header);
      const std::size_t payload = std::uniform_int_distribution<std::size_t>(0, 300)(random);
      for (std::size_t k = 0; k < payload; ++k)
        stream.push_back(static_cast<std::uint8_t>(byte(random)));
    }
    // Cut anywhere, as a connection that breaks off.
    stream.resize(std::uniform_int_distribution<std::size_t>(0, stream.size())(random));
    DataLoop loop(stream);
    ASSERT_TRUE(loop.waitForEnd());
    EXPECT_TRUE(loop.end() == AvsDataEnd::kLost || loop.end() == AvsDataEnd::kBadProtocol);
    std::size_t delivered = 0;
    for (const Bytes& frame : loop.got().video) delivered += frame.size();
    for (const Bytes& frame : loop.got().audio) delivered += frame.size();
    EXPECT_LE(delivered + 28 * static_cast<std::size_t>(loop.got().arrivals), stream.size());
  }
}

}  // namespace
}  // namespace ipcam
