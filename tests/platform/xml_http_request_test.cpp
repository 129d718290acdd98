#include "platform/xml_http_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "tools/camsim/http_server.h"
#include "tools/camsim/server.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kFirmwareTarget =
    "/camera-cgi/admin/param.cgi?action=list&group=Properties.Firmware";

std::string urlOf(std::uint16_t port, std::string_view target) {
  return "http://127.0.0.1:" + std::to_string(port) + std::string(target);
}

struct Answer {
  XmlHttpResult result;
  int status;
  std::string text;
};

// One GET the way the camera queries make it, waited for with a time-out.
Answer fetch(const std::string& url, std::string_view user = {}, std::string_view password = {}) {
  XmlHttpRequest request;
  EXPECT_EQ(request.open("GET", url, true, user, password), XmlHttpResult::Ok);
  EXPECT_EQ(request.setRequestHeader("If-Modified-Since", "0"), XmlHttpResult::Ok);
  EXPECT_EQ(request.send(), XmlHttpResult::Ok);
  EXPECT_EQ(waitForCompletion(request, 10s), WaitOutcome::Completed);
  EXPECT_EQ(request.readyState(), XmlHttpRequest::kCompleted);
  return {request.result(), request.status(), request.responseText()};
}

// A port on 127.0.0.1 that refuses connections: bound but never listening, and kept bound while
// the object lives, so that no other program on the machine can take it in the meantime (as it
// could a port a stopped server gave back).
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

std::unique_ptr<camsim::Server> startCamera(const camsim::Options& options) {
  auto camera = std::make_unique<camsim::Server>(options);
  EXPECT_TRUE(camera->start()) << camera->lastError();
  return camera;
}

TEST(XmlHttpRequest, NegotiatesEachSchemeTheCameraAsksForAndReportsAWrongPasswordAs401) {
  const std::string firmware =
      "Properties.Firmware.Version=V2.1\nProperties.Firmware.ModelID=20\n"
      "Properties.Firmware.VendorID=1\n";
  const struct {
    camsim::AuthMode mode;
    std::string_view scheme;  // of the Authorization header the camera accepted
  } cases[] = {{camsim::AuthMode::Basic, "Basic "},
               {camsim::AuthMode::Digest, "Digest "},
               {camsim::AuthMode::DigestQop, "Digest "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + (c.mode == camsim::AuthMode::DigestQop ? "qop" : ""));
    camsim::Options options;
    options.auth = c.mode;
    options.user = "operator";
    options.password = "s3cret:pw";
    options.firmwareVersion = "V2.1";
    auto camera = startCamera(options);
    const std::string url = urlOf(camera->port(), kFirmwareTarget);

    const Answer good = fetch(url, "operator", "s3cret:pw");
    EXPECT_EQ(good.result, XmlHttpResult::Ok);
    EXPECT_EQ(good.status, 200);
    EXPECT_EQ(good.text, firmware);
    const auto requests = camera->requests();
    ASSERT_FALSE(requests.empty());
    const camsim::HeaderList& sent = requests.back().headers;
    EXPECT_EQ(camsim::findHeader(sent, "If-Modified-Since"), "0");
    EXPECT_TRUE(camsim::findHeader(sent, "Authorization").value_or("").starts_with(c.scheme));

    const Answer wrong = fetch(url, "operator", "guess");
    EXPECT_EQ(wrong.result, XmlHttpResult::Ok);  // an answer arrived: it is the 401 page
    EXPECT_EQ(wrong.status, 401);
    EXPECT_NE(wrong.text.find("Unauthorized"), std::string::npos);
  }
}

TEST(XmlHttpRequest, SynchronousSendReturnsWithTheAnswer) {
  camsim::Options options;
  options.auth = camsim::AuthMode::DigestQop;
  auto camera = startCamera(options);
  XmlHttpRequest request;
  ASSERT_EQ(request.open("GET",
                         urlOf(camera->port(),
                               "/camera-cgi/admin/param.cgi?action=list&"
                               "group=System.PrivateVideoPort"),
                         false, "admin", "admin"),
            XmlHttpResult::Ok);
  EXPECT_EQ(request.send(), XmlHttpResult::Ok);
  EXPECT_EQ(request.readyState(), XmlHttpRequest::kCompleted);
  EXPECT_EQ(request.responseText(), "System.PrivateVideoPort=4321\n");
}

TEST(XmlHttpRequest, AbortEndsANeverAnsweredRequestAtOnceFromAnotherThread) {
  camsim::Options options;
  options.fault = camsim::Fault::NoAnswer;
  auto camera = startCamera(options);
  const std::string url = urlOf(camera->port(), kFirmwareTarget);

  XmlHttpRequest request;
  ASSERT_EQ(request.open("GET", url), XmlHttpResult::Ok);
  ASSERT_EQ(request.send(), XmlHttpResult::Ok);
  EXPECT_EQ(waitForCompletion(request, 300ms), WaitOutcome::TimedOut);
  EXPECT_LT(request.readyState(), XmlHttpRequest::kCompleted);

  // The camera never answers and the transfer time-out is a minute: an abort that did not
  // reach the transfer would not come back for that long.
  const auto before = Clock::now();
  std::thread other([&] { request.abort(); });
  other.join();
  EXPECT_LT(Clock::now() - before, 5s);
  EXPECT_EQ(request.readyState(), XmlHttpRequest::kUninitialized);
  EXPECT_EQ(request.result(), XmlHttpResult::Aborted);
  EXPECT_EQ(request.responseText(), "");
  request.abort();  // a second abort is harmless

  // The object can be used again, and its destructor ends a transfer still hanging.
  ASSERT_EQ(request.open("GET", url), XmlHttpResult::Ok);
  ASSERT_EQ(request.send(), XmlHttpResult::Ok);
  const auto destroyStart = Clock::now();
  {
    XmlHttpRequest hanging;
    ASSERT_EQ(hanging.open("GET", url), XmlHttpResult::Ok);
    ASSERT_EQ(hanging.send(), XmlHttpResult::Ok);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_LT(Clock::now() - destroyStart, 5s);
}

TEST(XmlHttpRequest, WaitsEndOnTheTransferTimeOutTheCallerTimeOutOrADroppedRunFlag) {
  camsim::Options options;
  // Every time-out below is far apart from the others and from the camera's answer, so that
  // the elapsed time tells which one ended a wait even on a busy machine.
  options.fault = camsim::Fault::Delay;
  options.faultDelay = 60s;
  auto camera = startCamera(options);
  const std::string url = urlOf(camera->port(), kFirmwareTarget);

  XmlHttpRequest request;
  request.setTimeouts(20s, 300ms);
  ASSERT_EQ(request.open("GET", url), XmlHttpResult::Ok);
  auto start = Clock::now();
  ASSERT_EQ(request.send(), XmlHttpResult::Ok);
  EXPECT_EQ(waitForCompletion(request, 30s), WaitOutcome::Completed);
  EXPECT_LT(Clock::now() - start, 10s) << "the transfer time-out, not the connect time-out";
  EXPECT_EQ(request.result(), XmlHttpResult::TimedOut);
  EXPECT_EQ(request.responseText(), "");

  XmlHttpRequest waited;
  ASSERT_EQ(waited.open("GET", url), XmlHttpResult::Ok);
  ASSERT_EQ(waited.send(), XmlHttpResult::Ok);
  start = Clock::now();
  EXPECT_EQ(waitForCompletion(waited, 200ms), WaitOutcome::TimedOut);
  EXPECT_GE(Clock::now() - start, 200ms);

  RunFlag runFlag{1};
  std::thread dropper([&] {
    std::this_thread::sleep_for(100ms);
    runFlag.store(0);
  });
  start = Clock::now();
  EXPECT_EQ(waitForCompletion(waited, 30s, &runFlag), WaitOutcome::Stopped);
  EXPECT_LT(Clock::now() - start, 10s) << "the dropped flag, not the caller's time-out";
  dropper.join();
}

TEST(XmlHttpRequest, BrokenAnswersEndInTheirOwnResultWithoutText) {
  // An answer without a length runs until the connection closes: only the size cap stops it.
  camsim::HttpServer unbounded;
  unbounded.route("/endless", [](const camsim::HttpRequest&, camsim::HttpExchange& exchange) {
    exchange.sendRaw("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 100 && exchange.sendRaw(block); ++i) {
    }
  });
  ASSERT_TRUE(unbounded.start());

  camsim::Options oversized;
  oversized.garbage = camsim::Garbage::Oversized;
  auto oversizedCamera = startCamera(oversized);
  camsim::Options truncated;
  truncated.garbage = camsim::Garbage::Truncated;
  auto truncatedCamera = startCamera(truncated);

  const RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);

  const struct {
    const char* name;
    std::string url;
    XmlHttpResult expected;
  } cases[] = {
      {"announced length over the cap", urlOf(oversizedCamera->port(), kFirmwareTarget),
       XmlHttpResult::TooLarge},
      {"unannounced length over the cap", urlOf(unbounded.port(), "/endless"),
       XmlHttpResult::TooLarge},
      {"closed mid-answer", urlOf(truncatedCamera->port(), kFirmwareTarget),
       XmlHttpResult::TransferFailed},
      {"nobody listening", urlOf(refusing.port(), "/"), XmlHttpResult::ConnectFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = fetch(c.url);
    EXPECT_EQ(answer.result, c.expected);
    EXPECT_TRUE(answer.text.empty()) << answer.text.size() << " bytes handed out";
  }
}

TEST(XmlHttpRequest, RefusesCallsOutOfOrderAndTextThatCannotGoOnTheWire) {
  XmlHttpRequest request;
  EXPECT_EQ(request.send(), XmlHttpResult::InvalidState);
  EXPECT_EQ(request.setRequestHeader("If-Modified-Since", "0"), XmlHttpResult::InvalidState);

  const struct {
    std::string_view method;
    std::string_view url;
  } badOpens[] = {{"GE T", "http://127.0.0.1/"},   {"", "http://127.0.0.1/"},
                  {"GET", "ftp://127.0.0.1/file"}, {"GET", "file:///etc/passwd"},
                  {"GET", "no url at all"},        {"GET", ""}};
  for (const auto& c : badOpens) {
    SCOPED_TRACE(std::string(c.method) + " " + std::string(c.url));
    EXPECT_EQ(request.open(c.method, c.url), XmlHttpResult::InvalidArgument);
    EXPECT_EQ(request.readyState(), XmlHttpRequest::kUninitialized);
  }

  ASSERT_EQ(request.open("get", "http://127.0.0.1:1/"), XmlHttpResult::Ok);
  EXPECT_EQ(request.readyState(), XmlHttpRequest::kOpened);
  EXPECT_EQ(request.setRequestHeader("X-Test", "a\r\nInjected: yes"),
            XmlHttpResult::InvalidArgument);
  EXPECT_EQ(request.setRequestHeader("Bad Name", "x"), XmlHttpResult::InvalidArgument);
  EXPECT_EQ(request.send(), XmlHttpResult::Ok);
  EXPECT_EQ(request.send(), XmlHttpResult::InvalidState);
  EXPECT_EQ(request.setRequestHeader("If-Modified-Since", "0"), XmlHttpResult::InvalidState);
}

TEST(XmlHttpRequest, ResponseTextIsUtf8WhateverTheAnswerWasWrittenIn) {
  const struct {
    const char* path;
    const char* contentType;
    std::string body;
    std::string expected;
  } cases[] = {
      {"/plain", "text/plain", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"/latin1", "text/plain; charset=ISO-8859-1", "caf\xE9", "caf\xC3\xA9"},
      {"/cp1252", "text/plain; charset=\"windows-1252\"", "\x80 5", "\xE2\x82\xAC 5"},
      {"/bom8", "text/xml", "\xEF\xBB\xBF<a/>", "<a/>"},
      {"/bom16", "text/xml", std::string("\xFF\xFE<\0a\0/\0>\0", 10), "<a/>"},
      {"/broken", "text/plain",
       "a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
  };
  camsim::HttpServer server;
  for (const auto& c : cases) {
    server.route(c.path, [&c](const camsim::HttpRequest&, camsim::HttpExchange& exchange) {
      exchange.send(camsim::HttpResponse::text(200, "OK", c.contentType, c.body));
    });
  }
  ASSERT_TRUE(server.start());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Answer answer = fetch(urlOf(server.port(), c.path));
    EXPECT_EQ(answer.result, XmlHttpResult::Ok);
    EXPECT_EQ(answer.text, c.expected);
  }
}

}  // namespace
}  // namespace ipcam::platform
