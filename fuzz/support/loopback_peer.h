#pragma once
// The far end of a connection for the harnesses of code that reads from a socket. Bytes a
// harness hands over arrive as a camera, a server or a relay would send them; nothing leaves
// the machine (a socket pair, or a listener on 127.0.0.1).
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace ipcam::fuzz {

// A socket pair whose reading end has `bytes` waiting and then the end of the stream. As much
// of `bytes` as the pair buffers is sent (the readers under test take 64 KiB at most).
class FedSocket {
 public:
  explicit FedSocket(std::span<const std::uint8_t> bytes);
  ~FedSocket();
  FedSocket(const FedSocket&) = delete;
  FedSocket& operator=(const FedSocket&) = delete;

  int fd() const { return reader_; }
  // Hands the reading end over (the caller closes it).
  int release();

 private:
  int reader_ = -1;
};

// A listener on 127.0.0.1 that plays a script: every connection a client opens during run()
// takes the next turns. With `speaksFirst` (mail servers) a connection gets a turn at once;
// otherwise each turn answers a request (bytes ending in a line break), and a client that
// stays quiet (it reads a stream) gets the rest at once. After the last turn the peer ends its
// side of the stream and reads until the client closes.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(bool speaksFirst);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t port() const { return port_; }
  // Runs `client` while the peer serves `turns`; returns when both are done.
  void run(const std::vector<std::string_view>& turns, const std::function<void()>& client);

 private:
  bool speaksFirst_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace ipcam::fuzz
