#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/xml_document.h"
#include "support/wait_for.h"
#include "tools/camsim/md5.h"
#include "tools/camsim/server.h"

namespace ipcam::camsim {
namespace {

using namespace std::chrono_literals;

// How long a read waits for the camera. Only a failing test sits it out, so it is far beyond
// what an answer takes on a busy machine.
constexpr time_t kAnswerLimitSeconds = 20;

// A bare TCP client on 127.0.0.1, so that the tests see the camera's exact bytes.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    timeval limit{kAnswerLimitSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  // Whether the last readAll() ended because the camera closed, not because it went silent.
  bool closedByPeer() const { return closedByPeer_; }
  void send(std::string_view bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything the camera sends until it closes (or stays silent for the answer limit).
  std::string readAll() {
    std::string all;
    std::array<char, 4096> chunk{};
    ssize_t got;
    while ((got = ::recv(fd_, chunk.data(), chunk.size(), 0)) > 0) {
      all.append(chunk.data(), static_cast<std::size_t>(got));
    }
    closedByPeer_ = got == 0;
    return all;
  }

 private:
  int fd_;
  bool connected_ = false;
  bool closedByPeer_ = false;
};

// Sends one request as the viewer's own HTTP client writes it (no Host line) and returns the
// whole answer.
std::string ask(std::uint16_t port, std::string_view target, std::string_view extraHeaders = {}) {
  RawClient client(port);
  EXPECT_TRUE(client.connected());
  client.send("GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(extraHeaders) + "\r\n");
  return client.readAll();
}

std::string bodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string statusLineOf(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n"));
}

std::string paramTarget(std::string_view group) {
  return "/camera-cgi/admin/param.cgi?action=list&group=" + std::string(group);
}

constexpr std::string_view kNoSuchGroup = "Failed to get xml data\r\n";

TEST(Camsim, FirmwareFormsAnswerAsTheCameraFamilyDoes) {
  const std::string list =
      "Properties.Firmware.Version=V3.0 beta\nProperties.Firmware.ModelID=50\n"
      "Properties.Firmware.VendorID=7\n";
  const std::string wrongOrder =
      "Properties.Firmware.ModelID=50\nProperties.Firmware.Version=V3.0 beta\n"
      "Properties.Firmware.VendorID=7\n";
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n<SystemInfo>\n<Firmware>\n"
      "<Version>V3.0 beta</Version>\n<modelID>50</modelID>\n<vendorID>7</vendorID>\n"
      "</Firmware>\n</SystemInfo>\n</root>\n";
  const std::string reversedXml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n<SystemInfo>\n<Firmware>\n"
      "<vendorID>7</vendorID>\n<modelID>50</modelID>\n<Version>V3.0 beta</Version>\n"
      "</Firmware>\n</SystemInfo>\n</root>\n";
  const struct {
    FirmwareForm form;
    bool reversed;
    std::string plainPage;
    std::string xmlPage;
  } cases[] = {
      {FirmwareForm::PlainList, false, list, xml},
      {FirmwareForm::WrongOrder, false, wrongOrder, xml},
      {FirmwareForm::XmlOnly, false, std::string(kNoSuchGroup), xml},
      {FirmwareForm::XmlOnly, true, std::string(kNoSuchGroup), reversedXml},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plainPage + c.xmlPage);
    Options options;
    options.modelId = 50;
    options.vendorId = 7;
    options.firmwareVersion = "V3.0 beta";
    options.firmwareForm = c.form;
    options.firmwareXmlReversed = c.reversed;
    Server camera(options);
    ASSERT_TRUE(camera.start());
    EXPECT_EQ(bodyOf(ask(camera.port(), paramTarget("Properties.Firmware"))), c.plainPage);
    EXPECT_EQ(bodyOf(ask(camera.port(), "/camera-cgi/public/anonymous.cgi")), c.xmlPage);
  }
}

TEST(Camsim, ParameterGroupsCarryTheKeysTheQueriesReadInEachForm) {
  Options options;
  options.privateVideoPort = 6001;
  options.maxUsers = 4;
  options.currentUsers = 3;
  options.rtspServe = false;  // announce the configured port without taking it
  options.rtspPort = 8554;
  options.rtspH264Path = "live/h264.sdp";
  Server camera(options);
  ASSERT_TRUE(camera.start());
  const std::string rtspList =
      "Network.RTSP.Enable=1\nNetwork.RTSP.Port=8554\nNetwork.RTSP.Path=mpeg4.sdp\n"
      "Network.RTSP.H264Path=live/h264.sdp\nNetwork.RTSP.MJPEGPath=mjpeg.sdp\n";
  const std::string rtspXml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n<RTSP>\n"
      "<rtspEnable maxLen=\"1\">1</rtspEnable>\n<rtspPort maxLen=\"5\">8554</rtspPort>\n"
      "<rtspMPEG4Path id=\"profile0\" maxLen=\"63\">mpeg4</rtspMPEG4Path>\n"
      "<rtspH264Path id=\"profile0\" maxLen=\"63\">live/h264</rtspH264Path>\n"
      "<rtspMJPEGPath id=\"profile0\" maxLen=\"63\">mjpeg</rtspMJPEGPath>\n</RTSP>\n</root>\n";
  const struct {
    RtspForm form;
    std::string_view group;
    std::string expected;
  } cases[] = {
      {RtspForm::PlainList, "System.PrivateVideoPort", "System.PrivateVideoPort=6001\n"},
      {RtspForm::PlainList, "Properties.VideoServer",
       "Properties.VideoServer.MaxUsers=4\nProperties.VideoServer.CurrentUsers=3\n"},
      {RtspForm::PlainList, "Network.RTSP", rtspList},
      {RtspForm::PlainList, "RTSP", std::string(kNoSuchGroup)},
      {RtspForm::Xml, "Network.RTSP", std::string(kNoSuchGroup)},
      {RtspForm::Xml, "RTSP", rtspXml},
      {RtspForm::Xml, "No.Such.Group", std::string(kNoSuchGroup)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    options.rtspForm = c.form;
    camera.setOptions(options);
    EXPECT_EQ(bodyOf(ask(camera.port(), paramTarget(c.group))), c.expected);
  }
}

TEST(Camsim, GarbageAnswersHaveTheShapeTheBadInputTestsNeed) {
  Options options;
  options.garbageBytes = 1024 * 1024;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  const auto fetchWith = [&](Garbage garbage, std::string_view target) {
    options.garbage = garbage;
    camera.setOptions(options);
    return bodyOf(ask(camera.port(), target));
  };
  const std::string xmlPage = "/camera-cgi/public/anonymous.cgi";

  EXPECT_EQ(
      fetchWith(Garbage::NonDigits, paramTarget("Properties.VideoServer")),
      "Properties.VideoServer.MaxUsers=unknown\nProperties.VideoServer.CurrentUsers=unknown\n");
  const std::string oversized =
      fetchWith(Garbage::Oversized, paramTarget("System.PrivateVideoPort"));
  EXPECT_EQ(oversized.size(), options.garbageBytes);
  EXPECT_TRUE(oversized.starts_with("System.PrivateVideoPort=4321\n"));

  options.garbage = Garbage::Truncated;
  camera.setOptions(options);
  const std::string truncated = ask(camera.port(), paramTarget("Properties.Firmware"));
  EXPECT_NE(truncated.find("Content-Length: 97\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(truncated), "Properties.Firmware.Version=V1.0.0\nProperties.Fi");

  platform::XmlDocument document;
  EXPECT_EQ(document.load(fetchWith(Garbage::MalformedXml, xmlPage)),
            platform::XmlError::Malformed);
  const std::string enormous = fetchWith(Garbage::EnormousXml, xmlPage);
  EXPECT_GE(enormous.size(), options.garbageBytes);
  ASSERT_EQ(document.load(enormous), platform::XmlError::None);
  EXPECT_EQ(document.findText("root/SystemInfo/Firmware/Version"), "V1.0.0");
}

TEST(Camsim, PtzLogKeepsTheAcceptedQueriesOfConcurrentClients) {
  Options options;
  options.auth = AuthMode::Basic;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  const std::string login = "Authorization: Basic YWRtaW46YWRtaW4=\r\n";  // admin:admin

  EXPECT_EQ(statusLineOf(ask(camera.port(), "/camera-cgi/com/ptz.cgi?move=up&ptspeed=18")),
            "HTTP/1.1 401 Unauthorized");
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const std::string query =
            "move=left&client=" + std::to_string(t) + "&i=" + std::to_string(i);
        EXPECT_EQ(statusLineOf(ask(camera.port(), "/camera-cgi/com/ptz.cgi?" + query, login)),
                  "HTTP/1.1 200 OK");
      }
    });
  }
  for (auto& client : clients) client.join();
  ask(camera.port(), "/camera-cgi/com/ptz.cgi?move=home&ptspeed=18", login);

  const auto log = camera.ptzLog();
  ASSERT_EQ(log.size(), 21u);
  EXPECT_EQ(log.back(), "move=home&ptspeed=18");
  for (int t = 0; t < 4; ++t) {  // each client's own queries keep their order
    std::size_t seen = 0;
    for (const std::string& query : log) {
      if (query.find("client=" + std::to_string(t) + "&") == std::string::npos) continue;
      EXPECT_EQ(query, "move=left&client=" + std::to_string(t) + "&i=" + std::to_string(seen));
      ++seen;
    }
    EXPECT_EQ(seen, 5u);
  }
}

// The viewer's own Digest client quotes qop and nc, and answers every challenge on a new
// connection; the camera must take that and still refuse what a real one refuses.
TEST(Camsim, DigestAnswersAreCheckedAgainstNonceUriAndCount) {
  Options options;
  options.auth = AuthMode::DigestQop;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  const std::string target = paramTarget("System.PrivateVideoPort");

  const std::string challenge = ask(camera.port(), target);
  ASSERT_EQ(statusLineOf(challenge), "HTTP/1.1 401 Unauthorized");
  const std::size_t at = challenge.find("nonce=\"");
  ASSERT_NE(at, std::string::npos);
  const std::string nonce = challenge.substr(at + 7, challenge.find('"', at + 7) - at - 7);
  EXPECT_EQ(nonce.size(), 32u);

  const auto authorization = [&](std::string_view uri, std::string_view count,
                                 std::string_view usedNonce) {
    const std::string ha1 = md5Hex("admin:IP Camera:admin");
    const std::string ha2 = md5Hex("GET:" + std::string(uri));
    const std::string response = md5Hex(ha1 + ":" + std::string(usedNonce) + ":" +
                                        std::string(count) + ":0123456789abcdef:auth:" + ha2);
    return "Authorization: Digest username=\"admin\", realm=\"IP Camera\", nonce=\"" +
           std::string(usedNonce) + "\", uri=\"" + std::string(uri) + "\", qop=\"auth\", nc=\"" +
           std::string(count) + "\", cnonce=\"0123456789abcdef\", response=\"" + response +
           "\"\r\n";
  };
  const auto statusFor = [&](std::string_view header) {
    return statusLineOf(ask(camera.port(), target, header));
  };
  EXPECT_EQ(statusFor(authorization(target, "0000000a", nonce)), "HTTP/1.1 200 OK");
  EXPECT_EQ(statusFor(authorization(target, "0000000a", nonce)), "HTTP/1.1 401 Unauthorized")
      << "a replayed nonce count";
  EXPECT_EQ(statusFor(authorization(target, "0000000b", nonce)), "HTTP/1.1 200 OK");
  EXPECT_EQ(statusFor(authorization(paramTarget("Properties.Firmware"), "0000000c", nonce)),
            "HTTP/1.1 401 Unauthorized")
      << "an answer computed for another page";
  const std::string stale =
      ask(camera.port(), target, authorization(target, "00000001", std::string(32, 'f')));
  EXPECT_EQ(statusLineOf(stale), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(stale.find("stale=true"), std::string::npos) << "right password, unknown nonce";
}

TEST(Camsim, RequestsOutsideWhatItServesGetTheirHttpRefusal) {
  Server camera;
  ASSERT_TRUE(camera.start());
  const std::string firmware = paramTarget("Properties.Firmware");
  const struct {
    std::string request;
    std::string statusLine;
  } cases[] = {
      {"GET " + firmware + " HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /index.html HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
      {"POST " + firmware + " HTTP/1.1\r\nContent-Length: 2\r\n\r\nab",
       "HTTP/1.1 405 Method Not Allowed"},
      {"GET /x HTTP/1.1\r\nX-Padding: " + std::string(9000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"GET /x HTTP/1.1\r\nX-Padding: " + std::string(20000, 'a'),
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"POST /x HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", "HTTP/1.1 413 Content Too Large"},
      {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
      {"GET /x HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported"},
      {"GET x HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /x HTTP/1.1\r\n folded: no\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /x HTTP/1.1\r\nNo-Colon\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"HELLO\r\n\r\n", "HTTP/1.1 400 Bad Request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    RawClient client(camera.port());
    client.send(c.request);
    EXPECT_EQ(statusLineOf(client.readAll()), c.statusLine);
  }
  RawClient head(camera.port());
  head.send("HEAD " + firmware + " HTTP/1.1\r\n\r\n");
  const std::string answer = head.readAll();
  EXPECT_EQ(statusLineOf(answer), "HTTP/1.1 200 OK");
  EXPECT_NE(answer.find("Content-Length: 97\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(answer), "");
}

TEST(Camsim, StopEndsHeldConnectionsPromptly) {
  Options options;
  options.fault = Fault::NoAnswer;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  RawClient first(camera.port());
  RawClient second(camera.port());
  first.send("GET " + paramTarget("Properties.Firmware") + " HTTP/1.1\r\n\r\n");
  second.send("GET /camera-cgi/public/anonymous.cgi HTTP/1.1\r\n\r\n");
  // Both requests are read and held, not merely queued in the listener.
  ASSERT_TRUE(ipcam::testing::waitFor([&] { return camera.requests().size() == 2; }));

  // A held connection waits for its peer without end: a stop that did not reach that wait would
  // hang, one that does is back within moments even on a busy machine.
  const auto start = std::chrono::steady_clock::now();
  camera.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  for (RawClient* client : {&first, &second}) {
    EXPECT_EQ(client->readAll(), "");
    EXPECT_TRUE(client->closedByPeer()) << "closed without a word, not left silent";
  }
  camera.stop();
}

}  // namespace
}  // namespace ipcam::camsim
