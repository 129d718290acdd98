#include "tools/camsim/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

namespace ipcam::camsim {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool equalsNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// RFC 9110 "tchar": what a method or a header name may be made of.
bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

std::string_view trimOws(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

const char* reasonFor(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Error";
  }
}

HttpResponse errorPage(int status) {
  const std::string line = std::to_string(status) + " " + reasonFor(status);
  return HttpResponse::text(status, reasonFor(status), "text/html",
                            "<HTML><HEAD><TITLE>" + line + "</TITLE></HEAD>\r\n<BODY><H1>" + line +
                                "</H1></BODY></HTML>\r\n");
}

// Parses the request line and header block (without the empty line). Returns 0, or the
// status the request must be refused with.
int parseHead(std::string_view head, const HttpLimits& limits, HttpRequest& request) {
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view requestLine = head.substr(0, lineEnd);
  head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);

  const std::size_t firstSpace = requestLine.find(' ');
  const std::size_t secondSpace =
      firstSpace == std::string_view::npos ? firstSpace : requestLine.find(' ', firstSpace + 1);
  if (secondSpace == std::string_view::npos) return 400;
  const std::string_view method = requestLine.substr(0, firstSpace);
  const std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  const std::string_view version = requestLine.substr(secondSpace + 1);
  if (!isToken(method) || target.empty() || target.front() != '/') return 400;
  if (std::any_of(target.begin(), target.end(), [](char c) { return c == ' ' || isControl(c); }))
    return 400;
  if (version == "HTTP/1.0" || version == "HTTP/1.1") {
    request.versionMinor = version.back() - '0';
  } else if (version.size() == 8 && version.substr(0, 5) == "HTTP/" && version[6] == '.') {
    return 505;
  } else {
    return 400;
  }
  request.method = method;
  request.target = target;
  const std::size_t question = target.find('?');
  request.path = target.substr(0, question);
  request.query = question == std::string_view::npos ? "" : target.substr(question + 1);

  std::optional<std::string_view> contentLength;
  while (!head.empty()) {
    lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
    if (line.empty() || line.front() == ' ' || line.front() == '\t') return 400;  // no folding
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return 400;
    const std::string_view value = trimOws(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), [](char c) { return c != '\t' && isControl(c); }))
      return 400;
    if (request.headers.size() >= limits.maxHeaderCount) return 431;
    request.headers.emplace_back(line.substr(0, colon), value);
    const std::string_view name = line.substr(0, colon);
    if (equalsNoCase(name, "Transfer-Encoding")) return 501;
    if (equalsNoCase(name, "Content-Length")) {
      if (contentLength && *contentLength != value) return 400;
      contentLength = value;
    }
  }
  if (contentLength) {
    const std::string_view digits = *contentLength;
    if (digits.empty() || digits.size() > 18 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return 400;
    std::size_t length = 0;
    for (char c : digits) length = length * 10 + static_cast<std::size_t>(c - '0');
    if (length > limits.maxBodyBytes) return 413;
    request.body.reserve(length);
    request.body.resize(length);  // filled by the caller; the size says how much to read
  }
  return 0;
}

}  // namespace

std::optional<std::string_view> findHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (equalsNoCase(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
  return findHeader(headers, name);
}

std::optional<std::string> HttpRequest::queryParameter(std::string_view name) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    if (percentDecode(pair.substr(0, equals)) != name) continue;
    return equals == std::string_view::npos ? std::string()
                                            : percentDecode(pair.substr(equals + 1));
  }
  return std::nullopt;
}

HttpResponse HttpResponse::text(int status, std::string_view reason, std::string contentType,
                                std::string body) {
  HttpResponse response;
  response.status = status;
  response.reason = reason;
  response.headers.emplace_back("Content-Type", std::move(contentType));
  response.body = std::move(body);
  return response;
}

// --- HttpExchange ------------------------------------------------------------------------------

HttpExchange::HttpExchange(int fd, const StopSignal& stop, bool headOnly,
                           std::chrono::milliseconds ioTimeout)
    : fd_(fd), stop_(stop), headOnly_(headOnly), ioTimeout_(ioTimeout) {}

HttpExchange::Ready HttpExchange::waitFor(short events, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::array<pollfd, 2> fds{{{fd_, events, 0}, {stop_.fd(), POLLIN, 0}}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return Ready::TimedOut;
    const int count =
        ::poll(fds.data(), fds.size(),
               static_cast<int>(std::min<long long>(left.count() + 1, 60 * 60 * 1000)));
    if (count < 0 && errno != EINTR) return Ready::Stopped;
    if (fds[1].revents != 0) return Ready::Stopped;
    if (fds[0].revents != 0) return Ready::Yes;
  }
}

bool HttpExchange::sendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    if (closed_ || waitFor(POLLOUT, ioTimeout_) != Ready::Yes) return false;
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool HttpExchange::send(const HttpResponse& response) {
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
  for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
  head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  head += "Connection: close\r\n\r\n";
  answeredStatus_ = response.status;
  if (!sendRaw(head)) return false;
  return headOnly_ || sendRaw(response.body);
}

void HttpExchange::closeNow() {
  if (closed_) return;
  closed_ = true;
  ::shutdown(fd_, SHUT_RDWR);
}

bool HttpExchange::pause(std::chrono::milliseconds duration) const {
  pollfd stopFd{stop_.fd(), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + duration;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return !stop_.raised();
    const int count =
        ::poll(&stopFd, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (count > 0) return false;
  }
}

void HttpExchange::holdOpen() {
  std::array<char, 512> scratch{};
  for (;;) {
    const Ready ready = waitFor(POLLIN, 1h);
    if (ready == Ready::Stopped) return;
    if (ready == Ready::TimedOut) continue;
    const ssize_t got = ::recv(fd_, scratch.data(), scratch.size(), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
  }
}

// --- HttpServer --------------------------------------------------------------------------------

HttpServer::HttpServer(HttpLimits limits) : limits_(limits), listener_(limits.maxConnections) {}

HttpServer::~HttpServer() {
  stop();
}

bool HttpServer::route(std::string path, HttpHandler handler) {
  if (started_.load()) return false;
  routes_[std::move(path)] = std::move(handler);
  return true;
}

bool HttpServer::setFallback(HttpHandler handler) {
  if (started_.load()) return false;
  fallback_ = std::move(handler);
  return true;
}

std::string HttpServer::lastError() const {
  return listener_.error();
}

bool HttpServer::start(std::uint16_t port) {
  if (started_.exchange(true)) return false;
  if (!listener_.listen(port, 64, [this](int fd) { serve(fd); })) return false;
  port_.store(listener_.port());
  return listener_.start();
}

void HttpServer::stop() {
  std::lock_guard stopLock(stopMutex_);
  stop_.raise();
  listener_.stop();
}

void HttpServer::serve(int fd) {
  std::string buffer;
  std::array<char, 4096> chunk{};
  std::size_t headEnd = std::string::npos;
  bool peerOpen = true;
  int refusal = 0;

  // Whatever the peer does, it never gets more than the limits let it send.
  const auto readSome = [&]() {
    if (stop_.raised()) return false;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    const int count = ::poll(fds, 2, static_cast<int>(limits_.ioTimeout.count()));
    if (count <= 0 || fds[1].revents != 0) return false;
    const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (got <= 0) {
      peerOpen = false;
      return false;
    }
    buffer.append(chunk.data(), static_cast<std::size_t>(got));
    return true;
  };

  while (headEnd == std::string::npos) {
    const std::size_t searchFrom = buffer.size() >= 3 ? buffer.size() - 3 : 0;
    if (!readSome()) break;
    headEnd = buffer.find(kHeaderEnd, searchFrom);
    if (headEnd == std::string::npos && buffer.size() > limits_.maxHeaderBytes) {
      refusal = 431;
      break;
    }
  }
  if (headEnd != std::string::npos && headEnd + kHeaderEnd.size() > limits_.maxHeaderBytes)
    refusal = 431;

  HttpRequest request;
  if (refusal == 0 && headEnd != std::string::npos) {
    refusal = parseHead(std::string_view(buffer).substr(0, headEnd), limits_, request);
  }
  if (refusal == 0 && headEnd != std::string::npos) {
    const std::size_t wanted = request.body.size();
    std::size_t bodyStart = headEnd + kHeaderEnd.size();
    while (buffer.size() - bodyStart < wanted && readSome()) {
    }
    if (buffer.size() - bodyStart >= wanted) {
      request.body.assign(buffer, bodyStart, wanted);
      HttpExchange exchange(fd, stop_, request.method == "HEAD", limits_.ioTimeout);
      dispatch(exchange, request);
    }
  } else if (refusal != 0) {
    HttpExchange exchange(fd, stop_, false, limits_.ioTimeout);
    exchange.send(errorPage(refusal));
  }

  // Closing with unread input would reset the connection and could cost the peer the end of
  // the answer, so the rest of what it sends is read and dropped first, for a short while.
  ::shutdown(fd, SHUT_WR);
  const auto lingerEnd = std::chrono::steady_clock::now() + 1s;
  while (peerOpen && std::chrono::steady_clock::now() < lingerEnd) {
    buffer.clear();
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, 100) < 0 || fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    if (::recv(fd, chunk.data(), chunk.size(), 0) <= 0) break;
  }
}

void HttpServer::dispatch(HttpExchange& exchange, const HttpRequest& request) {
  const auto found = routes_.find(request.path);
  const HttpHandler& handler = found != routes_.end() ? found->second : fallback_;
  try {
    if (handler) {
      handler(request, exchange);
    } else {
      exchange.send(errorPage(404));
    }
  } catch (const std::exception&) {
    if (exchange.answeredStatus() == 0) exchange.send(errorPage(500));
  }
}

}  // namespace ipcam::camsim
