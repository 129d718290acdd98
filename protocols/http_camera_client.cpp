#include "protocols/http_camera_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <optional>
#include <vector>

#include "platform/xml_http_request.h"
#include "protocols/base64.h"
#include "protocols/md5.h"
#include "protocols/stream_context.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

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
constexpr std::string_view kContentLength = "Content-Length:";
constexpr std::string_view kTooManyUsers = "X-CurrentUsers: Too many users";
constexpr std::string_view kMotionEvent = "Motion-Event: 1";

// Result offsets of the two wrapping steps, so that a code tells where it failed.
constexpr int kOpenOffset = 1000;
constexpr int kTransferOffset = 2000;

// How often a receive that waits for data looks at the run flag.
constexpr int kRunFlagPollMs = 50;

std::uint32_t tickMs() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::string_view limited(std::string_view text, std::size_t limit = kHttpTextLimit) {
  return text.substr(0, std::min(text.size(), limit));
}

std::string_view textOf(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The socket's own receive time-out, which bounds a wait as it would bound a blocking recv.
std::chrono::milliseconds receiveTimeout(int fd) {
  timeval timeout{};
  socklen_t length = sizeof timeout;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length) != 0) return 0ms;
  return std::chrono::seconds(timeout.tv_sec) +
         std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::microseconds(timeout.tv_usec));
}

// recv() as the camera code expects it (0 peer closed, -1 error or time-out), which with a run
// flag also gives up as soon as the flag drops.
ssize_t receiveSome(int fd, std::uint8_t* data, std::size_t size, const HttpRunFlag* runFlag) {
  for (;;) {
    const ssize_t received = ::recv(fd, data, size, runFlag != nullptr ? MSG_DONTWAIT : 0);
    if (received >= 0) return received;
    if (errno == EINTR) continue;
    if (runFlag == nullptr || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    if (!waitUntilReadable(fd, *runFlag)) return -1;
  }
}

ssize_t sendSome(int fd, const std::uint8_t* data, std::size_t size) {
  for (;;) {
    // A camera that hung up must cost an error code, not the process.
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent;
  }
}

enum class IoResult { Done, Closed, Failed };

IoResult receiveExactly(int fd, std::span<std::uint8_t> buffer, const HttpRunFlag* runFlag) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t received = receiveSome(fd, buffer.data() + done, buffer.size() - done, runFlag);
    if (received == 0) return IoResult::Closed;
    if (received < 0) return IoResult::Failed;
    done += static_cast<std::size_t>(received);
  }
  return IoResult::Done;
}

IoResult sendExactly(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = sendSome(fd, bytes.data() + done, bytes.size() - done);
    if (sent == 0) return IoResult::Closed;
    if (sent < 0) return IoResult::Failed;
    done += static_cast<std::size_t>(sent);
  }
  return IoResult::Done;
}

// Reads byte by byte until `terminator` ends what was read, so nothing behind it is
// consumed. 0, or -4 peer closed, -5 receive error, -6 the buffer filled up first.
int receiveUntil(int fd, std::span<std::uint8_t> buffer, std::string_view terminator,
                 const HttpRunFlag* runFlag, std::size_t& received) {
  received = 0;
  for (;;) {
    if (received == buffer.size()) return -6;
    const ssize_t got = receiveSome(fd, buffer.data() + received, 1, runFlag);
    if (got == 0) return -4;
    if (got < 0) return -5;
    ++received;
    if (textOf(buffer.first(received)).ends_with(terminator)) return 0;
  }
}

int exchange(int fd, std::span<const std::uint8_t> request, std::span<std::uint8_t> response,
             std::string_view terminator, std::string_view expected, const HttpRunFlag* runFlag,
             std::size_t& received) {
  received = 0;
  if (fd < 0) return -1;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t count = sendSome(fd, request.data() + sent, request.size() - sent);
    if (count == 0) return -2;
    if (count < 0) return -3;
    sent += static_cast<std::size_t>(count);
  }
  if (response.empty()) return static_cast<int>(sent);

  if (!terminator.empty()) {
    const int result = receiveUntil(fd, response, terminator, runFlag, received);
    if (result < 0) return result;
  } else {
    while (received < response.size()) {
      const ssize_t count =
          receiveSome(fd, response.data() + received, response.size() - received, runFlag);
      if (count == 0) return -4;
      if (count < 0) return -5;
      received += static_cast<std::size_t>(count);
    }
  }
  if (expected.empty()) return static_cast<int>(received);
  const std::size_t offset = textOf(response.first(received)).find(expected);
  return offset == std::string_view::npos ? -7 : static_cast<int>(offset);
}

// "%*[^:]:%d" from the "Content-Length:" position: a number that is missing, malformed or out
// of range gives nothing.
std::optional<int> contentLength(std::string_view field) {
  const std::size_t colon = field.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  std::string_view value = field.substr(colon + 1);
  const std::size_t digits = value.find_first_not_of(" \t\r\n\v\f");
  if (digits == std::string_view::npos) return std::nullopt;
  value.remove_prefix(digits);
  if (value.starts_with('+')) value.remove_prefix(1);
  int number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc()) return std::nullopt;
  return number;
}

int openChannel(CameraHttpRequest& request, CameraHttpClient& client) {
  const int channel = request.channel;
  client.closeChannel(channel);
  request.httpStatus = 0;
  const std::string_view path = kChannelPaths[static_cast<std::size_t>(channel)];
  TcpSocket& socket = client.sockets[static_cast<std::size_t>(channel)];
  const std::string_view host = limited(request.host);
  int result = ConnectTcp(host, request.port, request.timeoutMs, socket);
  if (result != 0) return result;

  AuthChallenge challenge;
  std::array<std::uint8_t, kResponseCapacity> response{};
  std::string_view answer;
  for (;;) {
    response.fill(0);
    std::array<char, kAuthorizationHeaderCapacity> header{};
    const int headerLength = BuildAuthorizationHeader(
        challenge.realm, challenge.nonce, limited(request.user), limited(request.password), "GET",
        path, challenge.qop, header, challenge.kind);
    std::string line = "GET " + std::string(path) + " HTTP/1.1";
    if (headerLength > 0) line.append(header.data(), static_cast<std::size_t>(headerLength));
    line += kHeaderEnd;

    std::size_t received = 0;
    result = exchange(socket.get(), bytesOf(line), response, kHeaderEnd, kOk, client.runFlag(),
                      received);
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
    const int reconnect = ConnectTcp(host, request.port, request.timeoutMs, socket);
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
  const int headerResult = receiveUntil(fd, header, kHeaderEnd, client.runFlag(), used);
  if (headerResult < 0) return headerResult - 10;
  const std::string_view block = textOf(std::span(header).first(used));

  const std::size_t lengthField = block.find(kContentLength);
  if (lengthField == std::string_view::npos) return -17;
  if (contains(block, kTooManyUsers)) {
    request.httpStatus = 406;
    return -20;
  }
  const std::optional<int> length = contentLength(block.substr(lengthField));
  if (!length || *length < 1 || static_cast<std::size_t>(*length) > request.receiveBuffer.size()) {
    return -20;
  }
  const auto size = static_cast<std::size_t>(*length);
  switch (receiveExactly(fd, request.receiveBuffer.first(size), client.runFlag())) {
    case IoResult::Closed:
      return -24;
    case IoResult::Failed:
      return -25;
    case IoResult::Done:
      break;
  }
  request.receivedLength = static_cast<std::uint32_t>(size);
  request.motionEvent = contains(block, kMotionEvent) ? 1 : 0;
  return 0;
}

int receiveAudio(CameraHttpRequest& request, CameraHttpClient& client) {
  if (request.receiveBuffer.size() < kAudioBlockBytes) return -30;
  const int fd = client.sockets[CameraHttpRequest::kAudioReceive].get();
  if (fd < 0) return -31;
  switch (receiveExactly(fd, request.receiveBuffer.first(kAudioBlockBytes), client.runFlag())) {
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
    const std::string url = "http://" + std::string(limited(request.host)) + ":" +
                            std::to_string(request.port) + "/" + std::string(path);
    const std::chrono::milliseconds timeout(request.timeoutMs);
    // The object's own limits end its transfer thread no later than our wait gives up.
    xml.setTimeouts(timeout, timeout);
    if (xml.open("GET", url, true, limited(request.user), limited(request.password)) !=
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
  if (request.command > CameraHttpRequest::kTransfer) return 0;
  if (request.command == CameraHttpRequest::kTransfer) {
    if (request.channel > CameraHttpRequest::kDocument) return -2;
    const int result = transfer(request, client);
    return result < 0 ? result - kTransferOffset : result;
  }
  if (request.channel >= CameraHttpClient::kSocketChannels) return -2;
  int result = openOrClose(request, client);
  if (request.command == CameraHttpRequest::kOpen && result < 0) {
    request.command = CameraHttpRequest::kClose;
    openOrClose(request, client);
    request.command = CameraHttpRequest::kOpen;
    result -= kOpenOffset;
  }
  return result;
}

std::string hex32(std::uint32_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

}  // namespace

// Waits until the socket has something to read. False (errno EAGAIN) when the socket's
// receive time-out passes, or (errno ECANCELED) when the run flag drops.
bool waitUntilReadable(int fd, const HttpRunFlag& runFlag) {
  const std::chrono::milliseconds limit = receiveTimeout(fd);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (runFlag.load() != 0) {
    int slice = kRunFlagPollMs;
    if (limit > 0ms) {
      const auto remaining =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (remaining <= 0ms) {
        errno = EAGAIN;
        return false;
      }
      slice = static_cast<int>(std::min<std::int64_t>(slice, remaining.count()));
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, slice);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  errno = ECANCELED;
  return false;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void TcpSocket::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int TcpSocket::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

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
  const std::uint32_t start = tickMs();
  const int result = dispatch(*request, client);
  request->elapsedMs = tickMs() - start;
  return result;
}

int ConnectTcp(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
               TcpSocket& slot) {
  slot.reset();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string hostText(host);
  if (hostText.empty() || ::getaddrinfo(hostText.c_str(), nullptr, &hints, &found) != 0 ||
      found == nullptr) {
    return -1;
  }
  sockaddr_in address{};
  std::copy_n(reinterpret_cast<const std::uint8_t*>(found->ai_addr),
              std::min<std::size_t>(found->ai_addrlen, sizeof address),
              reinterpret_cast<std::uint8_t*>(&address));
  ::freeaddrinfo(found);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);

  TcpSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return -2;
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
      ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return -3;
  }
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return -4;
  }
  slot = std::move(socket);
  return 0;
}

int ExchangeHttp(int socket, std::span<const std::uint8_t> request,
                 std::span<std::uint8_t> response, std::string_view terminator,
                 std::string_view expected, const HttpRunFlag* runFlag) {
  std::size_t received = 0;
  return exchange(socket, request, response, terminator, expected, runFlag, received);
}

void parseChallenge(std::string_view response, AuthChallenge& challenge) {
  // Each value is what stands between the first two double quotes after its key.
  const auto quoted = [response](std::string_view key, std::string& field) {
    const std::size_t keyAt = response.find(key);
    if (keyAt == std::string_view::npos) return;
    const std::size_t open = response.find('"', keyAt);
    if (open == std::string_view::npos) return;
    std::string_view value = response.substr(open + 1);
    value = value.substr(0, value.find('"'));
    if (!value.empty()) field = limited(value);
  };
  quoted("realm=", challenge.realm);
  quoted("nonce=", challenge.nonce);
  quoted("qop=", challenge.qop);
  if (contains(response, "WWW-Authenticate: Basic")) challenge.kind = kAuthBasic;
  if (contains(response, "WWW-Authenticate: Digest")) challenge.kind = kAuthDigest;
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
