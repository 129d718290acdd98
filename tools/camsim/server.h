#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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
  std::uint16_t rtspPort = 554;
  // The stream paths as the client ends up using them. The XML form carries them without
  // their ".sdp" ending, which the client adds back.
  std::string rtspMpeg4Path = "mpeg4.sdp";
  std::string rtspH264Path = "h264.sdp";
  std::string rtspMjpegPath = "mjpeg.sdp";

  Fault fault = Fault::None;
  std::chrono::milliseconds faultDelay{0};
  Garbage garbage = Garbage::None;
  std::size_t garbageBytes = 5 * 1024 * 1024;
};

struct RequestRecord {
  std::string method;
  std::string target;
  HeaderList headers;
};

// The simulated camera's web server: the parameter pages, the anonymous XML page and the
// pan/tilt page, behind the configured authentication and faults. Listens on 127.0.0.1 only.
class Server {
 public:
  static constexpr std::size_t kRequestLogLimit = 1000;

  explicit Server(Options options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool start();
  // Stops listening, ends every open connection and joins every thread. Safe to call twice.
  void stop();
  std::uint16_t port() const { return http_.port(); }
  std::string lastError() const { return http_.lastError(); }

  Options options() const;
  // Takes effect with the next request; the port of a running server stays.
  void setOptions(const Options& options);

  // The queries of the pan/tilt requests that got through, oldest first.
  std::vector<std::string> ptzLog() const;
  // Every request that arrived (the newest kRequestLogLimit), oldest first.
  std::vector<RequestRecord> requests() const;
  void clearLogs();

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

  HttpServer http_;
  Authenticator authenticator_;  // locks itself

  mutable std::mutex mutex_;
  Options options_;                     // guarded by mutex_
  std::vector<std::string> ptzLog_;     // guarded by mutex_
  std::deque<RequestRecord> requests_;  // guarded by mutex_
};

}  // namespace ipcam::camsim
