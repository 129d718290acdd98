#pragma once

#include <atomic>
#include <mutex>

namespace ipcam {

// State of the older binary camera-server protocol for one channel: its control and data
// sockets and its connection flags. Created once at start-up for every channel.
class AvServerClient {
 public:
  AvServerClient() = default;
  AvServerClient(const AvServerClient&) = delete;
  AvServerClient& operator=(const AvServerClient&) = delete;
  ~AvServerClient() { disconnect(); }

  void setChannel(int channel) { channel_.store(channel); }
  int channel() const { return channel_.load(); }

  // Prepares the client's network use; false when the network cannot be used.
  bool startNetwork();
  // Not connected, both state flags false, both sockets invalid, marked network-ready.
  void reset();
  // Closes both sockets; safe to call twice.
  void disconnect();

  bool connected() const { return connected_.load(); }
  void setConnected(bool connected) { connected_.store(connected); }
  bool networkReady() const { return networkReady_.load(); }
  // Taken by the legacy server connection and data threads around their use of the client.
  std::mutex& mutex() { return mutex_; }

 private:
  std::atomic<int> channel_{-1};
  std::atomic<bool> connected_{false};     // atomic: written by the protocol threads
  std::atomic<bool> loggedIn_{false};      // atomic
  std::atomic<bool> streaming_{false};     // atomic
  std::atomic<int> controlSocket_{-1};     // atomic; closed only by disconnect()
  std::atomic<int> dataSocket_{-1};        // atomic; closed only by disconnect()
  std::atomic<bool> networkReady_{false};  // atomic
  std::mutex mutex_;
};

}  // namespace ipcam
