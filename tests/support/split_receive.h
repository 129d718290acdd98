#pragma once

// Feeds a reader on one end of a socket pair so that a receive ends where the test wants: the
// bytes before the edge are sent first, the rest only once the reader has taken all of them
// off the socket, so the two pieces cannot arrive in the same receive.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <future>
#include <string_view>

#include "support/wait_for.h"

namespace ipcam::testing {

inline bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// Runs `step` on a thread of its own while `bytes` go into `writerFd` in two pieces split at
// `edge`; `readerFd` is the end the step reads from. The result is the step's. The second
// piece must fit into the socket's buffer when the step does not read all of it.
template <class Step>
auto acrossReceiveEdge(int readerFd, int writerFd, std::string_view bytes, std::size_t edge,
                       Step step) {
  sendAll(writerFd, bytes.substr(0, edge));
  auto result = std::async(std::launch::async, step);
  waitFor([&] {
    int pending = 0;
    return ::ioctl(readerFd, FIONREAD, &pending) != 0 || pending == 0;
  });
  sendAll(writerFd, bytes.substr(edge));
  return result.get();
}

}  // namespace ipcam::testing
