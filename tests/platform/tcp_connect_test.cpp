#include "platform/tcp_connect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <vector>

#include "support/loopback_peers.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;

using testing::boundLoopbackSocket;
using testing::LoopbackFd;

// The three kinds of peer a connect meets on 127.0.0.1: one that accepts, a port nobody
// listens on, and a listener that never answers.
class TcpConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    open_ = boundLoopbackSocket(8, openPort_);
    closed_ = boundLoopbackSocket(-1, closedPort_);
    ASSERT_GE(open_.get(), 0);
    ASSERT_GE(closed_.get(), 0);
    ASSERT_TRUE(full_.full()) << "the first connection did not fill the backlog";
    fullPort_ = full_.port();
  }

  LoopbackFd open_, closed_;
  testing::FullBacklog full_;
  std::uint16_t openPort_ = 0, closedPort_ = 0, fullPort_ = 0;
};

enum class Peer { Open, Closed, Full };

TEST_F(TcpConnectTest, OutcomeByPeerAndLimit) {
  RunFlag stopped{0};
  struct Case {
    const char* name;
    const char* host;
    Peer peer;
    std::chrono::milliseconds timeout;
    std::optional<std::chrono::milliseconds> deadlineIn;  // from the start of the connect
    const RunFlag* runFlag;
    std::vector<ConnectOutcome> expected;  // any of them
  };
  using enum ConnectOutcome;
  const std::vector<Case> cases = {
      {"accepting listener", "127.0.0.1", Peer::Open, 0ms, {}, nullptr, {Connected}},
      {"by name", "localhost", Peer::Open, 1000ms, {}, nullptr, {Connected}},
      {"empty host", "", Peer::Open, 0ms, {}, nullptr, {NoHost}},
      // Loopback refuses either at once or while the connect waits.
      {"refused port", "127.0.0.1", Peer::Closed, 1000ms, {}, nullptr, {Failed, Refused}},
      {"time-out, full backlog", "127.0.0.1", Peer::Full, 300ms, {}, nullptr, {TimedOut}},
      {"deadline, full backlog", "127.0.0.1", Peer::Full, 0ms, 300ms, nullptr, {TimedOut}},
      {"time-out before deadline", "127.0.0.1", Peer::Full, 300ms, 60s, nullptr, {TimedOut}},
      {"deadline before time-out", "127.0.0.1", Peer::Full, 60s, 300ms, nullptr, {TimedOut}},
      {"run flag already down", "127.0.0.1", Peer::Full, 0ms, {}, &stopped, {Stopped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint16_t port = c.peer == Peer::Open     ? openPort_
                               : c.peer == Peer::Closed ? closedPort_
                                                        : fullPort_;
    const auto start = SocketClock::now();
    ConnectLimits limits;
    limits.timeout = c.timeout;
    if (c.deadlineIn) limits.deadline = start + *c.deadlineIn;
    limits.runFlag = c.runFlag;
    const Connection connection = connectTcp(c.host, port, limits);
    const auto took = SocketClock::now() - start;
    EXPECT_NE(std::find(c.expected.begin(), c.expected.end(), connection.outcome), c.expected.end())
        << static_cast<int>(connection.outcome);
    EXPECT_EQ(connection.fd >= 0, connection.outcome == Connected);
    if (connection.outcome == TimedOut) {
      EXPECT_GE(took, 290ms);
      EXPECT_LT(took, 20s) << "far beyond the limit";
    }
    if (connection.fd >= 0) ::close(connection.fd);
  }
}

// The caller's socket options go on before the connect; a failing preparation costs the
// connect, and the socket is blocking again afterwards unless the caller keeps it otherwise.
TEST_F(TcpConnectTest, PreparationAndBlockingMode) {
  int prepared = -1;
  Connection connection = connectTcp("127.0.0.1", openPort_, {}, [&prepared](int fd) {
    prepared = fd;
    return true;
  });
  ASSERT_EQ(connection.outcome, ConnectOutcome::Connected);
  EXPECT_EQ(prepared, connection.fd);
  EXPECT_EQ(::fcntl(connection.fd, F_GETFL) & O_NONBLOCK, 0);
  ::close(connection.fd);

  ConnectLimits keep;
  keep.keepNonBlocking = true;
  connection = connectTcp("127.0.0.1", openPort_, keep);
  ASSERT_EQ(connection.outcome, ConnectOutcome::Connected);
  EXPECT_NE(::fcntl(connection.fd, F_GETFL) & O_NONBLOCK, 0);
  ::close(connection.fd);

  connection = connectTcp("127.0.0.1", openPort_, {}, [](int) { return false; });
  EXPECT_EQ(connection.outcome, ConnectOutcome::NotPrepared);
  EXPECT_EQ(connection.fd, -1);
}

// A connect without any time limit, waiting on a peer that never answers, ends as soon as its
// owner drops the run flag.
TEST_F(TcpConnectTest, RunFlagEndsAConnectInProgress) {
  RunFlag running{1};
  std::promise<void> connecting;
  auto result = std::async(std::launch::async, [&] {
    ConnectLimits limits;
    limits.runFlag = &running;
    return connectTcp("127.0.0.1", fullPort_, limits, [&connecting](int) {
      connecting.set_value();
      return true;
    });
  });
  connecting.get_future().wait();
  const auto dropped = SocketClock::now();
  running.store(0);
  ASSERT_EQ(result.wait_for(20s), std::future_status::ready) << "the stop was not noticed";
  EXPECT_LT(SocketClock::now() - dropped, 5s);
  EXPECT_EQ(result.get().outcome, ConnectOutcome::Stopped);
}

}  // namespace
}  // namespace ipcam::platform
