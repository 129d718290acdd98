#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ipcam::camsim {

// A server's stop signal, shared by every blocking wait so that stop() reaches all of them.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void raise();
  bool raised() const { return raised_.load(); }
  int fd() const { return pipe_[0]; }  // readable once raised, and stays readable

 private:
  std::atomic<bool> raised_{false};
  int pipe_[2] = {-1, -1};  // written once by raise(); never read, so it stays readable
};

// The listening side that every service of the camera shares: sockets on 127.0.0.1 only, one
// accept thread for all of them, and a thread per accepted connection up to a limit. stop()
// ends the accept thread at once, cuts every connection and joins every thread.
class Listener {
 public:
  // Serves one accepted connection; the listener closes `fd` when it returns.
  using Serve = std::function<void(int fd)>;

  enum class Mode {
    Threaded,  // each connection on a thread of its own, up to the limit
    Inline,    // answered on the accept thread itself (one short exchange per connection)
  };

  explicit Listener(std::size_t maxConnections = std::numeric_limits<std::size_t>::max());
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on 127.0.0.1 at `port` (0: a free port the system picks). Only before start().
  // False with error() when the port cannot be had.
  bool listen(std::uint16_t port, int backlog, Serve serve, Mode mode = Mode::Threaded);
  // Closes what listen() opened, so that a caller looking for a set of ports can try again.
  void closeListeners();
  bool start();
  // Safe to call twice; the listener does not start again.
  void stop();
  // Cuts every open connection; the listener goes on accepting.
  void dropConnections();

  // The port of the index-th listen(), 0 when there is none.
  std::uint16_t port(std::size_t index = 0) const;
  std::string error() const;
  std::uint64_t accepted() const { return accepted_.load(); }

 private:
  struct Socket {
    int fd = -1;
    std::uint16_t port = 0;
    Serve serve;
    Mode mode = Mode::Threaded;
  };
  struct Connection {
    int fd = -1;        // guarded by mutex_; closed and set to -1 by its own thread
    bool done = false;  // guarded by mutex_
    std::thread thread;
  };

  void acceptLoop();
  void accept(const Socket& socket);
  void reapFinished();

  const std::size_t maxConnections_;
  StopSignal stop_;
  std::vector<Socket> sockets_;  // written before start() and after the join in stop() only
  std::thread acceptThread_;     // started by start(), joined by stop()
  std::mutex stopMutex_;         // serialises stop() with itself
  std::atomic<std::uint64_t> accepted_{0};

  mutable std::mutex mutex_;
  std::list<Connection> connections_;  // guarded by mutex_
  std::string error_;                  // guarded by mutex_
};

}  // namespace ipcam::camsim
