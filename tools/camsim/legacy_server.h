#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/camsim/listener.h"

namespace ipcam::camsim {

struct Options;

// The picture service of the oldest camera generation, on a port of its own on 127.0.0.1:
// 120-byte commands (big-endian code in bytes 0-3: 1 login, 14 picture request); the login is
// answered with 120 bytes (result code, 99 for wrong credentials; a 32-byte description at 40;
// model and vendor numbers at 88 and 89), each picture request with a 28-byte header (length,
// width and height big-endian at 4, 8 and 10; frame rate, attribute and motion bytes at 12, 13
// and 14) and the JPEG. Written from the wire description, not from the viewer's code.
class LegacyServer {
 public:
  using OptionsSource = std::function<Options()>;
  using PictureSource =
      std::function<std::shared_ptr<const std::vector<std::string>>(const Options&)>;

  LegacyServer(OptionsSource options, PictureSource pictures);
  ~LegacyServer();
  LegacyServer(const LegacyServer&) = delete;
  LegacyServer& operator=(const LegacyServer&) = delete;

  bool start(std::uint16_t port);
  // Closes the listener and every connection and joins every thread. Safe to call twice.
  void stop();
  std::uint16_t port() const { return port_.load(); }
  std::string lastError() const;
  // Connections accepted since start.
  std::uint64_t connections() const { return listener_.accepted(); }
  // Cuts every open connection, as a camera that restarts does; the service keeps listening.
  void dropConnections();

 private:
  void serve(int socket);

  OptionsSource options_;
  PictureSource pictures_;
  std::atomic<std::uint16_t> port_{0};  // atomic
  std::atomic<bool> running_{false};    // atomic
  Listener listener_;                   // last, so that its threads end first; locks itself
};

}  // namespace ipcam::camsim
