#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tools/camsim/listener.h"

namespace ipcam::camsim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The first header of that name (names compare without regard to case).
std::optional<std::string_view> findHeader(const HeaderList& headers, std::string_view name);

struct HttpRequest {
  std::string method;
  std::string target;    // as sent: path, then "?" and the query if there is one
  std::string path;      // the target before "?", not decoded
  std::string query;     // the target after "?", not decoded
  int versionMinor = 1;  // HTTP/1.versionMinor
  HeaderList headers;
  std::string body;

  // The first header of that name (names compare without regard to case).
  std::optional<std::string_view> header(std::string_view name) const;
  // The first query parameter of that name, percent-decoded.
  std::optional<std::string> queryParameter(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string reason = "OK";
  HeaderList headers;  // Content-Length and Connection are added when the answer is sent
  std::string body;

  static HttpResponse text(int status, std::string_view reason, std::string contentType,
                           std::string body);
};

// One accepted connection as a handler sees it. Every wait ends early when the server stops.
class HttpExchange {
 public:
  HttpExchange(int fd, const StopSignal& stop, bool headOnly, std::chrono::milliseconds ioTimeout);

  // Status line, the response's headers, Content-Length, "Connection: close", then the body
  // (not for HEAD). False when the peer is gone, the write timed out or the server stops.
  bool send(const HttpResponse& response);
  // Bytes as they are, for streams and deliberately broken answers.
  bool sendRaw(std::string_view bytes);
  // Ends the answer here: the peer sees the connection close.
  void closeNow();

  // Sleeps for `duration`; false when the server stopped first.
  bool pause(std::chrono::milliseconds duration) const;
  // Keeps the connection open without answering until the peer closes it or the server stops.
  void holdOpen();
  bool stopping() const { return stop_.raised(); }

  // The status of the answer sent, 0 while none was.
  int answeredStatus() const { return answeredStatus_; }

 private:
  enum class Ready { Yes, TimedOut, Stopped };
  Ready waitFor(short events, std::chrono::milliseconds limit) const;

  int fd_;
  const StopSignal& stop_;
  bool headOnly_;
  std::chrono::milliseconds ioTimeout_;
  int answeredStatus_ = 0;
  bool closed_ = false;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpExchange&)>;

struct HttpLimits {
  std::size_t maxHeaderBytes = 8 * 1024;  // request line and headers together
  std::size_t maxHeaderCount = 100;
  std::size_t maxBodyBytes = 64 * 1024;
  std::chrono::milliseconds ioTimeout{10000};  // a peer silent this long is dropped
  std::size_t maxConnections = 64;
};

// A small HTTP/1.0 and 1.1 server on 127.0.0.1: one thread per connection, one request per
// connection ("Connection: close"). Routes are exact paths registered before start(); a
// request for any other path goes to the fallback (404 unless one is set).
class HttpServer {
 public:
  explicit HttpServer(HttpLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Only before start(); a later call is ignored and returns false.
  bool route(std::string path, HttpHandler handler);
  bool setFallback(HttpHandler handler);

  // Listens on 127.0.0.1 at `port` (0: a free port the system picks). False with lastError()
  // when the port cannot be had. A server starts once.
  bool start(std::uint16_t port = 0);
  // Closes the listener and every connection and joins all threads. Safe to call twice.
  void stop();

  std::uint16_t port() const { return port_.load(); }
  std::string lastError() const;

 private:
  void serve(int fd);
  void dispatch(HttpExchange& exchange, const HttpRequest& request);

  const HttpLimits limits_;
  // Written before start() only; the threads read them without a lock.
  std::map<std::string, HttpHandler, std::less<>> routes_;
  HttpHandler fallback_;

  StopSignal stop_;
  std::atomic<bool> started_{false};
  std::atomic<std::uint16_t> port_{0};
  std::mutex stopMutex_;  // serialises stop() with itself
  Listener listener_;     // made by the constructor; locks itself
};

}  // namespace ipcam::camsim
