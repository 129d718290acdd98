#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/camsim/listener.h"
#include "tools/camsim/server.h"

namespace ipcam::camsim {

struct EncodedVideo;

// What a viewer sent on the control port, as the camera reads it.
struct AvControlRequest {
  std::uint8_t type = 0;   // 4 connect, 1 login
  std::size_t size = 0;    // bytes of the message
  std::string address;     // the camera address the viewer put in, dotted
  std::uint16_t port = 0;  // connect: the data port it announced; login: the control port
  std::string user;        // login only
  std::string password;    // login only
};

// The audio/video server of the older MPEG-4 cameras: a control port that answers connect and
// login messages, one message per connection, and a data port (control port + 1) that pushes
// MPEG-4 visual video and A-law audio, each frame behind a 28-byte header. Both ports listen
// on 127.0.0.1 only.
//
// The wire layout is written out here from the camera's side on purpose, byte by byte, and
// shares nothing with the viewer's own client.
class AvServer {
 public:
  using OptionsSource = std::function<Options()>;

  static constexpr std::size_t kVideoCycle = 25;
  static constexpr std::size_t kMaxDataConnections = 16;

  explicit AvServer(OptionsSource options);
  ~AvServer();
  AvServer(const AvServer&) = delete;
  AvServer& operator=(const AvServer&) = delete;

  // Takes two neighbouring free ports. A server starts once.
  bool start();
  void stop();  // safe to call twice
  std::uint16_t controlPort() const { return controlPort_.load(); }
  std::string lastError() const;

  std::vector<AvControlRequest> controlRequests() const;
  // Cuts every data connection, as a camera that restarts its server does.
  void dropDataConnections();
  // Data connections being served right now, and frames sent in all.
  std::uint32_t dataConnections() const { return dataConnections_.load(); }
  std::uint64_t videoFramesSent() const { return videoFramesSent_.load(); }

 private:
  void answerControl(int fd, const Options& options);
  void serveData(int fd);
  std::shared_ptr<const EncodedVideo> video(const Options& options);

  OptionsSource options_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint16_t> controlPort_{0};
  std::atomic<std::uint32_t> dataConnections_{0};
  std::atomic<std::uint64_t> videoFramesSent_{0};
  std::atomic<bool> started_{false};
  std::mutex stopMutex_;  // serialises stop() with itself

  mutable std::mutex mutex_;
  std::condition_variable wake_;               // signalled by stop(); with mutex_
  std::vector<AvControlRequest> requests_;     // guarded by mutex_
  std::string lastError_;                      // guarded by mutex_
  std::shared_ptr<const EncodedVideo> video_;  // guarded by mutex_

  // The control port (answered on the accept thread) and the data port; last, so that its
  // threads end first. Locks itself.
  Listener listener_{kMaxDataConnections};
};

}  // namespace ipcam::camsim
