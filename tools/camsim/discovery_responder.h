#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace ipcam::camsim {

// How the simulated camera answers the viewer's LAN search.
struct DiscoveryOptions {
  // The search port; the viewer's default, or what both sides are told in a test.
  std::uint16_t port = 13364;
  std::array<std::uint8_t, 6> mac{0x00, 0x1C, 0x63, 0x00, 0x00, 0x01};
  std::string name = "camsim";                        // cut to 32 characters
  std::array<std::uint8_t, 4> address{127, 0, 0, 1};  // what the description announces
  std::uint8_t modelCode = 20;                        // before the viewer applies the PoE variant
  std::uint8_t poe = 0;                               // 0 plain, 1 PoE, 2 as it is
  std::uint8_t vendor = 0;                            // the maker's own index
  std::uint8_t deviceClass = 5;                       // the viewer lists only class 5
  std::uint8_t attribute = 0;
  std::uint8_t third = 1;  // non-zero: the viewer shows the maker's fixed model name
  std::uint16_t detailPort = 4321;
  std::uint16_t httpPort = 80;
  std::uint8_t detailByte = 0;
  // Answers as zlib streams behind the AC ED marker instead of plain.
  bool compressed = false;
};

// Listens for search and detail requests on the loopback broadcast address and answers each
// one to the address and port it came from. Several responders (and the viewer's own socket)
// share the port: a broadcast reaches all of them, and an answer goes to the asking socket
// alone. Requests from outside 127.0.0.0/8 are not answered, so nothing leaves the machine.
class DiscoveryResponder {
 public:
  explicit DiscoveryResponder(DiscoveryOptions options);
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  bool start();
  void stop();  // safe to call twice
  std::string lastError() const;

  // Requests answered so far.
  std::uint32_t descriptionsSent() const { return descriptionsSent_.load(); }
  std::uint32_t detailsSent() const { return detailsSent_.load(); }

 private:
  void run();
  void answer(const std::uint8_t* request, std::size_t size, const void* from);

  const DiscoveryOptions options_;  // written once before the thread starts
  int listenFd_ = -1;               // written before the thread starts, closed after it ends
  int sendFd_ = -1;                 // written before the thread starts, closed after it ends
  std::thread thread_;              // owner's thread only
  std::atomic<bool> running_{false};
  std::atomic<std::uint32_t> descriptionsSent_{0};
  std::atomic<std::uint32_t> detailsSent_{0};
  mutable std::mutex errorMutex_;
  std::string error_;  // guarded by errorMutex_
};

}  // namespace ipcam::camsim
