// The legacy camera protocol's wire formats and socket routines. The expected bytes are
// written out from the documented layout here, not produced by the client's own builders.
#include "protocols/legacy_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_record.h"
#include "protocols/av_server_client.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
  SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()); }
  ~SocketPair() {
    for (int fd : fds) ::close(fd);
  }
  std::array<int, 2> fds{-1, -1};
};

TEST(LegacyCommand, LoginPlacesNameAndCutsPassword) {
  struct Case {
    std::string user, password;
    std::string expectedName, expectedPassword;
  };
  const std::string long36(36, 'u');
  for (const Case& c : {
           Case{"admin", "secret", "admin", "secret"},
           // name and password share 36 characters
           Case{"abcdefghij", std::string(40, 'p'), "abcdefghij", std::string(26, 'p')},
           Case{long36, "lost", long36, ""},
           Case{long36 + "xyz", "lost", long36, ""},
           Case{"", std::string(50, 'q'), "", std::string(36, 'q')},
       }) {
    const LegacyCommand command = legacyLoginCommand(c.user, c.password);
    std::array<std::uint8_t, 120> expected{};
    expected[3] = 1;  // code 1, big-endian
    std::size_t at = 4;
    for (char ch : c.expectedName) expected[at++] = static_cast<std::uint8_t>(ch);
    ++at;  // the name's NUL
    for (char ch : c.expectedPassword) expected[at++] = static_cast<std::uint8_t>(ch);
    EXPECT_EQ(command, expected) << c.user << " / " << c.password;
  }
  std::array<std::uint8_t, 120> request{};
  request[3] = 14;
  EXPECT_EQ(legacyCommand(14), request);
}

std::array<std::uint8_t, 120> loginAnswer(std::uint32_t result) {
  std::array<std::uint8_t, 120> answer{};
  answer[0] = static_cast<std::uint8_t>(result >> 24);
  answer[3] = static_cast<std::uint8_t>(result);
  answer[40] = 0x01;  // first field 0x0140 in network order
  answer[41] = 0x40;
  answer[42] = 0x00;  // second field 0x00F0
  answer[43] = 0xF0;
  answer[44] = 'N';
  answer[88] = 0xFB;  // model -5
  answer[89] = 7;
  return answer;
}

TEST(LegacyLoginAnswer, FieldsAndByteOrder) {
  const auto parsed = parseLegacyLoginAnswer(loginAnswer(99));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->result, 99);
  std::uint16_t first = 0, second = 0;
  std::memcpy(&first, parsed->description.data(), 2);
  std::memcpy(&second, parsed->description.data() + 2, 2);
  EXPECT_EQ(first, 0x0140);
  EXPECT_EQ(second, 0x00F0);
  EXPECT_EQ(parsed->description[4], 'N');
  EXPECT_EQ(parsed->model, -5);
  EXPECT_EQ(parsed->vendor, 7);
  const auto whole = loginAnswer(0);
  EXPECT_FALSE(parseLegacyLoginAnswer(std::span(whole).first(119)));
}

// The camera side of one login, answering `result`; the client's command is kept.
TEST(LegacyServerLogin, RefusalFailsButHandsTheBlockBack) {
  for (const std::uint32_t result : {99u, 0u}) {
    SocketPair pair;
    ChannelRecord record;
    record.setCredentials({"admin", "pw"});
    record.legacySocket.store(pair.fds[0]);
    AvServerClient client;
    std::array<std::uint8_t, 120> received{};
    std::thread camera([&, fd = pair.fds[1]] {
      ::recv(fd, received.data(), received.size(), MSG_WAITALL);
      const auto answer = loginAnswer(result);
      ::send(fd, answer.data(), answer.size(), 0);
    });
    LegacyDescription description{};
    EXPECT_EQ(LegacyServerLogin(record, client, description), result == 99 ? 0 : 1);
    camera.join();
    EXPECT_EQ(description[4], 'N') << result;
    EXPECT_EQ(record.modelId.load(), result == 99 ? 0 : -5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(received.data()) + 4), "admin");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(received.data()) + 10), "pw");
    record.legacySocket.store(0);  // the pair closes its own
  }
}

TEST(LegacyPictureHeader, FieldsAreBigEndian) {
  std::array<std::uint8_t, 28> header{};
  header[0] = 0xEE;  // not read
  header[4] = 0x00;
  header[5] = 0x01;
  header[6] = 0x02;
  header[7] = 0x03;
  header[8] = 0x02;
  header[9] = 0x80;
  header[10] = 0x01;
  header[11] = 0xE0;
  header[12] = 25;
  header[13] = 0x80;
  header[14] = 1;
  const auto parsed = parseLegacyPictureHeader(header);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->length, 0x010203u);
  EXPECT_EQ(parsed->width, 640);
  EXPECT_EQ(parsed->height, 480);
  EXPECT_EQ(parsed->frameRate, 25);
  EXPECT_EQ(parsed->attribute, -128);
  EXPECT_EQ(parsed->motion, 1);
}

// Random and cut-short input: every result is defined, nothing is read past the input (the
// input lives in a vector of exactly its size, so AddressSanitizer sees any overrun).
TEST(LegacyParsers, RandomAndTruncatedInputStayInBounds) {
  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> input(static_cast<std::size_t>(random() % 160));
    for (auto& b : input) b = static_cast<std::uint8_t>(byte(random));
    const auto header = parseLegacyPictureHeader(input);
    EXPECT_EQ(header.has_value(), input.size() >= 28);
    if (header) {
      EXPECT_EQ(header->length, static_cast<std::uint32_t>(input[4]) << 24 | input[5] << 16 |
                                    input[6] << 8 | input[7]);
    }
    const auto answer = parseLegacyLoginAnswer(input);
    EXPECT_EQ(answer.has_value(), input.size() >= 120);
  }
}

TEST(TcpReceiveExact, ZeroLengthTakesTheShortPath) {
  SocketPair pair;
  std::array<std::uint8_t, 8> buffer{};
  // Nothing is read: the byte waiting on the connection is still there afterwards.
  const std::uint8_t waiting = 7;
  ASSERT_EQ(::send(pair.fds[1], &waiting, 1, MSG_NOSIGNAL), 1);
  EXPECT_EQ(TcpReceiveExact(0, pair.fds[0], buffer), 0);
  EXPECT_EQ(TcpReceiveExact(-3, pair.fds[0], buffer), -3);
  EXPECT_EQ(::recv(pair.fds[0], buffer.data(), buffer.size(), MSG_DONTWAIT), 1);
  // A length the buffer cannot hold is refused before anything is read.
  EXPECT_EQ(TcpReceiveExact(9, pair.fds[0], buffer), -1);
}

TEST(TcpReceiveExact, GathersPiecesAndReportsAClosedPeer) {
  SocketPair pair;
  std::thread writer([fd = pair.fds[1]] {
    for (char ch : std::string("abcdef")) {
      ::send(fd, &ch, 1, 0);
      std::this_thread::sleep_for(2ms);
    }
    ::shutdown(fd, SHUT_WR);
  });
  std::array<std::uint8_t, 6> buffer{};
  EXPECT_EQ(TcpReceiveExact(6, pair.fds[0], buffer), 6);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "abcdef");
  EXPECT_EQ(TcpReceiveExact(1, pair.fds[0], buffer), 0);
  writer.join();
}

TEST(TcpSendCommand, SendsAllOrReportsFailure) {
  SocketPair pair;
  EXPECT_EQ(TcpSendCommand(pair.fds[0], legacyCommand(14)), 120);
  std::array<std::uint8_t, 120> got{};
  EXPECT_EQ(::recv(pair.fds[1], got.data(), got.size(), MSG_WAITALL), 120);
  EXPECT_EQ(got[3], 14);
  ::close(pair.fds[1]);
  pair.fds[1] = -1;
  EXPECT_LT(TcpSendCommand(pair.fds[0], legacyCommand(14)), 0);
}

// Pictures faster than the camera's rate still show at most that rate.
TEST(LegacyFpsCounter, ShownRateNeverExceedsTheCamerasRate) {
  using Clock = LegacyFpsCounter::Clock;
  struct Case {
    int perSecond, cameraRate, expected;
  };
  for (const Case& c : {Case{22, 10, 10}, Case{8, 10, 8}, Case{30, 30, 30}, Case{5, 0, 5}}) {
    LegacyFpsCounter counter;
    const Clock::time_point start{};
    std::vector<int> shown;
    for (int i = 0; i < 3 * c.perSecond + 1; ++i) {
      const auto at = start + std::chrono::microseconds(i * 1000000 / c.perSecond + 1);
      if (const auto rate = counter.picture(at, c.cameraRate)) shown.push_back(*rate);
    }
    ASSERT_FALSE(shown.empty());
    for (int rate : shown) EXPECT_EQ(rate, c.expected) << c.perSecond << " vs " << c.cameraRate;
  }
}

}  // namespace
}  // namespace ipcam
