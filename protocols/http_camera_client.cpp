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

namespace ipcam {
namespace {

// The shared dispatch reads the command byte with these values.
static_assert(CameraHttpRequest::kQuery == kCommandQuery &&
              CameraHttpRequest::kClose == kCommandClose &&
              CameraHttpRequest::kOpen == kCommandOpen &&
              CameraHttpRequest::kTransfer == kCommandTransfer);

// The parts of a camera conversation. The shared helpers' codes (-1 no socket, -4 peer closed,
// -5 receive error, -6 too long, -7 not the answer expected) are moved down by the part that
// failed: the request's answer or a picture's part header, the picture data, an audio block.
enum class HttpPart : int { kHeader = 10, kPicture = 20, kAudio = 30 };

constexpr int failureIn(HttpPart part, int code) {
  return code - static_cast<int>(part);
}

// A malformed chunk of a chunked picture stream, wherever in the picture it comes.
constexpr int kBadChunk = failureIn(HttpPart::kHeader, HttpStreamReader::kBadCoding);

// The fixed path each socket channel asks for.
constexpr std::array<std::string_view, CameraHttpClient::kSocketChannels> kChannelPaths = {
    "/snapshot.cgi", "/camera-cgi/audio/receive.cgi", "/camera-cgi/audio/transmit.cgi"};

// Room for the answer to a stream request. A server or relay that offers several challenges
// (SHA-256 and MD5 Digest, Basic) with its Date and Server lines needs far more than the
// cameras' own few hundred bytes.
constexpr std::size_t kResponseCapacity = 4096;
constexpr std::size_t kPartHeaderCapacity = 1024;
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kOk = "200 OK";
constexpr std::string_view kUnauthorized = "Unauthorized";
constexpr std::string_view kNotFound = "Not Found";
constexpr std::string_view kNotAcceptable = "Not Acceptable";
constexpr std::string_view kContentLength = "Content-Length";
constexpr std::string_view kCurrentUsers = "X-CurrentUsers";
constexpr std::string_view kTooManyUsers = "Too many users";
constexpr std::string_view kMotionEvent = "Motion-Event";
constexpr std::string_view kTransferEncoding = "Transfer-Encoding";
constexpr std::string_view kContentType = "Content-Type";
// How many part headers without a single field (stray blank lines) are passed over.
constexpr int kEmptyPartHeaders = 4;

// A text of the request or the challenge as far as it is used.
std::string_view cutText(std::string_view text) {
  return limited(text, kHttpTextLimit);
}

// Sends the request and reads the answer's header through the channel's reader. The codes
// of the shared exchange: the offset of "200 OK", or -1..-7.
int exchangeOnChannel(TcpSocket& socket, HttpStreamReader& reader, const std::string& request,
                      const IoLimits& limits, std::string& answer) {
  reader.attach(socket.get());
  return exchangeThrough(reader, socket.get(), request, kResponseCapacity, kOk, limits, answer);
}

// What the stream's answer says about the body that follows.
void takeBodyCoding(std::string_view answer, HttpStreamReader& reader,
                    std::optional<MultipartBoundary>& boundary) {
  const auto coding = findHeaderField(answer, kTransferEncoding);
  reader.setChunked(coding && findNoCase(coding->value, "chunked") != std::string_view::npos);
  const auto type = findHeaderField(answer, kContentType);
  boundary = type ? MultipartBoundary::fromContentType(type->value) : std::nullopt;
}

int openChannel(CameraHttpRequest& request, CameraHttpClient& client) {
  const int channel = request.channel;
  const auto index = static_cast<std::size_t>(channel);
  client.closeChannel(channel);
  request.httpStatus = 0;
  const std::string_view path = kChannelPaths[index];
  TcpSocket& socket = client.sockets[index];
  HttpStreamReader& reader = client.readers[index];
  const std::string_view host = cutText(request.host);
  // The whole open, challenge and all, ends at one deadline: a camera that trickles its
  // answer cannot hold the channel in "Connecting..." for ever.
  const IoLimits limits = IoLimits::within(request.timeoutMs, client.runFlag());
  int result = connectWithin(host, request.port, request.timeoutMs, socket, limits);
  if (result != 0) return result;

  HttpAuthenticator auth;
  std::string answer;
  for (;;) {
    const std::string line =
        "GET " + std::string(path) + " HTTP/1.1" +
        auth.header("GET", path, cutText(request.user), cutText(request.password)) +
        std::string(kHeaderEnd);
    result = exchangeOnChannel(socket, reader, line, limits, answer);
    if (result >= 0) {
      takeBodyCoding(answer, reader, client.boundaries[index]);
      client.connected[index] = 1;
      return 0;
    }
    if (!contains(answer, kUnauthorized)) break;
    if (auth.onUnauthorized(answer) == HttpAuthenticator::Step::Refused) {
      request.httpStatus = 401;
      break;
    }
    // The camera closes the connection after its challenge; the answer goes on a new one.
    const int reconnect = connectWithin(host, request.port, request.timeoutMs, socket, limits);
    if (reconnect != 0) return reconnect;
  }
  if (contains(answer, kNotFound)) request.httpStatus = 404;
  if (contains(answer, kNotAcceptable)) request.httpStatus = 406;
  return failureIn(HttpPart::kHeader, result);
}

int openOrClose(CameraHttpRequest& request, CameraHttpClient& client) {
  int result = 0;
  if (request.command == CameraHttpRequest::kClose) client.closeChannel(request.channel);
  if (request.command == CameraHttpRequest::kOpen) result = openChannel(request, client);
  request.connected = client.connected[request.channel];
  return result;
}

// The reader's codes in the words of a picture read, in the part that read.
int pictureCode(int readerResult, HttpPart part) {
  return readerResult == HttpStreamReader::kBadCoding ? kBadChunk : failureIn(part, readerResult);
}

// The part header: the boundary line, the fields and the empty line. Blank lines a server
// puts between parts are passed over.
int readPartHeader(HttpStreamReader& reader, const IoLimits& limits, std::string& block) {
  for (int blank = 0;; ++blank) {
    const int result = reader.readUntil(kHeaderEnd, kPartHeaderCapacity, limits, block);
    if (result < 0) return pictureCode(result, HttpPart::kHeader);
    if (block.find(':') != std::string::npos || blank == kEmptyPartHeaders) return 0;
  }
}

int readPicture(CameraHttpRequest& request, CameraHttpClient& client) {
  if (client.connected[CameraHttpRequest::kVideo] == 0) return -1;
  const int fd = client.sockets[CameraHttpRequest::kVideo].get();
  if (fd < 0) return -11;
  HttpStreamReader& reader = client.readers[CameraHttpRequest::kVideo];
  const std::optional<MultipartBoundary>& boundary = client.boundaries[CameraHttpRequest::kVideo];

  // The part header as a whole has the time-out, not each of its bytes.
  std::string header;
  if (const int result =
          readPartHeader(reader, IoLimits::within(request.timeoutMs, client.runFlag()), header);
      result < 0) {
    return result;
  }
  const std::string_view block = header;
  const std::optional<HeaderField> lengthField = findHeaderField(block, kContentLength);
  if (!lengthField && !boundary) return -17;
  if (const auto users = findHeaderField(block, kCurrentUsers);
      users && users->value.starts_with(kTooManyUsers)) {
    request.httpStatus = 406;
    return -20;
  }
  std::size_t size = 0;
  const IoLimits dataLimits = IoLimits::untilStopped(client.runFlag());
  if (lengthField) {
    // The cameras of our own line say how long each picture is.
    const std::optional<int> length = leadingNumber<int>(lengthField->value);
    if (!length || *length < 1 ||
        static_cast<std::size_t>(*length) > request.receiveBuffer.size()) {
      return -20;
    }
    size = static_cast<std::size_t>(*length);
    if (const int result = reader.readExactly(request.receiveBuffer.first(size), dataLimits);
        result < 0) {
      return pictureCode(result, HttpPart::kPicture);
    }
  } else {
    const int result = reader.readUntilBoundary(*boundary, request.receiveBuffer, dataLimits, size);
    if (result == HttpStreamReader::kTooLong || (result == 0 && size == 0)) return -20;
    if (result < 0) return pictureCode(result, HttpPart::kPicture);
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
  const int result = client.readers[CameraHttpRequest::kAudioReceive].readExactly(
      request.receiveBuffer.first(kAudioBlockBytes), IoLimits::untilStopped(client.runFlag()));
  if (result < 0) return failureIn(HttpPart::kAudio, result);
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

}  // namespace

CameraHttpClient::CameraHttpClient() = default;

CameraHttpClient::~CameraHttpClient() {
  closeAll();
}

void CameraHttpClient::closeChannel(int channel) {
  if (channel < 0 || channel >= kSocketChannels) return;
  const auto index = static_cast<std::size_t>(channel);
  connected[index] = 0;
  sockets[index].reset();
  readers[index].attach(-1);
  boundaries[index].reset();
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
