#include "alerts/mail_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "platform/thread_slot.h"
#include "support/loopback_peers.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// The mail client's codes for each way a connect to the server ends.
TEST(MailConnection, ConnectFailuresKeepTheirCodes) {
  std::uint16_t closedPort = 0;
  const testing::LoopbackFd closed = testing::boundLoopbackSocket(-1, closedPort);
  ASSERT_GE(closed.get(), 0);
  const testing::FullBacklog silent;
  ASSERT_TRUE(silent.full());
  std::uint16_t openPort = 0;
  const testing::LoopbackFd open = testing::boundLoopbackSocket(4, openPort);
  ASSERT_GE(open.get(), 0);

  struct Case {
    const char* name;
    std::string host;
    std::uint16_t port;
    int code;
    int orCode;  // loopback refuses either at once or while the connect waits
  };
  const Case cases[] = {
      {"accepting server", "127.0.0.1", openPort, kMailIoOk, kMailIoOk},
      {"no host", "", openPort, kMailIoNoHost, kMailIoNoHost},
      {"refused", "127.0.0.1", closedPort, kMailIoConnectFailed, kMailIoWaitFailed},
      {"silent server", "127.0.0.1", silent.port(), kMailIoConnectTimedOut, kMailIoConnectTimedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailConnection connection;
    connection.setTimeLimit(300ms);
    const int result = connection.open(c.host, c.port, 60s);
    EXPECT_TRUE(result == c.code || result == c.orCode) << result;
    EXPECT_EQ(connection.isOpen(), result == kMailIoOk);
    EXPECT_FALSE(connection.stopped());
  }
}

// A mail being sent when the viewer shuts down gives up its connect at once.
TEST(MailConnection, StoppingTheThreadEndsAConnectInProgress) {
  const testing::FullBacklog silent;
  ASSERT_TRUE(silent.full());
  platform::ThreadSlot slot;
  platform::RunFlag running{0};
  std::promise<std::pair<int, bool>> outcome;
  ASSERT_TRUE(slot.start(running, [&](const platform::ThreadRun&) {
    MailConnection connection;
    const int result = connection.open("127.0.0.1", silent.port(), 60s);
    outcome.set_value({result, connection.stopped()});
  }));
  slot.requestStop();
  auto future = outcome.get_future();
  ASSERT_EQ(future.wait_for(20s), std::future_status::ready) << "the stop was not noticed";
  EXPECT_EQ(future.get(), std::make_pair(static_cast<int>(kMailIoTimedOut), true));
  EXPECT_TRUE(slot.stop(20s));
}

}  // namespace
}  // namespace ipcam
