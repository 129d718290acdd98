#include "protocols/http_camera_client.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/stream_context.h"
#include "platform/xml_http_request.h"
#include "protocols/base64.h"
#include "platform/md5.h"

namespace ipcam {
namespace {

// The shared dispatch reads the command byte with these values.
static_assert(CameraHttpRequest::kQuery == kCommandQuery &&
              CameraHttpRequest::kClose == kCommandClose &&
              CameraHttpRequest::kOpen == kCommandOpen &&
              CameraHttpRequest::kTransfer == kCommandTransfer);

// The fixed path each socket channel asks for.
constexpr std::array<std::string_view, CameraHttpClient::kSocketChannels> kChannelPaths = {
    "/snapshot.cgi", "/camera-cgi/audio/receive.cgi", "/camera-cgi/audio/transmit.cgi"};

constexpr std::size_t kResponseCapacity = 512;
constexpr std::size_t kPartHeaderCapacity = 1024;
constexpr std::size_t kBasicCredentialsLimit = 511;
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kOk = "200 OK";
constexpr std::string_view kUnauthorized = "Unauthorized";
constexpr std::string_view kNotFound = "Not Found";
constexpr std::string_view kNotAcceptable = "Not Acceptable";
constexpr std::string_view kContentLength = "Content-Length";
constexpr std::string_view kCurrentUsers = "X-CurrentUsers";
constexpr std::string_view kTooManyUsers = "Too many users";
constexpr std::string_view kMotionEvent = "Motion-Event";
constexpr std::string_view kAuthenticate = "WWW-Authenticate";

// A text of the request or the challenge as far as it is used.
std::string_view cutText(std::string_view text) {
  return limited(text, kHttpTextLimit);
}

int openChannel(CameraHttpRequest& request, CameraHttpClient& client) {
  const int channel = request.channel;
  client.closeChannel(channel);
  request.httpStatus = 0;
  const std::string_view path = kChannelPaths[static_cast<std::size_t>(channel)];
  TcpSocket& socket = client.sockets[static_cast<std::size_t>(channel)];
  const std::string_view host = cutText(request.host);
  // The whole open, challenge and all, ends at one deadline: a camera that trickles its
  // answer cannot hold the channel in "Connecting..." for ever.
  const IoLimits limits = IoLimits::within(request.timeoutMs, client.runFlag());
  int result = connectWithin(host, request.port, request.timeoutMs, socket, limits);
  if (result != 0) return result;

  AuthChallenge challenge;
  std::array<std::uint8_t, kResponseCapacity> response{};
  std::string_view answer;
  for (;;) {
    response.fill(0);
    std::array<char, kAuthorizationHeaderCapacity> header{};
    const int headerLength = BuildAuthorizationHeader(
        challenge.realm, challenge.nonce, cutText(request.user), cutText(request.password), "GET",
        path, challenge.qop, header, challenge.kind);
    std::string line = "GET " + std::string(path) + " HTTP/1.1";
    if (headerLength > 0) line.append(header.data(), static_cast<std::size_t>(headerLength));
    line += kHeaderEnd;

    std::size_t received = 0;
    result =
        exchangeWithin(socket.get(), bytesOf(line), response, kHeaderEnd, kOk, limits, received);
    if (result >= 0) {
      client.connected[static_cast<std::size_t>(channel)] = 1;
      return 0;
    }
    answer = textOf(std::span(response).first(received));
    if (!contains(answer, kUnauthorized)) break;
    if (challenge.kind != kAuthNotChallenged) {
      request.httpStatus = 401;
      break;
    }
    challenge.kind = kAuthUnknown;
    parseChallenge(answer, challenge);
    // The camera closes the connection after its challenge; the answer goes on a new one.
    const int reconnect = connectWithin(host, request.port, request.timeoutMs, socket, limits);
    if (reconnect != 0) return reconnect;
  }
  if (contains(answer, kNotFound)) request.httpStatus = 404;
  if (contains(answer, kNotAcceptable)) request.httpStatus = 406;
  return result - 10;
}

int openOrClose(CameraHttpRequest& request, CameraHttpClient& client) {
  int result = 0;
  if (request.command == CameraHttpRequest::kClose) client.closeChannel(request.channel);
  if (request.command == CameraHttpRequest::kOpen) result = openChannel(request, client);
  request.connected = client.connected[request.channel];
  return result;
}

int readPicture(CameraHttpRequest& request, CameraHttpClient& client) {
  if (client.connected[CameraHttpRequest::kVideo] == 0) return -1;
  const int fd = client.sockets[CameraHttpRequest::kVideo].get();
  if (fd < 0) return -11;

  std::array<std::uint8_t, kPartHeaderCapacity> header{};
  std::size_t used = 0;
  // The part header as a whole has the time-out, not each of its bytes.
  const int headerResult = receiveUntil(
      fd, header, kHeaderEnd, IoLimits::within(request.timeoutMs, client.runFlag()), used);
  if (headerResult < 0) return headerResult - 10;
  const std::string_view block = textOf(std::span(header).first(used));

  const std::optional<HeaderField> lengthField = findHeaderField(block, kContentLength);
  if (!lengthField) return -17;
  if (const auto users = findHeaderField(block, kCurrentUsers);
      users && users->value.starts_with(kTooManyUsers)) {
    request.httpStatus = 406;
    return -20;
  }
  const std::optional<int> length = leadingNumber<int>(lengthField->value);
  if (!length || *length < 1 || static_cast<std::size_t>(*length) > request.receiveBuffer.size()) {
    return -20;
  }
  const auto size = static_cast<std::size_t>(*length);
  switch (receiveExactly(fd, request.receiveBuffer.first(size),
                         IoLimits::untilStopped(client.runFlag()))) {
    case IoResult::Closed:
      return -24;
    case IoResult::Failed:
      return -25;
    case IoResult::Done:
      break;
  }
  request.receivedLength = static_cast<std::uint32_t>(size);
  const auto motion = findHeaderField(block, kMotionEvent);
  request.motionEvent = motion && motion->value.starts_with('1') ? 1 : 0;
  return 0;
}

int receiveAudio(CameraHttpRequest& request, CameraHttpClient& client) {
  if (request.receiveBuffer.size() < kAudioBlockBytes) return -30;
  const int fd = client.sockets[CameraHttpRequest::kAudioReceive].get();
  if (fd < 0) return -31;
  switch (receiveExactly(fd, request.receiveBuffer.first(kAudioBlockBytes),
                         IoLimits::untilStopped(client.runFlag()))) {
    case IoResult::Closed:
      return -34;
    case IoResult::Failed:
      return -35;
    case IoResult::Done:
      break;
  }
  request.receivedLength = kAudioBlockBytes;
  return 0;
}

int transmitAudio(CameraHttpRequest& request, CameraHttpClient& client) {
  if (request.sendData.size() < kAudioBlockBytes) return -40;
  const int fd = client.sockets[CameraHttpRequest::kAudioTransmit].get();
  if (fd < 0) return -41;
  switch (sendExactly(fd, request.sendData.first(kAudioBlockBytes))) {
    case IoResult::Closed:
      return -42;
    case IoResult::Failed:
      return -43;
    case IoResult::Done:
      break;
  }
  return 0;
}

int fetchDocument(CameraHttpRequest& request, CameraHttpClient& client) {
  if (!client.xmlRequest) {
    try {
      client.xmlRequest = std::make_unique<platform::XmlHttpRequest>();
    } catch (const std::exception&) {
      client.xmlRequest.reset();
      return -50;
    }
  }
  platform::XmlHttpRequest& xml = *client.xmlRequest;
  try {
    std::string_view path = textOf(request.sendData);
    path = path.substr(0, path.find('\0'));
    const std::string url = "http://" + std::string(cutText(request.host)) + ":" +
                            std::to_string(request.port) + "/" + std::string(path);
    const std::chrono::milliseconds timeout(request.timeoutMs);
    // The object's own limits end its transfer thread no later than our wait gives up.
    xml.setTimeouts(timeout, timeout);
    if (xml.open("GET", url, true, cutText(request.user), cutText(request.password)) !=
        platform::XmlHttpResult::Ok) {
      return -51;
    }
    if (xml.setRequestHeader("If-Modified-Since", "0") != platform::XmlHttpResult::Ok) return -52;
    if (xml.send() != platform::XmlHttpResult::Ok) return -53;
    if (platform::waitForCompletion(xml, timeout, client.runFlag()) !=
        platform::WaitOutcome::Completed) {
      return -54;
    }
    // A camera that could not be reached ends the transfer with no text at all; that is no
    // document, not an empty one.
    if (xml.result() != platform::XmlHttpResult::Ok) {
      xml.abort();
      return -54;
    }
    const std::string text = xml.responseText();
    if (!request.receiveBuffer.empty() && !text.empty()) {
      if (text.size() > request.receiveBuffer.size()) return -55;
      std::copy(text.begin(), text.end(), request.receiveBuffer.begin());
      if (text.size() < request.receiveBuffer.size()) request.receiveBuffer[text.size()] = 0;
      request.receivedLength = static_cast<std::uint32_t>(text.size());
    }
    xml.abort();
    return 0;
  } catch (const std::exception&) {
    xml.abort();
    return -57;
  }
}

int transfer(CameraHttpRequest& request, CameraHttpClient& client) {
  switch (request.channel) {
    case CameraHttpRequest::kVideo:
      return readPicture(request, client);
    case CameraHttpRequest::kAudioReceive:
      return receiveAudio(request, client);
    case CameraHttpRequest::kAudioTransmit:
      return transmitAudio(request, client);
    default:
      return fetchDocument(request, client);
  }
}

int dispatch(CameraHttpRequest& request, CameraHttpClient& client) {
  if (request.command <= CameraHttpRequest::kTransfer) {
    const int lastChannel = request.command == CameraHttpRequest::kTransfer
                                ? CameraHttpRequest::kDocument
                                : CameraHttpClient::kSocketChannels - 1;
    if (request.channel > lastChannel) return -2;
  }
  return dispatchCommand(
      request.command, [&] { return transfer(request, client); },
      [&] { return openOrClose(request, client); });
}

std::string hex32(std::uint32_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

}  // namespace

CameraHttpClient::CameraHttpClient() = default;

CameraHttpClient::~CameraHttpClient() {
  closeAll();
}

void CameraHttpClient::closeChannel(int channel) {
  if (channel < 0 || channel >= kSocketChannels) return;
  connected[static_cast<std::size_t>(channel)] = 0;
  sockets[static_cast<std::size_t>(channel)].reset();
}

void CameraHttpClient::closeAll() {
  for (int channel = 0; channel < kSocketChannels; ++channel) closeChannel(channel);
  xmlRequest.reset();
}

int RunHttpRequest(CameraHttpRequest* request, CameraHttpClient& client) {
  if (request == nullptr) {
    client.closeAll();
    return 0;
  }
  return timedRequest(*request, [&] { return dispatch(*request, client); });
}

void parseChallenge(std::string_view response, AuthChallenge& challenge) {
  // Each value is what stands between the first two double quotes after its key.
  const auto quoted = [response](std::string_view key, std::string& field) {
    const std::size_t keyAt = findNoCase(response, key);
    if (keyAt == std::string_view::npos) return;
    const std::size_t open = response.find('"', keyAt);
    if (open == std::string_view::npos) return;
    std::string_view value = response.substr(open + 1);
    value = value.substr(0, value.find('"'));
    if (!value.empty()) field = cutText(value);
  };
  quoted("realm=", challenge.realm);
  quoted("nonce=", challenge.nonce);
  quoted("qop=", challenge.qop);
  bool basic = false;
  bool digest = false;
  for (auto field = findHeaderField(response, kAuthenticate); field;
       field = findHeaderField(response, kAuthenticate, field->nextLine)) {
    const std::string_view scheme = field->value.substr(0, field->value.find_first_of(" \t,"));
    basic = basic || equalsNoCase(scheme, "Basic");
    digest = digest || equalsNoCase(scheme, "Digest");
  }
  if (basic) challenge.kind = kAuthBasic;
  if (digest) challenge.kind = kAuthDigest;
}

int BuildAuthorizationHeader(std::string_view realm, std::string_view nonce, std::string_view user,
                             std::string_view password, std::string_view method,
                             std::string_view uri, std::string_view qop, std::span<char> output,
                             int kind) {
  if (output.empty()) return -1;
  output[0] = '\0';
  if (user.empty() || password.empty()) return -1;

  std::string header;
  if (kind == kAuthBasic) {
    std::string credentials = std::string(user) + ":" + std::string(password);
    credentials.resize(std::min(credentials.size(), kBasicCredentialsLimit));
    std::vector<std::uint8_t> encoded((credentials.size() + 2) / 3 * 4 + 1);
    const int length = Base64Code(bytesOf(credentials), false, encoded);
    if (length < 0) return -2;
    header = "\r\nAuthorization: Basic " +
             std::string(textOf(std::span(encoded).first(static_cast<std::size_t>(length))));
  } else if (kind == kAuthDigest) {
    if (method.empty() || uri.empty() || realm.empty() || nonce.empty()) return -1;
    const auto join = [](std::initializer_list<std::string_view> parts) {
      std::string text;
      for (const std::string_view part : parts) {
        if (!text.empty()) text += ':';
        text += part;
      }
      return text;
    };
    const std::string ha1 = Md5::hexOf(join({user, realm, password}));
    const std::string ha2 = Md5::hexOf(join({method, uri}));
    const auto quotedField = [](std::string_view name, std::string_view value) {
      return std::string(name) + "=\"" + std::string(value) + "\"";
    };
    header = "\r\nAuthorization: Digest " + quotedField("username", user) + ", " +
             quotedField("realm", realm) + ", " + quotedField("nonce", nonce) + ", " +
             quotedField("uri", uri) + ", ";
    if (!qop.empty()) {
      const std::string nc = hex32(tickMs(), 8);
      const std::string cnonce = hex32(tickMs(), 16);
      const std::string response = Md5::hexOf(join({ha1, nonce, nc, cnonce, qop, ha2}));
      header += quotedField("qop", qop) + ", " + quotedField("nc", nc) + ", " +
                quotedField("cnonce", cnonce) + ", " + quotedField("response", response);
    } else {
      header += quotedField("response", Md5::hexOf(join({ha1, nonce, ha2})));
    }
  } else {
    return -1;
  }
  if (header.size() + 1 > output.size()) return -2;
  std::copy(header.begin(), header.end(), output.begin());
  output[header.size()] = '\0';
  return static_cast<int>(header.size());
}

int FetchDocument(const DocumentTarget& target, std::string_view path, int timeoutMs,
                  std::string& response, std::size_t capacity, const HttpRunFlag* runFlag) {
  CameraHttpClient client;
  client.setRunFlag(runFlag);
  CameraHttpRequest request;
  request.command = CameraHttpRequest::kTransfer;
  request.channel = CameraHttpRequest::kDocument;
  request.user = target.user;
  request.password = target.password;
  request.host = target.host;
  request.port = target.port;
  request.timeoutMs = timeoutMs;
  const std::string pathText(path);
  request.sendData = bytesOf(pathText);
  std::vector<std::uint8_t> buffer(capacity);
  request.receiveBuffer = buffer;

  const int result = RunHttpRequest(&request, client);
  response.clear();
  if (result == 0) response.assign(textOf(std::span(buffer).first(request.receivedLength)));
  RunHttpRequest(nullptr, client);
  return result;
}

int FetchDocument(const StreamContext& context, std::string_view path, std::string& response,
                  std::size_t capacity, const HttpRunFlag* runFlag) {
  const StreamContext::Setup setup = context.setup();
  int port = 0;
  std::from_chars(setup.portText.data(), setup.portText.data() + setup.portText.size(), port);
  const DocumentTarget target{setup.host, static_cast<std::uint16_t>(port), setup.user,
                              setup.password};
  return FetchDocument(target, path, kHttpTimeoutMs, response, capacity, runFlag);
}

}  // namespace ipcam
