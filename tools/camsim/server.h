#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tools/camsim/discovery_responder.h"
#include "tools/camsim/http_auth.h"
#include "tools/camsim/http_server.h"

namespace ipcam::camsim {

// How the camera answers the plain-list firmware group.
enum class FirmwareForm {
  PlainList,   // Version, ModelID, VendorID on the first three lines
  WrongOrder,  // ModelID before Version: the list parser gives up and the client asks the XML page
  XmlOnly,     // the plain-list group answers with the error page; only the XML page has the data
};

// Where the camera keeps its RTSP parameters.
enum class RtspForm {
  PlainList,  // group Network.RTSP
  Xml,        // group RTSP (Network.RTSP answers with the error page)
};

enum class Fault {
  None,
  Delay,         // every answer comes faultDelay late
  NoAnswer,      // the request is read, then nothing is sent until the client gives up
  Unauthorized,  // every page answers with the camera's 401 page, whatever the credentials
};

// Broken answers for the bad-input tests. They apply to the parameter pages and the XML page.
enum class Garbage {
  None,
  Oversized,     // the normal text padded to garbageBytes
  Truncated,     // the connection closes halfway through the announced length
  NonDigits,     // every number is replaced by a word
  MalformedXml,  // the XML pages are not well-formed
  EnormousXml,   // the XML pages start with elements nested garbageBytes deep in text
};

// How the picture stream turns a viewer away.
enum class StreamBusy {
  None,           // only once currentUsers plus the open streams reach maxUsers
  TooManyUsers,   // every stream: one part whose header says "X-CurrentUsers: Too many users"
  NotAcceptable,  // every stream request: "406 Not Acceptable"
};

// Broken parts of the picture stream, for the bad-input tests. Every streamFaultEvery-th part is
// the broken one; the kinds marked "ends" end the stream there.
enum class StreamFault {
  None,
  RandomHeader,     // a header block of random bytes without Content-Length, no data
  TruncatedHeader,  // the header block stops halfway (ends: the connection closes)
  LongHeader,       // a good part whose header block is padded beyond 1024 bytes
  ZeroLength,       // "Content-Length: 0", no data
  HugeLength,       // "Content-Length: 1000001" (one more than the viewer's buffer), no data
  Stall,            // half the picture, then silence while the connection stays (ends)
  Close,            // half the picture, then the connection closes (ends)
  CorruptJpeg,      // the announced length, but the picture's header bytes are scrambled
};

struct Options {
  std::uint16_t port = 0;  // 0: a free port the system picks

  std::uint32_t modelId = 20;
  std::uint32_t vendorId = 1;
  std::string firmwareVersion = "V1.0.0";
  FirmwareForm firmwareForm = FirmwareForm::PlainList;
  bool firmwareXmlReversed = false;  // the XML page lists vendorID, modelID, Version

  std::string user = "admin";
  std::string password = "admin";
  std::string realm = "IP Camera";
  AuthMode auth = AuthMode::None;

  std::uint16_t privateVideoPort = 4321;
  std::uint32_t maxUsers = 10;
  std::uint32_t currentUsers = 0;

  RtspForm rtspForm = RtspForm::PlainList;
  bool rtspEnabled = true;
  // Whether the RTSP service listens at all. When it does, the parameter pages announce the
  // port it got; when not, they announce rtspPort as it is.
  bool rtspServe = true;
  std::uint16_t rtspPort = 0;  // 0: a free port the system picks
  // The stream paths as the client ends up using them. The XML form carries them without
  // their ".sdp" ending, which the client adds back.
  std::string rtspMpeg4Path = "mpeg4.sdp";
  std::string rtspH264Path = "h264.sdp";
  std::string rtspMjpegPath = "mjpeg.sdp";
  // The RTSP video: its size (multiples of 16, so that every codec takes it), whether an A-law
  // track comes with it, and every how many frames the RTP padding carries the motion mark
  // (0: never). The frame rate is framesPerSecond, the tone toneHertz.
  std::uint32_t rtspWidth = 320;
  std::uint32_t rtspHeight = 240;
  bool rtspAudio = true;
  std::uint32_t rtspMotionEvery = 0;
  // H.264 parameter sets in band as well: SPS, PPS and a small SEI go out as packets of their
  // own right before every IDR access unit, as many cameras send them. The SDP keeps them too.
  bool rtspInBandParameterSets = false;

  // The picture stream /snapshot.cgi and the audio stream /camera-cgi/audio/receive.cgi.
  std::uint32_t pictureWidth = 640;
  std::uint32_t pictureHeight = 480;
  std::uint32_t framesPerSecond = 10;  // 0 counts as 1
  std::uint32_t motionEvery = 0;       // 0: never; N: "Motion-Event: 1" on every Nth picture
  StreamBusy streamBusy = StreamBusy::None;
  StreamFault streamFault = StreamFault::None;
  std::uint32_t streamFaultEvery = 3;  // 0 counts as 1
  std::uint32_t toneHertz = 1000;      // the audio stream's sine; 0: silence
  // Every picture of the stream carries the moment it was sent (kSendTimeComment), for
  // measuring on one machine how long the viewer takes to show it.
  bool stampSendTime = false;
  // The wire form of the picture stream: in chunks (Transfer-Encoding: chunked), and parts
  // without a Content-Length line, read up to the next boundary. Both off: as the cameras of
  // our own line send it.
  bool streamChunked = false;
  bool streamWithoutLength = false;

  // The audio/video server of the older MPEG-4 cameras (model numbers 11 to 18): a control
  // port, which the private video port then announces, and the data port right above it. The
  // data port pushes the picture stream's size and rate as MPEG-4, the motion marks of
  // motionEvery, and an A-law tone when avAudio is on. avAdmin: logins are answered as an
  // administrator's, else as a plain user's. The huge-length stream fault applies to its video
  // frames: a header announcing more than the viewer's receive buffer, with no payload.
  bool avServer = false;
  bool avAdmin = true;
  bool avAudio = true;
  // The oldest generation's picture service (120-byte commands) on a port of its own; the
  // parameter pages then announce that port as the private video port. The picture stream's
  // size, rate, motion marks and the zero-length and huge-length faults apply to it.
  bool legacyServer = false;

  Fault fault = Fault::None;
  std::chrono::milliseconds faultDelay{0};
  Garbage garbage = Garbage::None;
  std::size_t garbageBytes = 5 * 1024 * 1024;

  // Answering the viewer's LAN search (the program only; off unless asked for). The HTTP port
  // in the answer is the one the server got, and the model code is modelId unless given.
  bool discovery = false;
  DiscoveryOptions discoveryAnswer;
  bool discoveryModelGiven = false;
};

class RtspServer;
class AvServer;
class LegacyServer;

// The send-time stamp: a JPEG comment segment (FF FE) right after the start-of-image marker
// whose text is this prefix and the steady clock's time since its epoch in microseconds
// (CLOCK_MONOTONIC, the same for every process of the machine).
inline constexpr std::string_view kSendTimeComment = "camsim-sent-us=";

struct RequestRecord {
  std::string method;
  std::string target;
  HeaderList headers;
};

// The simulated camera's web server: the parameter pages, the anonymous XML page, the pan/tilt
// page, the picture stream and the audio stream, behind the configured authentication and faults.
// Listens on 127.0.0.1 only.
class Server {
 public:
  static constexpr std::size_t kRequestLogLimit = 1000;
  // Pictures encoded per size; the stream shows them in a loop.
  static constexpr std::size_t kPictureCycle = 25;
  static constexpr std::string_view kStreamBoundary = "ipcam-frame";

  explicit Server(Options options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool start();
  // Stops listening, ends every open connection and joins every thread. Safe to call twice.
  void stop();
  std::uint16_t port() const { return http_.port(); }
  // The RTSP service's port once started, else 0.
  std::uint16_t rtspPort() const;
  std::string lastError() const;
  // The legacy picture service's port once started, else 0.
  std::uint16_t legacyPort() const;
  // Connections the legacy picture service accepted.
  std::uint64_t legacyConnections() const;
  // Cuts the legacy picture service's open connections; it keeps listening.
  void dropLegacyConnections();
  // RTSP sessions sending RTP right now.
  std::uint32_t playingRtspSessions() const;
  // The MPEG-4 camera server, listening once started with avServer on (else its port is 0).
  const AvServer& avServer() const { return *av_; }
  AvServer& avServer() { return *av_; }

  Options options() const;
  // Takes effect with the next request; the port of a running server stays.
  void setOptions(const Options& options);

  // The queries of the pan/tilt requests that got through, oldest first.
  std::vector<std::string> ptzLog() const;
  // Every request that arrived, RTSP ones included (the newest kRequestLogLimit), oldest first.
  std::vector<RequestRecord> requests() const;
  void clearLogs();
  // Picture streams being served right now; each counts as a current user.
  std::uint32_t openStreams() const;

  // A page of this camera, behind its faults, authentication and request log. Only before
  // start(); the page gets a copy of the options taken when its request arrived.
  using Page = std::function<void(const HttpRequest&, HttpExchange&, const Options&)>;
  bool addPage(std::string path, bool needsLogin, Page page);

 private:
  void handle(const HttpRequest& request, HttpExchange& exchange, bool needsLogin,
              const Page& page);
  void sendUnauthorized(const HttpRequest& request, HttpExchange& exchange, const Options& options,
                        bool stale);
  void parameterPage(const HttpRequest& request, HttpExchange& exchange, const Options& options);
  void ptzPage(const HttpRequest& request, HttpExchange& exchange);
  void logRequest(RequestRecord record);
  // The options as the parameter pages show them: with the RTSP port actually listened on.
  Options announced(const Options& options) const;
  void pictureStream(const HttpRequest& request, HttpExchange& exchange, const Options& options);
  void audioStream(const HttpRequest& request, HttpExchange& exchange, const Options& options);
  // The picture cycle of the options' size, encoded on first use of that size.
  std::shared_ptr<const std::vector<std::string>> pictures(const Options& options);

  HttpServer http_;
  Authenticator authenticator_;           // locks itself
  std::unique_ptr<RtspServer> rtsp_;      // made by the constructor; locks itself
  std::unique_ptr<AvServer> av_;          // made by the constructor; locks itself
  std::unique_ptr<LegacyServer> legacy_;  // made by the constructor; locks itself
  std::string startError_;                // used on the owner's thread only: start(), lastError()

  mutable std::mutex mutex_;
  Options options_;                     // guarded by mutex_
  std::vector<std::string> ptzLog_;     // guarded by mutex_
  std::deque<RequestRecord> requests_;  // guarded by mutex_
  std::uint32_t openStreams_ = 0;       // guarded by mutex_

  // Kept apart from mutex_ so that encoding a new size holds up no other page.
  std::mutex picturesMutex_;
  std::uint32_t picturesWidth_ = 0;                           // guarded by picturesMutex_
  std::uint32_t picturesHeight_ = 0;                          // guarded by picturesMutex_
  std::shared_ptr<const std::vector<std::string>> pictures_;  // guarded by picturesMutex_
};

}  // namespace ipcam::camsim
