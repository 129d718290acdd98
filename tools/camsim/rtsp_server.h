#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "tools/camsim/http_auth.h"
#include "tools/camsim/http_server.h"
#include "tools/camsim/rtsp_media.h"
#include "tools/camsim/server.h"

namespace ipcam::camsim {

// The camera's RTSP 1.0 service (RFC 2326) on 127.0.0.1: one stream per configured path (MPEG-4,
// H.264 and JPEG video, with an optional A-law track), RTP carried interleaved on the RTSP
// connection only. Credentials are checked on DESCRIBE; the rest of the connection rides on that
// login, because the viewer signs SETUP and PLAY with the stream's URL rather than the track's.
// One thread per connection; stop() reaches every wait at once.
class RtspServer {
 public:
  using OptionsSource = std::function<Options()>;
  using RequestLog = std::function<void(RequestRecord)>;

  static constexpr std::size_t kVideoCycle = 25;
  static constexpr std::size_t kMaxPayload = 1400;  // RTP payload bytes of one packet, at most
  static constexpr std::size_t kMaxSdp = 512;
  static constexpr std::size_t kMaxConnections = 64;

  // `options` is asked at every request; `log` (optional) sees every request that was parsed.
  RtspServer(OptionsSource options, Authenticator& authenticator, RequestLog log = {});
  ~RtspServer();
  RtspServer(const RtspServer&) = delete;
  RtspServer& operator=(const RtspServer&) = delete;

  // 0: a free port the system picks. A server starts once.
  bool start(std::uint16_t port);
  void stop();  // safe to call twice
  std::uint16_t port() const { return port_.load(); }
  std::string lastError() const;
  // Sessions sending RTP right now.
  std::uint32_t playingSessions() const { return playing_.load(); }

  // The encoded cycle for a codec and size, made on first use; nullptr if it cannot be made.
  std::shared_ptr<const EncodedVideo> video(RtspCodec codec, std::uint32_t width,
                                            std::uint32_t height);

 private:
  friend class RtspConnection;
  void serve(int fd);

  OptionsSource options_;
  Authenticator& authenticator_;  // locks itself
  RequestLog log_;

  StopSignal stop_;
  std::atomic<bool> started_{false};
  std::atomic<std::uint16_t> port_{0};
  std::atomic<std::uint32_t> playing_{0};
  std::mutex stopMutex_;  // serialises stop() with itself

  // Apart from the connections so that encoding holds up no accept and no stream being served.
  std::mutex videoMutex_;
  std::map<std::tuple<RtspCodec, std::uint32_t, std::uint32_t>,
           std::shared_ptr<const EncodedVideo>>
      videos_;  // guarded by videoMutex_

  Listener listener_{kMaxConnections};  // last, so that its threads end first; locks itself
};

}  // namespace ipcam::camsim
