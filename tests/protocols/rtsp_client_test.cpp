// The RTSP client against a scripted camera on 127.0.0.1, its packet reader on a socket pair,
// and the RTSP worker of channel 0.
#include "protocols/rtsp_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "protocols/http_workers.h"
#include "protocols/scripted_http_server.h"
#include "support/recording_viewer_ui.h"
#include "support/split_receive.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedServer;

std::string text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string describeOk(std::string_view sdp) {
  return "RTSP/1.0 200 OK\r\nCSeq: 0\r\nContent-Type: application/sdp\r\nContent-Length: " +
         std::to_string(sdp.size()) + "\r\n\r\n" + std::string(sdp);
}
// The camera's Session line is followed by another header line, which goes back as well.
constexpr std::string_view kSetupOk =
    "RTSP/1.0 200 OK\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
    "Session: 12345678;timeout=60\r\nCache-Control: no-cache\r\n\r\n";
constexpr std::string_view kSessionText =
    "\r\nSession: 12345678;timeout=60\r\nCache-Control: no-cache";
constexpr std::string_view kPlayOk = "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 12345678\r\n\r\n";
constexpr std::string_view kChallenge =
    "RTSP/1.0 401 Unauthorized\r\nCSeq: 0\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n";
constexpr std::string_view kVideoAudioSdp =
    "v=0\r\nm=video 0 RTP/AVP 26\r\na=control:track1\r\nm=audio 0 RTP/AVP 8\r\n"
    "a=control:track2\r\n";
// SPS 67 42 00 1e and PPS 68 ce 3c 80, with a parameter behind the PPS.
constexpr std::string_view kH264Sdp =
    "v=0\r\nm=video 0 RTP/AVP 96\r\na=fmtp:96 packetization-mode=1;"
    "sprop-parameter-sets=Z0IAHg==,aM48gA==;profile-level-id=42001e\r\na=control:track1\r\n"
    "m=audio 0 RTP/AVP 8\r\na=control:track2\r\n";

// Answers the requests one by one, then sends `afterwards` and keeps reading (and recording)
// requests until the client hangs up.
ScriptedServer::Script rtspCamera(std::vector<std::string> answers, std::string afterwards = {}) {
  return [answers = std::move(answers),
          afterwards = std::move(afterwards)](ScriptedServer::Connection& connection) {
    for (const std::string& answer : answers) {
      if (!connection.readRequest()) return;
      connection.send(answer);
    }
    connection.send(afterwards);
    while (connection.readRequest()) {
    }
  };
}

// An interleaved RTP packet.
std::string rtp(int channel, int payloadType, bool marker, int sequence, std::string_view payload,
                bool padding = false) {
  const std::size_t length = 12 + payload.size();
  std::string packet = {'$', static_cast<char>(channel), static_cast<char>(length >> 8),
                        static_cast<char>(length & 0xFF)};
  packet += static_cast<char>(padding ? 0xA0 : 0x80);
  packet += static_cast<char>((marker ? 0x80 : 0) | payloadType);
  packet += static_cast<char>(sequence >> 8);
  packet += static_cast<char>(sequence & 0xFF);
  packet += std::string(8, '\0');
  return packet + std::string(payload);
}

// RFC 2435: main header (type 1, Q 255, width/8, height/8), and on the first packet the
// quantization table header and both tables.
std::string jpegPayload(std::uint32_t offset, std::string_view data, int widthBy8 = 8,
                        int heightBy8 = 6, std::string_view tables = {}) {
  std::string payload = {0,
                         static_cast<char>(offset >> 16),
                         static_cast<char>(offset >> 8),
                         static_cast<char>(offset),
                         1,
                         static_cast<char>(255),
                         static_cast<char>(widthBy8),
                         static_cast<char>(heightBy8)};
  if (offset == 0) {
    payload += std::string{0, 0, 0, static_cast<char>(128)};
    payload += tables.empty() ? std::string(128, '\x10') : std::string(tables);
  }
  return payload + std::string(data);
}

struct OpenedClient {
  RtspRequest request;
  RtspClient client;
  int result = 0;
};

// The product's 10 s by default, so a busy machine does not make a good open look failed.
void open(OpenedClient& opened, const ScriptedServer& server, std::uint8_t kind,
          std::uint32_t timeoutMs = 10000) {
  opened.request.command = RtspRequest::kOpen;
  opened.request.streamKind = kind;
  opened.request.user = "admin";
  opened.request.password = "secret";
  opened.request.host = "127.0.0.1";
  opened.request.rtspPort = server.port();
  opened.request.streamPath = "live.sdp";
  opened.request.timeoutMs = timeoutMs;
  opened.result = RunRtspRequest(&opened.request, opened.client);
}

std::vector<std::string> waitForRequests(const ScriptedServer& server, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (server.requests().size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  return server.requests();
}

TEST(RtspOpenTest, ChallengeIsAnsweredOnTheSameConnectionAndTeardownCloses) {
  ScriptedServer server(
      {rtspCamera({std::string(kChallenge), describeOk(kVideoAudioSdp), std::string(kSetupOk),
                   std::string(kSetupOk), std::string(kPlayOk)})});
  OpenedClient opened;
  open(opened, server, RtspRequest::kJpeg);
  ASSERT_EQ(opened.result, 0);
  EXPECT_EQ(opened.request.connected, 1);
  opened.request.command = RtspRequest::kClose;
  EXPECT_EQ(RunRtspRequest(&opened.request, opened.client), 0);
  EXPECT_EQ(opened.request.connected, 0);

  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/live.sdp";
  const std::string auth = "\r\nAuthorization: Basic YWRtaW46c2VjcmV0";
  const std::string session(kSessionText);
  const std::vector<std::string> expected = {
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 0\r\n\r\n",
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1" + auth + "\r\n\r\n",
      "SETUP " + url + "/track1 RTSP/1.0\r\nCSeq: 2\r\n" +
          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1" + auth + "\r\n\r\n",
      "SETUP " + url + "/track2 RTSP/1.0\r\nCSeq: 3\r\n" +
          "Transport: RTP/AVP/TCP;unicast;interleaved=2-3" + session + auth + "\r\n\r\n",
      "PLAY " + url + " RTSP/1.0\r\nCSeq: 4\r\nRange: npt=0-" + session + auth + "\r\n\r\n",
      "TEARDOWN " + url + " RTSP/1.0\r\nCSeq: 5" + session + auth + "\r\n\r\n",
  };
  EXPECT_EQ(waitForRequests(server, expected.size()), expected);
}

// Servers send their first packets right behind the PLAY answer, often in the same receive:
// they are read, not lost with the answer.
TEST(RtspOpenTest, PacketsBehindThePlayAnswerAreRead) {
  const std::string packets = rtp(0, 96, true, 1, "first") + rtp(0, 96, true, 2, "second");
  ScriptedServer server({rtspCamera({describeOk(kVideoAudioSdp), std::string(kSetupOk),
                                     std::string(kSetupOk), std::string(kPlayOk) + packets})});
  OpenedClient opened;
  open(opened, server, RtspRequest::kMpeg4);
  ASSERT_EQ(opened.result, 0);
  std::vector<std::uint8_t> video(1000);
  opened.request.videoBuffer = video;
  opened.request.command = RtspRequest::kRead;
  for (const std::string_view payload : {"first", "second"}) {
    ASSERT_EQ(RunRtspRequest(&opened.request, opened.client), 0);
    EXPECT_EQ(text(std::span(video).first(opened.request.videoLength)), payload);
  }
}

struct TrackCase {
  const char* name;
  std::string sdp;
  std::uint8_t kind;
  int result;
  // Each SETUP's URL ("BASE" for the stream's URL) and interleaved pair, in order.
  std::vector<std::string> setups;
};

// SPS 67 42 00 1e and PPS 68 ce 3c 80 as the parameter sets that kH264Sdp carries.
const std::string kParameterSets("\0\0\0\1\x67\x42\x00\x1e\0\0\0\1\x68\xce\x3c\x80", 16);

TEST(RtspOpenTest, TracksAndParameterSetsFromTheSdp) {
  const std::string hugeSprop =
      "v=0\r\nm=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=" + std::string(200, 'A') +
      ",aM48gA==\r\na=control:t\r\n";
  // Shaped like a standard server's: session-level "a=control:*", attributes this client does
  // not know before and after the ones it needs, a second PPS, "\n" line ends, and long.
  const std::string standardServer =
      "v=0\no=- 6756737380201569016 1 IN IP4 127.0.0.1\ns=Session streamed\nt=0 0\n"
      "a=tool:GStreamer\na=type:broadcast\na=control:*\na=range:npt=now-\n"
      "m=video 0 RTP/AVP 96\nc=IN IP4 0.0.0.0\nb=AS:2097\na=rtpmap:96 H264/90000\n"
      "a=framerate:10\na=fmtp:96 packetization-mode=1;SPROP-parameter-sets=Z0IAHg==,aM48gA==,"
      "aM4xsg==;profile-level-id=42c015\na=control:stream=0\na=ts-refclk:local\n"
      "a=mediaclk:sender\na=ssrc:2219225119 cname:user859660793@host-be20c76b\n" +
      std::string(15000, '\n') +
      "m=audio 0 RTP/AVP 8\na=rtpmap:8 PCMA/8000\na=ssrc:1 cname:x\na=control:stream=1\n";
  const std::vector<TrackCase> cases = {
      {"video and audio",
       std::string(kVideoAudioSdp),
       RtspRequest::kJpeg,
       0,
       {"BASE/track1 0-1", "BASE/track2 2-3"}},
      {"audio only",
       "v=0\r\nm=audio 0 RTP/AVP 8\r\na=control:track2\r\n",
       RtspRequest::kMpeg4,
       0,
       {"BASE/track2 0-1"}},
      {"no track", "v=0\r\ns=nothing\r\nm=video 0 RTP/AVP 26\r\n", RtspRequest::kJpeg, -1041, {}},
      {"only a session-level control",
       "v=0\r\na=control:*\r\nm=video 0 RTP/AVP 26\r\n",
       RtspRequest::kJpeg,
       -1041,
       {}},
      // The video section has no control of its own; the audio section's is not its.
      {"control of the next section",
       "v=0\r\nm=video 0 RTP/AVP 26\r\nm=audio 0 RTP/AVP 8\r\na=control:track2\r\n",
       RtspRequest::kJpeg,
       0,
       {"BASE/track2 0-1"}},
      {"absolute control URLs",
       "v=0\r\nm=video 0 RTP/AVP 26\r\na=control:rtsp://127.0.0.1:554/cam/trackID=1\r\n"
       "m=audio 0 RTP/AVP 8\r\na=control:RTSP://127.0.0.1:554/cam/trackID=2\r\n",
       RtspRequest::kJpeg,
       0,
       {"rtsp://127.0.0.1:554/cam/trackID=1 0-1", "RTSP://127.0.0.1:554/cam/trackID=2 2-3"}},
      {"H.264",
       std::string(kH264Sdp),
       RtspRequest::kH264,
       0,
       {"BASE/track1 0-1", "BASE/track2 2-3"}},
      {"H.264 from a standard server",
       standardServer,
       RtspRequest::kH264,
       0,
       {"BASE/stream=0 0-1", "BASE/stream=1 2-3"}},
      {"H.264 without sprop", std::string(kVideoAudioSdp), RtspRequest::kH264, -1040, {}},
      {"sprop of the audio section",
       "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:t\r\nm=audio 0 RTP/AVP 8\r\n"
       "a=fmtp:8 sprop-parameter-sets=Z0IAHg==,aM48gA==\r\n",
       RtspRequest::kH264,
       -1040,
       {}},
      {"sprop without comma",
       "v=0\r\nm=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=Z0IA",
       RtspRequest::kH264,
       -1040,
       {}},
      {"huge SPS", hugeSprop, RtspRequest::kH264, -1040, {}},
      {"SPS not Base64",
       "m=video 0\r\na=fmtp:96 sprop-parameter-sets=Z0*AHg==,aM48gA==\r\n",
       RtspRequest::kH264,
       -1040,
       {}},
  };
  for (const TrackCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({rtspCamera(
        {describeOk(c.sdp), std::string(kSetupOk), std::string(kSetupOk), std::string(kPlayOk)})});
    OpenedClient opened;
    open(opened, server, c.kind);
    EXPECT_EQ(opened.result, c.result);
    EXPECT_EQ(opened.request.connected, c.result == 0 ? 1 : 0);
    if (c.result == 0 && c.kind == RtspRequest::kH264) {
      EXPECT_EQ(
          text(std::span(opened.request.parameterSets).first(opened.request.parameterSetsLength)),
          kParameterSets);
    }
    opened.client.closeAll();
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/live.sdp";
    std::vector<std::string> setups;
    for (const std::string& request : waitForRequests(server, 1)) {
      const std::size_t at = request.find("interleaved=");
      if (!request.starts_with("SETUP ") || at == std::string::npos) continue;
      std::string url = request.substr(6, request.find(' ', 6) - 6);
      if (url.starts_with(base)) url.replace(0, base.size(), "BASE");
      setups.push_back(url + " " + request.substr(at + 12, 3));
    }
    EXPECT_EQ(setups, c.setups);
  }
}

struct FailureCase {
  const char* name;
  std::vector<std::string> answers;
  int result;
  int status;
};

TEST(RtspOpenTest, FailedStepsGiveTheirCodes) {
  const std::string notFound = "RTSP/1.0 404 Not Found\r\nCSeq: 0\r\n\r\n";
  const std::string busy = "RTSP/1.0 406 Not Acceptable\r\nCSeq: 0\r\n\r\n";
  const auto lengthOnly = [](std::string_view value) {
    return "RTSP/1.0 200 OK\r\nCSeq: 0\r\nContent-Length: " + std::string(value) + "\r\n\r\n";
  };
  const std::string sdp(kVideoAudioSdp);
  const std::vector<FailureCase> cases = {
      {"no Content-Length", {"RTSP/1.0 200 OK\r\nCSeq: 0\r\n\r\n"}, -1017, 0},
      {"not found", {notFound}, -1017, 404},
      {"busy", {busy}, -1017, 406},
      {"wrong password", {std::string(kChallenge), std::string(kChallenge)}, -1017, 401},
      {"header over 512 bytes", {"RTSP/1.0 200 OK\r\nX: " + std::string(600, 'x')}, -1016, 0},
      {"SDP over 16 KiB", {lengthOnly("16385") + std::string(16385, 'v')}, -1030, 0},
      {"absurd length", {lengthOnly("99999999999999999999")}, -1030, 0},
      {"negative length", {lengthOnly("-5")}, -1030, 0},
      {"length not a number", {lengthOnly("many")}, -1030, 0},
      {"SDP cut short", {lengthOnly("100") + "v=0"}, -1034, 0},
      {"SETUP without session", {describeOk(sdp), "RTSP/1.0 200 OK\r\n\r\n"}, -1057, 0},
      {"SETUP busy", {describeOk(sdp), busy}, -1057, 406},
      {"PLAY refused",
       {describeOk(sdp), std::string(kSetupOk), std::string(kSetupOk), notFound},
       -1067,
       404},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({[answers = c.answers](ScriptedServer::Connection& connection) {
      for (const std::string& answer : answers) {
        if (!connection.readRequest()) return;
        connection.send(answer);
      }
    }});
    OpenedClient opened;
    open(opened, server, RtspRequest::kJpeg);
    EXPECT_EQ(opened.result, c.result);
    EXPECT_EQ(opened.request.rtspStatus, c.status);
    EXPECT_EQ(opened.request.command, RtspRequest::kOpen);
    EXPECT_EQ(opened.request.connected, 0);
    EXPECT_FALSE(opened.client.sockets[RtspRequest::kJpeg].valid());
  }
}

// A server that writes every header name in lower case, as RTSP allows.
TEST(RtspOpenTest, HeaderNamesInAnyCase) {
  const std::string sdp(kVideoAudioSdp);
  ScriptedServer server({rtspCamera({
      "RTSP/1.0 401 Unauthorized\r\ncseq: 0\r\nwww-authenticate: basic realm=\"cam\"\r\n\r\n",
      "RTSP/1.0 200 OK\r\ncseq: 1\r\ncontent-length:" + std::to_string(sdp.size()) + "\r\n\r\n" +
          sdp,
      "RTSP/1.0 200 OK\r\ncseq: 2\r\nsession:  abc;timeout=60\r\n\r\n",
      "RTSP/1.0 200 OK\r\ncseq: 3\r\nsession:  abc;timeout=60\r\n\r\n",
      "RTSP/1.0 200 OK\r\ncseq: 4\r\n\r\n",
  })});
  OpenedClient opened;
  open(opened, server, RtspRequest::kJpeg);
  EXPECT_EQ(opened.result, 0);
  const auto requests = waitForRequests(server, 5);
  ASSERT_EQ(requests.size(), 5U);
  EXPECT_NE(requests[1].find("\r\nAuthorization: Basic YWRtaW46c2VjcmV0"), std::string::npos);
  EXPECT_NE(requests[4].find("\r\nsession:  abc;timeout=60\r\n"), std::string::npos) << requests[4];
}

// A server that sends one byte every 300 ms never lets a single receive time out; the Open as
// a whole ends at its deadline (timeoutMs) all the same, with the codes of a receive error.
TEST(RtspOpenTest, TricklingServerEndsAtTheDeadline) {
  using namespace std::chrono_literals;
  const std::string sdp = std::string(kVideoAudioSdp) + "a=x-pad:" + std::string(100, 'x');
  const struct {
    const char* name;
    std::string answer;  // sent at once
    std::string trickled;
    int result;
  } cases[] = {
      {"DESCRIBE answer", "", describeOk(sdp), -1015},
      {"SDP", describeOk(sdp).substr(0, describeOk(sdp).size() - sdp.size()), sdp, -1035},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({[&c](ScriptedServer::Connection& connection) {
      if (!connection.readRequest()) return;
      connection.send(c.answer);
      connection.trickle(c.trickled, 300ms);
    }});
    OpenedClient opened;
    open(opened, server, RtspRequest::kJpeg, 1000);
    EXPECT_EQ(opened.result, c.result);
    EXPECT_LT(opened.request.elapsedMs, 15000U) << "the whole trickle takes over 30 s";
  }
}

TEST(RtspOpenTest, NothingListensOnThePort) {
  ScriptedServer server({});
  const std::uint16_t port = server.port();
  server.stop();
  OpenedClient opened;
  opened.request.streamKind = RtspRequest::kMpeg4;
  opened.request.command = RtspRequest::kOpen;
  opened.request.host = "127.0.0.1";
  opened.request.rtspPort = port;
  EXPECT_EQ(RunRtspRequest(&opened.request, opened.client), -1004);
  opened.request.streamKind = 4;
  EXPECT_EQ(RunRtspRequest(&opened.request, opened.client), -2);
}

ScriptedServer::Script httpAnswer(std::string body) {
  return [body = std::move(body)](ScriptedServer::Connection& connection) {
    if (!connection.readRequest()) return;
    connection.send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  };
}

struct ParameterCase {
  const char* name;
  std::vector<std::string> answers;  // the plain list, then the XML list
  int kind;
  std::uint16_t port;
  std::string path;
};

TEST(RtspParameterTest, PlainAndXmlLists) {
  const std::string plain =
      "Network.RTSP.Enable=1\nNetwork.RTSP.Port=8554\nNetwork.RTSP.Path=mpeg4/media.amp\n"
      "Network.RTSP.H264Path=h264/media.amp\nNetwork.RTSP.MJPEGPath=mjpeg/media.amp\n";
  const std::string xml =
      "<RTSP><rtspPort maxLen=\"5\">7070</rtspPort>"
      "<rtspH264Path id=\"profile0\" maxLen=\"63\">h264</rtspH264Path>"
      "<rtspMJPEGPath id=\"profile0\" maxLen=\"63\">mjpeg</rtspMJPEGPath></RTSP>";
  const std::vector<ParameterCase> cases = {
      {"plain MPEG-4", {plain}, 0, 8554, "mpeg4/media.amp"},
      {"plain H.264", {plain}, 1, 8554, "h264/media.amp"},
      {"plain JPEG", {plain}, 2, 8554, "mjpeg/media.amp"},
      {"path too long", {"Network.RTSP.H264Path=" + std::string(64, 'p')}, 1, 0, ""},
      {"port out of range", {"Network.RTSP.Port=70000\n"}, 1, 0, ""},
      {"list over 1024 bytes", {plain + std::string(1024, ' ')}, 1, 0, ""},
      {"XML H.264", {"Access Denied", xml}, 1, 7070, "h264.sdp"},
      {"XML JPEG", {"Failed to get xml data", xml}, 2, 7070, "mjpeg.sdp"},
      {"XML MPEG-4 has no path", {"Access Denied", xml}, 0, 7070, ""},
      {"XML without tags", {"Access Denied", "rtspPort"}, 1, 0, ""},
  };
  for (const ParameterCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ScriptedServer::Script> scripts;
    for (const std::string& answer : c.answers) scripts.push_back(httpAnswer(answer));
    ScriptedServer server(scripts);
    StreamContext context;
    context.configure({"admin", "secret", "127.0.0.1", std::to_string(server.port()), 2});
    std::uint16_t port = 1;
    std::string path = "old";
    int enable = 5;
    QueryRtspParameters(context, port, path, enable, c.kind);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(path, c.path);
    EXPECT_EQ(enable, c.port == 8554 ? 1 : 0);  // only the full plain list enables
  }
}

// The packet reader on one end of a socket pair; the test writes the camera's side.
class RtspReadTest : public ::testing::Test {
 protected:
  // A fresh stream: nothing left from an earlier one in the client or the request.
  void connect(std::uint8_t kind, std::size_t videoCapacity = 4096) {
    client_.closeSlot(kind);
    request_ = RtspRequest{};
    int ends[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    timeval timeout{2, 0};
    ::setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    client_.sockets[kind].reset(ends[0]);
    client_.connected[kind] = 1;
    camera_ = ends[1];
    video_.assign(videoCapacity, 0);
    request_.streamKind = kind;
    request_.command = RtspRequest::kRead;
    request_.videoBuffer = video_;
    request_.audioBuffer = audio_;
  }
  void TearDown() override {
    if (camera_ >= 0) ::close(camera_);
  }
  void send(std::string_view bytes) {
    ASSERT_EQ(::send(camera_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void hangUp() {
    ::close(camera_);
    camera_ = -1;
  }
  int read() { return RunRtspRequest(&request_, client_); }
  std::string frame() const { return text(std::span(video_).first(request_.videoLength)); }

  RtspClient client_;
  RtspRequest request_;
  std::vector<std::uint8_t> video_;
  std::vector<std::uint8_t> audio_ = std::vector<std::uint8_t>(1000);
  int camera_ = -1;
};

struct BadPacket {
  const char* name;
  std::string bytes;
  int result;
};

// Each refused packet costs that packet only: the packet behind it is read at once, in step,
// by the very next Read.
TEST_F(RtspReadTest, EveryPacketCheckHasItsCodeAndCostsOnlyThatPacket) {
  std::string wrongMarker = rtp(0, 96, true, 1, "x");
  wrongMarker[0] = '#';
  std::string tooShort = rtp(0, 96, true, 1, "");
  std::string tooLong = rtp(0, 96, true, 1, std::string(8197, '$'));
  std::string badTypeTooLong = rtp(0, 33, true, 1, std::string(8197, '$'));
  const std::string good = rtp(0, 96, true, 2, "good");
  const std::vector<BadPacket> cases = {
      {"not $", wrongMarker, -2020},
      {"channel 4", rtp(4, 96, true, 1, "$\x00\x00\x20"), -2021},
      {"channel 200, 9000 bytes", rtp(200, 96, true, 1, std::string(9000, '$')), -2021},
      {"payload type 33", rtp(0, 33, true, 1, "x"), -2022},
      {"payload type 0 on the audio channel", rtp(2, 0, true, 1, "x"), -2022},
      {"payload type 33 and too long", badTypeTooLong, -2022},
      {"no payload", tooShort, -2023},
      {"no RTP header",
       std::string("$\x00\x00\x05"
                   "abcde",
                   9),
       -2023},
      {"empty", std::string("$\x02\x00\x00", 4), -2023},
      {"payload over 8196", tooLong, -2023},
      {"RTCP on 1", rtp(1, 72, false, 1, "report"), 0},
      {"RTCP on 3", rtp(3, 73, false, 1, "report"), 0},
      {"largest payload", rtp(0, 96, true, 1, std::string(8196, 'p')), 0},
      // What servers put between packets: their answers and their own requests.
      {"RTSP answer", "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: 12345678\r\n\r\n", -2020},
      {"server request", "GET_PARAMETER rtsp://127.0.0.1/live.sdp RTSP/1.0\r\nCSeq: 3\r\n\r\n",
       -2020},
      {"garbage with $ that leads nowhere", std::string("xx$\x09\xff\xffyy$\x07", 10), -2020},
  };
  for (const BadPacket& c : cases) {
    SCOPED_TRACE(c.name);
    connect(RtspRequest::kMpeg4, 10000);
    send(c.bytes + good);
    EXPECT_EQ(read(), c.result);
    if (std::string_view(c.name).starts_with("RTCP")) {
      EXPECT_EQ(request_.mediaKind, RtspRequest::kControl);
      EXPECT_EQ(request_.videoLength, 0U);
    }
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(frame(), "good");
    TearDown();
  }

  // The stream ends inside a packet.
  const std::vector<BadPacket> cutShort = {
      {"payload cut short", rtp(0, 96, true, 1, "abcdef").substr(0, 18), -2034},
      {"header cut short", rtp(0, 96, true, 1, "x").substr(0, 3), -2014},
      {"refused packet cut short", rtp(5, 96, true, 1, "abcdef").substr(0, 18), -2034},
  };
  for (const BadPacket& c : cutShort) {
    SCOPED_TRACE(c.name);
    connect(RtspRequest::kMpeg4, 10000);
    send(c.bytes);
    hangUp();
    EXPECT_EQ(read(), c.result);
    TearDown();
  }

  RtspClient idle;
  RtspRequest request;
  request.command = RtspRequest::kRead;
  EXPECT_EQ(RunRtspRequest(&request, idle), -2001);
  idle.connected[0] = 1;
  EXPECT_EQ(RunRtspRequest(&request, idle), -2011);
}

// A long run of garbage is scanned a bounded piece per Read: a few Reads give -2020, each
// without waiting, and then the packet behind it comes.
TEST_F(RtspReadTest, LongGarbageIsScannedPieceByPiece) {
  connect(RtspRequest::kMpeg4, 10000);
  send(std::string(40000, 'g') + rtp(0, 96, true, 2, "good"));
  std::vector<int> results;
  while (results.size() < 20 && (results.empty() || results.back() == -2020)) {
    results.push_back(read());
  }
  ASSERT_GE(results.size(), 3U);  // one Read does not swallow 40000 bytes
  EXPECT_EQ(results.back(), 0);
  EXPECT_EQ(frame(), "good");
  EXPECT_TRUE(std::all_of(results.begin(), results.end() - 1, [](int r) { return r == -2020; }));
}

// Wherever a receive ends, in the interleave header, the RTP header, the payload or a server
// message between packets, the packets come whole, each from its own Read.
TEST_F(RtspReadTest, ReceiveEdgeAnywhereKeepsPacketsWhole) {
  const std::string video = rtp(0, 96, true, 1, "abcdef");
  const std::string audio = rtp(2, 8, true, 2, "ghij");
  const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: 12345678\r\n\r\n";
  const struct {
    const char* name;
    std::string stream;
  } cases[] = {
      {"two packets", video + audio},
      {"an answer between them", video + answer + audio},
  };
  for (const auto& c : cases) {
    for (std::size_t edge = 1; edge < c.stream.size(); ++edge) {
      SCOPED_TRACE(std::string(c.name) + ", receive edge at " + std::to_string(edge));
      connect(RtspRequest::kMpeg4);
      ASSERT_EQ(testing::acrossReceiveEdge(client_.sockets[RtspRequest::kMpeg4].get(), camera_,
                                           c.stream, edge, [&] { return read(); }),
                0);
      EXPECT_EQ(frame(), "abcdef");
      int result = read();
      for (int skipped = 0; result == -2020 && skipped < 4; ++skipped) result = read();
      ASSERT_EQ(result, 0);
      EXPECT_EQ(request_.mediaKind, RtspRequest::kAudio);
      EXPECT_EQ(text(std::span(audio_).first(request_.audioLength)), "ghij");
      TearDown();
    }
  }
}

TEST_F(RtspReadTest, FuAFragmentsBecomeOneNalUnitWithStartCode) {
  connect(RtspRequest::kH264);
  // NRI 3, type 5 (IDR) in three fragments; then a single NAL unit of type 1.
  send(rtp(0, 96, false, 1,
           "\x7c\x85"
           "ab") +
       rtp(0, 96, false, 2,
           "\x7c\x05"
           "c") +
       rtp(0, 96, true, 3,
           "\x7c\x45"
           "d") +
       rtp(0, 96, true, 4,
           "\x41"
           "xyz"));
  std::vector<int> continues;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(read(), 0);
    continues.push_back(request_.frameContinues);
  }
  EXPECT_EQ(continues, (std::vector<int>{1, 1, 0}));
  EXPECT_EQ(request_.mediaKind, RtspRequest::kVideo);
  EXPECT_EQ(frame(), std::string("\0\0\0\1\x65"
                                 "abcd",
                                 9));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(frame(), std::string("\0\0\0\1\x41"
                                 "xyz",
                                 8));
}

TEST_F(RtspReadTest, JpegPictureWithALostPacketIsDroppedAndTheNextGathered) {
  connect(RtspRequest::kJpeg);
  request_.lastVideoSequence = 9;
  send(rtp(0, 26, false, 10, jpegPayload(0, "AAAA")) +
       // 11 is lost
       rtp(0, 26, true, 12, jpegPayload(8, "CCCC")) +
       rtp(0, 26, false, 13, jpegPayload(0, "DDDD")) +
       rtp(0, 26, true, 14, jpegPayload(4, "EEEE")));
  std::vector<int> results;
  for (int i = 0; i < 4; ++i) results.push_back(read());
  EXPECT_EQ(results, (std::vector<int>{0, -2041, 0, 0}));
  EXPECT_EQ(request_.frameContinues, 0);

  std::array<std::uint8_t, kJpegHeaderBytes> header{};
  const std::array<std::uint8_t, 64> table = [] {
    std::array<std::uint8_t, 64> t{};
    t.fill(0x10);
    return t;
  }();
  ASSERT_EQ(BuildJpegHeader(header, 6, 8, 1, table, table), 605);
  EXPECT_EQ(frame(), text(header) + "DDDDEEEE");
}

TEST_F(RtspReadTest, PaddingCarriesTheMotionByte) {
  connect(RtspRequest::kMpeg4);
  send(rtp(0, 96, true, 1, std::string("\x00\x00\x01\xb6\x01\x02", 6), true) +
       rtp(0, 96, true, 2, "ABC"));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(request_.motionByte, 1);
  EXPECT_EQ(frame(), std::string("\x00\x00\x01\xb6", 4));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(request_.motionByte, 0);
  EXPECT_EQ(frame(), "ABC");
}

TEST_F(RtspReadTest, AudioAndFullBuffers) {
  connect(RtspRequest::kMpeg4, 16);
  send(rtp(2, 8, false, 1, std::string(320, 'a')) + rtp(2, 8, true, 2, std::string(1001, 'b')) +
       rtp(0, 96, false, 3, std::string(10, 'v')) + rtp(0, 96, true, 4, std::string(10, 'w')) +
       rtp(0, 96, true, 5, std::string(16, 'x')));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(request_.mediaKind, RtspRequest::kAudio);
  EXPECT_EQ(request_.frameContinues, 0);
  EXPECT_EQ(request_.audioLength, 320U);
  EXPECT_EQ(read(), -2040);
  EXPECT_EQ(read(), 0);
  EXPECT_EQ(read(), -2042);  // the partial frame is discarded
  EXPECT_EQ(request_.videoFill, 0U);
  EXPECT_EQ(read(), 0);
  EXPECT_EQ(frame(), std::string(16, 'x'));
}

// Random bytes as the camera's stream: only defined codes, nothing written out of bounds
// (meant to run under AddressSanitizer as well).
TEST_F(RtspReadTest, RandomStreamsGiveDefinedCodes) {
  const std::set<int> defined = {0,     -2014, -2015, -2020, -2021, -2022,
                                 -2023, -2034, -2035, -2040, -2041, -2042};
  std::mt19937 random(20261210);
  for (int round = 0; round < 120; ++round) {
    connect(static_cast<std::uint8_t>(round % 3), 2048);
    std::string stream;
    while (stream.size() < 30000) {
      // Mostly plausible packets, so the reader gets past its first checks.
      std::uniform_int_distribution<int> byte(0, 255);
      std::string payload(static_cast<std::size_t>(byte(random) * 3 % 700), '\0');
      for (char& c : payload) c = static_cast<char>(byte(random));
      const int channel = byte(random) % 5;
      const int type = std::array{8, 26, 96, byte(random) & 0x7F}[byte(random) % 4];
      std::string packet = rtp(channel, type, byte(random) % 2 == 0, byte(random) % 4, payload,
                               byte(random) % 3 == 0);
      if (byte(random) % 8 == 0)
        packet[static_cast<std::size_t>(byte(random)) % packet.size()] ^= 0x5A;
      stream += packet;
    }
    send(stream);
    hangUp();
    for (int reads = 0; reads < 5000; ++reads) {
      const int result = read();
      ASSERT_TRUE(defined.contains(result)) << result;
      ASSERT_LE(request_.videoLength, video_.size());
      ASSERT_LE(request_.audioLength, audio_.size());
      if (result == -2014 || result == -2034) break;
    }
    TearDown();
  }
}

// An RFC 2435 picture made from a libavcodec JPEG: its quantization tables and scan data.
struct Rfc2435Picture {
  std::string tables;  // two 64-byte tables
  std::string scan;    // entropy-coded data up to the end marker
};

Rfc2435Picture splitJpeg(const std::vector<std::uint8_t>& jpeg) {
  Rfc2435Picture picture;
  std::vector<std::string> tables;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const std::uint8_t marker = jpeg[at + 1];
    const std::size_t length = (jpeg[at + 2] << 8) | jpeg[at + 3];
    if (marker == 0xDB) {
      for (std::size_t t = at + 4; t + 65 <= at + 2 + length; t += 65) {
        tables.emplace_back(reinterpret_cast<const char*>(&jpeg[t + 1]), 64);
      }
    }
    if (marker == 0xDA) {
      const std::size_t begin = at + 2 + length;
      picture.scan.assign(reinterpret_cast<const char*>(&jpeg[begin]), jpeg.size() - begin);
      break;
    }
    at += 2 + length;
  }
  if (tables.size() == 1) tables.push_back(tables[0]);
  if (tables.size() == 2) picture.tables = tables[0] + tables[1];
  return picture;
}

TEST_F(RtspReadTest, RebuiltJpegDecodesWithLibavcodec) {
  constexpr int kWidth = 64;
  constexpr int kHeight = 48;
  // A 4:2:0 picture, dark on the left and bright on the right, with the standard Huffman
  // tables (which the generated header carries).
  std::vector<std::uint8_t> jpeg;
  {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    ASSERT_NE(codec, nullptr);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = kWidth;
    context->height = kHeight;
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 25};
    av_opt_set(context->priv_data, "huffman", "default", 0);
    AVFrame* picture = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (avcodec_open2(context, codec, nullptr) == 0) {
      picture->format = context->pix_fmt;
      picture->width = kWidth;
      picture->height = kHeight;
      av_frame_get_buffer(picture, 0);
      for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x)
          picture->data[0][y * picture->linesize[0] + x] = x < 32 ? 40 : 210;
      }
      for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < kHeight / 2; ++y) {
          std::fill_n(picture->data[plane] + y * picture->linesize[plane], kWidth / 2, 128);
        }
      }
      if (avcodec_send_frame(context, picture) == 0 &&
          avcodec_receive_packet(context, packet) == 0) {
        jpeg.assign(packet->data, packet->data + packet->size);
      }
    }
    av_packet_free(&packet);
    av_frame_free(&picture);
    avcodec_free_context(&context);
  }
  const Rfc2435Picture parts = splitJpeg(jpeg);
  ASSERT_EQ(parts.tables.size(), 128U);
  ASSERT_GT(parts.scan.size(), 10U);

  // Two packets, the way a camera sends them.
  connect(RtspRequest::kJpeg, 100000);
  request_.lastVideoSequence = 99;
  const std::size_t half = parts.scan.size() / 2;
  send(rtp(0, 26, false, 100, jpegPayload(0, parts.scan.substr(0, half), 8, 6, parts.tables)) +
       rtp(0, 26, true, 101,
           jpegPayload(static_cast<std::uint32_t>(half), parts.scan.substr(half))));
  ASSERT_EQ(read(), 0);
  ASSERT_EQ(read(), 0);
  ASSERT_EQ(request_.frameContinues, 0);

  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  ASSERT_NE(decoder, nullptr);
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  ASSERT_EQ(avcodec_open2(context, decoder, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  packet->data = video_.data();
  packet->size = static_cast<int>(request_.videoLength);
  AVFrame* decoded = av_frame_alloc();
  EXPECT_EQ(avcodec_send_packet(context, packet), 0);
  EXPECT_EQ(avcodec_receive_frame(context, decoded), 0);
  EXPECT_EQ(decoded->width, kWidth);
  EXPECT_EQ(decoded->height, kHeight);
  if (decoded->data[0] != nullptr) {
    EXPECT_NEAR(decoded->data[0][10 * decoded->linesize[0] + 8], 40, 6);
    EXPECT_NEAR(decoded->data[0][30 * decoded->linesize[0] + 56], 210, 6);
  }
  av_frame_free(&decoded);
  packet->data = nullptr;
  packet->size = 0;
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

TEST(RtspJpegHeaderTest, LayoutOfTheHeader) {
  std::array<std::uint8_t, 64> table0{};
  std::array<std::uint8_t, 64> table1{};
  table0.fill(1);
  table1.fill(2);
  std::array<std::uint8_t, 700> header{};
  ASSERT_EQ(BuildJpegHeader(header, 60, 80, 0, table0, table1), 605);
  const std::string written = text(std::span(header).first(605));
  EXPECT_EQ(written.substr(0, 7), std::string("\xFF\xD8\xFF\xDB\x00\x43\x00", 7));
  EXPECT_EQ(written.substr(71, 5), std::string("\xFF\xDB\x00\x43\x01", 5));
  // SOF0: 480 lines of 640, luma 2x1 for type 0.
  EXPECT_EQ(
      written.substr(140, 19),
      std::string("\xFF\xC0\x00\x11\x08\x01\xE0\x02\x80\x03\x00\x21\x00\x01\x11\x01\x02\x11\x01",
                  19));
  EXPECT_EQ(written.substr(591),
            std::string("\xFF\xDA\x00\x0C\x03\x00\x00\x01\x11\x02\x11\x00\x3F\x00", 14));
  std::array<std::uint8_t, 604> small{};
  EXPECT_EQ(BuildJpegHeader(small, 60, 80, 0, table0, table1), -1);
}

// The RTSP worker of channel 0: the parameter list and the RTSP session come from one
// scripted camera (its web and RTSP ports are the same here).
class RtspWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMultiLanguage::instance().selectBySystemLangId(1033);
    record().stream.videoQueue.clear();
    record().stream.audioQueue.clear();
    record().motionFlag = 0;
    attachUi(&ui_);
  }
  void TearDown() override {
    record().stream.stopWorkers();
    appState().ui.store(nullptr);
  }
  static ChannelRecord& record() { return channelRecord(0); }
  static bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  static std::vector<std::string> popAll(MediaQueue& queue) {
    std::vector<std::string> entries;
    std::vector<std::uint8_t> buffer(1024);
    while (const auto length = queue.pop(buffer))
      entries.push_back(text(std::span(buffer).first(*length)));
    return entries;
  }

  platform::test_support::ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
};

TEST_F(RtspWorkerTest, FramesAudioAndMotionReachTheQueues) {
  auto port = std::make_shared<std::atomic<int>>(0);
  const ScriptedServer::Script parameterList = [port](ScriptedServer::Connection& connection) {
    if (!connection.readRequest()) return;
    const std::string list =
        "Network.RTSP.Enable=1\r\nNetwork.RTSP.Port=" + std::to_string(port->load()) +
        "\r\nNetwork.RTSP.H264Path=live.sdp\r\n";
    connection.send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                    std::to_string(list.size()) + "\r\nConnection: close\r\n\r\n" + list);
  };
  const std::string packets = rtp(0, 96, false, 1,
                                  "\x7c\x85"
                                  "ab") +
                              rtp(0, 96, false, 2,
                                  "\x7c\x05"
                                  "c") +
                              rtp(0, 96, true, 3,
                                  "\x7c\x45"
                                  "d") +
                              rtp(1, 72, false, 1, "report") +
                              rtp(0, 96, true, 4,
                                  "\x41"
                                  "m\x01\x02",
                                  true) +
                              rtp(2, 8, true, 1, std::string(320, 'a')) +
                              rtp(2, 8, true, 2, std::string(200, 'b'));
  ScriptedServer server({parameterList, rtspCamera({describeOk(kH264Sdp), std::string(kSetupOk),
                                                    std::string(kSetupOk), std::string(kPlayOk)},
                                                   packets)});
  port->store(server.port());
  record().stream.configure({"admin", "secret", "127.0.0.1", std::to_string(server.port()), 2});
  ASSERT_TRUE(startStreamWorkers(record(), StreamKind::RtspH264));
  EXPECT_TRUE(record().stream.rtspWorker.running());

  StreamContext& stream = record().stream;
  ASSERT_TRUE(
      waitFor([&] { return stream.videoQueue.size() == 2 && stream.audioQueue.size() == 1; }));
  EXPECT_EQ(record().motionFlag.load(), 1);
  EXPECT_EQ(stream.videoQueue.codecKind(), MediaQueue::kH264);
  EXPECT_EQ(stream.videoQueue.parameterSets(),
            std::string("\0\0\0\1\x67\x42\x00\x1e\0\0\0\1\x68\xce\x3c\x80", 16));
  EXPECT_EQ(stream.audioQueue.sampleFormat(), 0);
  EXPECT_EQ(popAll(stream.videoQueue), (std::vector<std::string>{std::string("\0\0\0\1\x65"
                                                                             "abcd",
                                                                             9),
                                                                 std::string("\0\0\0\1\x41"
                                                                             "m",
                                                                             6)}));
  EXPECT_EQ(popAll(stream.audioQueue), (std::vector<std::string>{std::string(320, 'a')}));
  EXPECT_EQ(record().status.load(), kStatusLive);

  stream.stopWorkers();
  // The camera reads the TEARDOWN a moment after the worker has sent it and ended.
  EXPECT_TRUE(waitFor([&server] {
    const auto requests = server.requests();
    return !requests.empty() && requests.back().starts_with("TEARDOWN rtsp://127.0.0.1:");
  }));
  EXPECT_EQ(record().status.load(), kStatusDisconnected);
}

TEST_F(RtspWorkerTest, BusyCameraEndsTheWorker) {
  // A camera whose parameter page answers, and whose RTSP port is busy.
  auto port = std::make_shared<std::atomic<int>>(0);
  ScriptedServer camera(
      {[port](ScriptedServer::Connection& connection) {
         if (!connection.readRequest()) return;
         const std::string list = "Network.RTSP.Port=" + std::to_string(port->load()) +
                                  "\nNetwork.RTSP.MJPEGPath=mjpeg.sdp\n";
         connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(list.size()) +
                         "\r\nConnection: close\r\n\r\n" + list);
       },
       rtspCamera({"RTSP/1.0 406 Not Acceptable\r\nCSeq: 0\r\n\r\n"})});
  port->store(camera.port());
  record().stream.configure({"admin", "secret", "127.0.0.1", std::to_string(camera.port()), 3});
  ASSERT_TRUE(startStreamWorkers(record(), StreamKind::RtspMjpeg));
  ASSERT_TRUE(waitFor([] { return !record().stream.rtspWorker.running(); }));
  EXPECT_EQ(record().stream.rtspRunning.load(), 0);
  const auto statuses = ui_.statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().code, kStatusDisconnected);
  EXPECT_EQ(
      statuses.back().text.value_or(""),
      tileStatusText(0, CMultiLanguage::instance().text("ViewerElement", "Message_ServerBusy")));
  EXPECT_EQ(camera.requests().back().substr(0, 9), "DESCRIBE ");
}

}  // namespace
}  // namespace ipcam
