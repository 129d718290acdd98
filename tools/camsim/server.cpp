#include "tools/camsim/server.h"

#include <string_view>
#include <utility>

#include "tools/camsim/av_server.h"
#include "tools/camsim/legacy_server.h"
#include "tools/camsim/rtsp_server.h"

namespace ipcam::camsim {
namespace {

// What a camera of this family answers for a group it does not have; the RTSP parameter
// query looks for exactly this text before it turns to the XML group.
constexpr std::string_view kNoSuchGroup = "Failed to get xml data\r\n";
constexpr std::string_view kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
constexpr std::string_view kPlainText = "text/plain";
constexpr std::string_view kXml = "text/xml";

std::string escapeMarkup(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string number(std::uint64_t value, const Options& options) {
  return options.garbage == Garbage::NonDigits ? "unknown" : std::to_string(value);
}

std::string withoutSdp(std::string_view path) {
  constexpr std::string_view kSdp = ".sdp";
  if (path.size() > kSdp.size() && path.substr(path.size() - kSdp.size()) == kSdp)
    path.remove_suffix(kSdp.size());
  return std::string(path);
}

std::string firmwareList(const Options& options) {
  const std::string version = "Properties.Firmware.Version=" + options.firmwareVersion + "\n";
  const std::string model =
      "Properties.Firmware.ModelID=" + number(options.modelId, options) + "\n";
  const std::string vendor =
      "Properties.Firmware.VendorID=" + number(options.vendorId, options) + "\n";
  return options.firmwareForm == FirmwareForm::WrongOrder ? model + version + vendor
                                                          : version + model + vendor;
}

std::string firmwareXml(const Options& options) {
  const std::string version = "<Version>" + escapeMarkup(options.firmwareVersion) + "</Version>\n";
  const std::string model = "<modelID>" + number(options.modelId, options) + "</modelID>\n";
  const std::string vendor = "<vendorID>" + number(options.vendorId, options) + "</vendorID>\n";
  const std::string fields =
      options.firmwareXmlReversed ? vendor + model + version : version + model + vendor;
  return std::string(kXmlHead) + "<root>\n<SystemInfo>\n<Firmware>\n" + fields +
         "</Firmware>\n</SystemInfo>\n</root>\n";
}

std::string rtspList(const Options& options) {
  return "Network.RTSP.Enable=" + std::string(options.rtspEnabled ? "1" : "0") + "\n" +
         "Network.RTSP.Port=" + number(options.rtspPort, options) + "\n" +
         "Network.RTSP.Path=" + options.rtspMpeg4Path + "\n" +
         "Network.RTSP.H264Path=" + options.rtspH264Path + "\n" +
         "Network.RTSP.MJPEGPath=" + options.rtspMjpegPath + "\n";
}

std::string rtspXml(const Options& options) {
  const auto path = [](std::string_view name, std::string_view value) {
    return "<" + std::string(name) + " id=\"profile0\" maxLen=\"63\">" +
           escapeMarkup(withoutSdp(value)) + "</" + std::string(name) + ">\n";
  };
  return std::string(kXmlHead) + "<root>\n<RTSP>\n<rtspEnable maxLen=\"1\">" +
         (options.rtspEnabled ? "1" : "0") + "</rtspEnable>\n<rtspPort maxLen=\"5\">" +
         number(options.rtspPort, options) + "</rtspPort>\n" +
         path("rtspMPEG4Path", options.rtspMpeg4Path) + path("rtspH264Path", options.rtspH264Path) +
         path("rtspMJPEGPath", options.rtspMjpegPath) + "</RTSP>\n</root>\n";
}

// Well-formed XML that begins with elements nested as deep as `bytes` allows, then holds the
// real content: a lookup must get through it without recursion trouble.
std::string enormousXml(std::string_view document, std::size_t bytes) {
  const std::size_t rootStart = document.find("<root>");
  if (rootStart == std::string_view::npos) return std::string(document);
  const std::size_t depth = bytes / 7;  // "<p>" + "</p>"
  std::string out(document.substr(0, rootStart + 6));
  out.reserve(bytes + document.size());
  for (std::size_t i = 0; i < depth; ++i) out += "<p>";
  for (std::size_t i = 0; i < depth; ++i) out += "</p>";
  out += document.substr(rootStart + 6);
  return out;
}

std::string malformedXml(std::string_view document) {
  // Cut before the last end tags and break the nesting: an end tag that closes nothing open.
  const std::size_t firmwareEnd = document.find("</Firmware>");
  std::string out(document.substr(
      0, firmwareEnd == std::string_view::npos ? document.size() / 2 : firmwareEnd));
  out += "</SystemInfo>\n<root";
  return out;
}

// Sends a text page the way the configured garbage wants it.
void sendPage(HttpExchange& exchange, const Options& options, std::string_view contentType,
              std::string body, bool isXml) {
  switch (options.garbage) {
    case Garbage::None:
    case Garbage::NonDigits:
      break;  // the numbers were already written as words
    case Garbage::Oversized: {
      const std::string line = "# " + std::string(77, 'x') + "\n";
      while (body.size() + line.size() <= options.garbageBytes) body += line;
      body.append(options.garbageBytes > body.size() ? options.garbageBytes - body.size() : 0, '#');
      break;
    }
    case Garbage::Truncated: {
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(contentType) +
                               "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n";
      if (exchange.sendRaw(head))
        exchange.sendRaw(std::string_view(body).substr(0, body.size() / 2));
      exchange.closeNow();
      return;
    }
    case Garbage::MalformedXml:
      if (isXml) body = malformedXml(body);
      break;
    case Garbage::EnormousXml:
      if (isXml) body = enormousXml(body, options.garbageBytes);
      break;
  }
  exchange.send(HttpResponse::text(200, "OK", std::string(contentType), std::move(body)));
}

}  // namespace

Server::Server(Options options)
    : rtsp_(std::make_unique<RtspServer>(
          [this] { return this->options(); }, authenticator_,
          [this](RequestRecord record) { logRequest(std::move(record)); })),
      av_(std::make_unique<AvServer>([this] { return this->options(); })),
      options_(std::move(options)) {
  legacy_ =
      std::make_unique<LegacyServer>([this] { return this->options(); },
                                     [this](const Options& current) { return pictures(current); });
  addPage("/camera-cgi/admin/param.cgi", true,
          [this](const HttpRequest& request, HttpExchange& exchange, const Options& current) {
            parameterPage(request, exchange, current);
          });
  addPage("/camera-cgi/public/anonymous.cgi", false,
          [](const HttpRequest&, HttpExchange& exchange, const Options& current) {
            sendPage(exchange, current, kXml, firmwareXml(current), true);
          });
  addPage("/camera-cgi/com/ptz.cgi", true,
          [this](const HttpRequest& request, HttpExchange& exchange, const Options&) {
            ptzPage(request, exchange);
          });
  addPage("/snapshot.cgi", true,
          [this](const HttpRequest& request, HttpExchange& exchange, const Options& current) {
            pictureStream(request, exchange, current);
          });
  addPage("/camera-cgi/audio/receive.cgi", true,
          [this](const HttpRequest& request, HttpExchange& exchange, const Options& current) {
            audioStream(request, exchange, current);
          });
  http_.setFallback([this](const HttpRequest& request, HttpExchange& exchange) {
    handle(request, exchange, false, [](const HttpRequest& r, HttpExchange& e, const Options&) {
      e.send(HttpResponse::text(404, "Not Found", "text/html",
                                "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\r\n"
                                "<BODY><H1>404 Not Found</H1>\r\nThe requested URL " +
                                    escapeMarkup(r.path) +
                                    " was not found on this server.\r\n</BODY></HTML>\r\n"));
    });
  });
}

Server::~Server() {
  stop();
}

bool Server::start() {
  const Options current = options();
  pictures(current);  // so that the first viewer does not wait for the encoder
  startError_.clear();
  if (!http_.start(current.port)) return false;
  if (current.rtspServe && !rtsp_->start(current.rtspPort)) {
    startError_ = "RTSP " + rtsp_->lastError();
    http_.stop();
    return false;
  }
  if (current.avServer && !av_->start()) {
    startError_ = "AV server: " + av_->lastError();
    rtsp_->stop();
    http_.stop();
    return false;
  }
  if (current.legacyServer && !legacy_->start(0)) {
    startError_ = "legacy " + legacy_->lastError();
    av_->stop();
    rtsp_->stop();
    http_.stop();
    return false;
  }
  return true;
}

std::uint16_t Server::legacyPort() const {
  return legacy_->port();
}

std::uint64_t Server::legacyConnections() const {
  return legacy_->connections();
}

void Server::dropLegacyConnections() {
  legacy_->dropConnections();
}

void Server::stop() {
  av_->stop();
  legacy_->stop();
  rtsp_->stop();
  http_.stop();
}

std::uint16_t Server::rtspPort() const {
  return rtsp_->port();
}

std::string Server::lastError() const {
  return startError_.empty() ? http_.lastError() : startError_;
}

std::uint32_t Server::playingRtspSessions() const {
  return rtsp_->playingSessions();
}

void Server::logRequest(RequestRecord record) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(record));
  if (requests_.size() > kRequestLogLimit) requests_.pop_front();
}

Options Server::options() const {
  std::lock_guard lock(mutex_);
  return options_;
}

void Server::setOptions(const Options& options) {
  std::lock_guard lock(mutex_);
  options_ = options;
}

std::vector<std::string> Server::ptzLog() const {
  std::lock_guard lock(mutex_);
  return ptzLog_;
}

std::vector<RequestRecord> Server::requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

std::uint32_t Server::openStreams() const {
  std::lock_guard lock(mutex_);
  return openStreams_;
}

void Server::clearLogs() {
  std::lock_guard lock(mutex_);
  ptzLog_.clear();
  requests_.clear();
}

bool Server::addPage(std::string path, bool needsLogin, Page page) {
  return http_.route(std::move(path), [this, needsLogin, page = std::move(page)](
                                          const HttpRequest& request, HttpExchange& exchange) {
    handle(request, exchange, needsLogin, page);
  });
}

void Server::handle(const HttpRequest& request, HttpExchange& exchange, bool needsLogin,
                    const Page& page) {
  const Options current = options();
  logRequest({request.method, request.target, request.headers});

  switch (current.fault) {
    case Fault::None:
      break;
    case Fault::Delay:
      if (!exchange.pause(current.faultDelay)) return;
      break;
    case Fault::NoAnswer:
      exchange.holdOpen();
      return;
    case Fault::Unauthorized:
      sendUnauthorized(request, exchange, current, false);
      return;
  }

  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse refusal =
        HttpResponse::text(405, "Method Not Allowed", "text/plain", "Method Not Allowed\r\n");
    refusal.headers.emplace_back("Allow", "GET, HEAD");
    exchange.send(refusal);
    return;
  }
  if (needsLogin) {
    const Account account{current.user, current.password, current.realm};
    const auto verdict = authenticator_.check(current.auth, account, request);
    if (verdict != Authenticator::Verdict::Accepted) {
      sendUnauthorized(request, exchange, current, verdict == Authenticator::Verdict::Stale);
      return;
    }
  }
  page(request, exchange, current);
}

void Server::sendUnauthorized(const HttpRequest& request, HttpExchange& exchange,
                              const Options& options, bool stale) {
  // A 401 always names a scheme; a camera without a login still asks for Basic.
  const AuthMode mode = options.auth == AuthMode::None ? AuthMode::Basic : options.auth;
  const Account account{options.user, options.password, options.realm};
  HttpResponse response = HttpResponse::text(
      401, "Unauthorized", "text/html",
      "<HTML><HEAD><TITLE>401 Unauthorized</TITLE></HEAD>\r\n"
      "<BODY><H1>401 Unauthorized</H1>\r\nYour client does not have permission to get URL " +
          escapeMarkup(request.path) + " from this server.\r\n</BODY></HTML>\r\n");
  response.headers.emplace_back("WWW-Authenticate", authenticator_.challenge(mode, account, stale));
  exchange.send(response);
}

Options Server::announced(const Options& options) const {
  Options shown = options;
  if (rtsp_->port() != 0) shown.rtspPort = rtsp_->port();
  if (av_->controlPort() != 0) shown.privateVideoPort = av_->controlPort();
  if (legacy_->port() != 0) shown.privateVideoPort = legacy_->port();
  return shown;
}

void Server::parameterPage(const HttpRequest& request, HttpExchange& exchange,
                           const Options& options) {
  const std::string group = request.queryParameter("group").value_or("");
  const bool listing = request.queryParameter("action") == "list";
  std::string body;
  bool isXml = false;
  if (!listing) {
    body = kNoSuchGroup;
  } else if (group == "Properties.Firmware") {
    body = options.firmwareForm == FirmwareForm::XmlOnly ? std::string(kNoSuchGroup)
                                                         : firmwareList(options);
  } else if (group == "System.PrivateVideoPort") {
    body = "System.PrivateVideoPort=" + number(announced(options).privateVideoPort, options) + "\n";
  } else if (group == "Properties.VideoServer") {
    const std::uint64_t users = std::uint64_t{options.currentUsers} + openStreams();
    body = "Properties.VideoServer.MaxUsers=" + number(options.maxUsers, options) +
           "\nProperties.VideoServer.CurrentUsers=" + number(users, options) + "\n";
  } else if (group == "Network.RTSP" && options.rtspForm == RtspForm::PlainList) {
    body = rtspList(announced(options));
  } else if (group == "RTSP" && options.rtspForm == RtspForm::Xml) {
    body = rtspXml(announced(options));
    isXml = true;
  } else {
    body = kNoSuchGroup;
  }
  sendPage(exchange, options, isXml ? kXml : kPlainText, std::move(body), isXml);
}

void Server::ptzPage(const HttpRequest& request, HttpExchange& exchange) {
  {
    std::lock_guard lock(mutex_);
    ptzLog_.push_back(request.query);
    if (ptzLog_.size() > kRequestLogLimit) ptzLog_.erase(ptzLog_.begin());
  }
  exchange.send(HttpResponse::text(200, "OK", "text/plain", "OK\r\n"));
}

}  // namespace ipcam::camsim
