#pragma once

// The one way every client of the viewer reaches a peer over TCP: resolve the host, connect
// without blocking, and wait for the connection no longer than its time-out, its step's
// deadline and its owner's run flag allow. Callers turn the outcome into their own codes.
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/run_flag.h"

namespace ipcam::platform {

using SocketClock = std::chrono::steady_clock;

enum class ConnectOutcome {
  Connected,
  NoHost,         // the host has no IPv4 address (or is empty)
  NoSocket,       // no socket could be made
  NotPrepared,    // the caller's preparation of the socket failed
  NoNonBlocking,  // the socket could not be switched to non-blocking
  Failed,         // connect() failed at once (on loopback a closed port says so at once)
  Refused,        // the peer refused or was unreachable while we waited
  WaitFailed,     // the wait itself failed
  TimedOut,       // the time-out or the deadline passed first
  Stopped,        // the run flag dropped
};

struct ConnectLimits {
  std::chrono::milliseconds timeout{0};  // 0: none
  std::optional<SocketClock::time_point> deadline;
  const RunFlag* runFlag = nullptr;  // ends the wait as soon as it drops
  // Leave the connected socket non-blocking (the mail client waits with poll() throughout);
  // otherwise it is blocking again, as the camera code's timed receives expect.
  bool keepNonBlocking = false;
};

struct Connection {
  ConnectOutcome outcome = ConnectOutcome::NoSocket;
  int fd = -1;  // owned by the caller when outcome is Connected, else -1
};

// The IPv4 address of a dotted address or a host name; nothing for an empty or unknown host.
std::optional<in_addr> resolveIpv4(std::string_view host);

// Resolves `host`, makes a stream socket, lets `prepare` set it up (socket options; false
// gives NotPrepared), and connects it within `limits`.
Connection connectTcp(std::string_view host, std::uint16_t port, const ConnectLimits& limits,
                      const std::function<bool(int fd)>& prepare = {});

// Waits until `fd` shows one of `events` (an error or hang-up counts too). False with errno
// EAGAIN when `end` passes, ECANCELED as soon as `runFlag` drops, or poll()'s own errno.
bool waitForSocket(int fd, short events, const RunFlag* runFlag,
                   std::optional<SocketClock::time_point> end);

}  // namespace ipcam::platform
