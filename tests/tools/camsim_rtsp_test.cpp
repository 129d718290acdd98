#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <turbojpeg.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base64.h"
#include "support/wait_for.h"
#include "tools/camsim/command_line.h"
#include "tools/camsim/http_auth.h"
#include "tools/camsim/md5.h"
#include "tools/camsim/rtsp_media.h"
#include "tools/camsim/rtsp_server.h"
#include "tools/camsim/server.h"

namespace ipcam::camsim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ipcam::testing::waitFor;

// How long a read waits for the camera before the test calls it silent. Only a failing test
// sits it out, so it is far beyond what a busy machine needs: the first DESCRIBE of a codec
// encodes the whole cycle, and a starved server thread answers late.
constexpr std::chrono::milliseconds kAnswerLimit = 20s;

struct Response {
  int status = 0;
  std::string head;
  std::string body;

  std::string header(std::string_view name) const {
    const std::size_t at = head.find("\r\n" + std::string(name) + ": ");
    if (at == std::string::npos) return {};
    const std::size_t start = at + 4 + name.size();
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

struct RtpPacket {
  int channel = -1;
  int payloadType = -1;
  bool marker = false;
  bool padded = false;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::string payload;  // without the padding
  std::string padding;
};

// An RTSP client on a bare socket: requests as text, answers and "$" packets as bytes.
class RtspClient {
 public:
  explicit RtspClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    setReceiveLimit(kAnswerLimit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    url_ = "rtsp://127.0.0.1:" + std::to_string(port) + "/";
  }
  ~RtspClient() { ::close(fd_); }
  RtspClient(const RtspClient&) = delete;
  RtspClient& operator=(const RtspClient&) = delete;

  bool connected() const { return connected_; }
  const std::string& url() const { return url_; }

  void send(const std::string& method, const std::string& url, const std::string& headers = {}) {
    const std::string text = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq_++) +
                             "\r\n" + headers + "\r\n";
    ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
  }

  // The next answer; "$" packets in front of it are skipped.
  Response response() {
    Response r;
    for (;;) {
      if (!fill(1)) return r;
      if (buffer_[0] != '$') break;
      if (!readPacket()) return r;
    }
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill(buffer_.size() + 1)) return r;
    }
    r.head = buffer_.substr(0, end + 2);
    buffer_.erase(0, end + 4);
    r.status = std::atoi(r.head.c_str() + 9);
    const std::string length = r.header("Content-Length");
    if (!length.empty()) {
      const auto size = static_cast<std::size_t>(std::stoul(length));
      if (fill(size)) {
        r.body = buffer_.substr(0, size);
        buffer_.erase(0, size);
      }
    }
    return r;
  }

  Response ask(const std::string& method, const std::string& url, const std::string& headers = {}) {
    send(method, url, headers);
    return response();
  }

  std::optional<RtpPacket> readPacket() {
    if (!fill(4) || buffer_[0] != '$') return std::nullopt;
    const std::size_t length = byte(2) << 8 | byte(3);
    if (length < 12 || !fill(4 + length)) return std::nullopt;
    RtpPacket p;
    p.channel = static_cast<int>(byte(1));
    p.padded = (byte(4) & 0x20) != 0;
    p.marker = (byte(5) & 0x80) != 0;
    p.payloadType = static_cast<int>(byte(5) & 0x7f);
    p.sequence = static_cast<std::uint16_t>(byte(6) << 8 | byte(7));
    p.timestamp =
        static_cast<std::uint32_t>(byte(8) << 24 | byte(9) << 16 | byte(10) << 8 | byte(11));
    p.payload = buffer_.substr(16, length - 12);
    buffer_.erase(0, 4 + length);
    if (p.padded && !p.payload.empty()) {
      const std::size_t count = static_cast<unsigned char>(p.payload.back());
      if (count == 0 || count > p.payload.size()) return std::nullopt;
      p.padding = p.payload.substr(p.payload.size() - count);
      p.payload.resize(p.payload.size() - count);
    }
    return p;
  }

  // True when nothing arrives for `quiet` or the peer closed; false when bytes arrive. A busy
  // machine can only make this pass more easily, never fail it wrongly.
  bool silentFor(std::chrono::milliseconds quiet) {
    if (!buffer_.empty()) return false;
    setReceiveLimit(quiet);
    char c;
    const bool silent = ::recv(fd_, &c, 1, 0) <= 0;
    setReceiveLimit(kAnswerLimit);
    return silent;
  }

  // Reads (and drops) what is still on its way until the peer closes; false if the peer stays
  // open for `limit`.
  bool closedWithin(std::chrono::milliseconds limit) {
    std::array<char, 65536> chunk{};
    const auto deadline = Clock::now() + limit;
    for (auto left = limit; left > 0ms;
         left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())) {
      setReceiveLimit(left);
      const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
      if (got == 0) return true;
      if (got < 0) return false;
    }
    return false;
  }

 private:
  void setReceiveLimit(std::chrono::milliseconds limit) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    const timeval value{static_cast<time_t>(seconds.count()),
                        static_cast<suseconds_t>((limit - seconds).count() * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  }
  std::size_t byte(std::size_t at) const { return static_cast<unsigned char>(buffer_[at]); }
  bool fill(std::size_t size) {
    std::array<char, 8192> chunk{};
    while (buffer_.size() < size) {
      const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
      if (got <= 0) return false;
      buffer_.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return true;
  }

  int fd_;
  bool connected_ = false;
  std::string url_;
  std::string buffer_;
  int cseq_ = 0;
};

std::string parameter(const std::string& header, const std::string& name) {
  const std::size_t at = header.find(name + "=\"");
  if (at == std::string::npos) return {};
  const std::size_t start = at + name.size() + 2;
  return header.substr(start, header.find('"', start) - start);
}

std::string digestFor(const Options& o, const std::string& challenge, const std::string& method,
                      const std::string& uri) {
  const std::string nonce = parameter(challenge, "nonce");
  const std::string response = md5Hex(md5Hex(o.user + ":" + o.realm + ":" + o.password) + ":" +
                                      nonce + ":" + md5Hex(method + ":" + uri));
  return "Authorization: Digest username=\"" + o.user + "\", realm=\"" + o.realm + "\", nonce=\"" +
         nonce + "\", uri=\"" + uri + "\", response=\"" + response + "\"\r\n";
}

Options fastOptions() {
  Options options;
  options.framesPerSecond = 50;
  return options;
}

// DESCRIBE, SETUP of each track the SDP offers (video on 0-1, audio on 2-3) and PLAY, the way
// the viewer does it. Returns the SDP.
std::string startPlaying(RtspClient& client, const std::string& path) {
  const std::string base = client.url() + path;
  const Response described = client.ask("DESCRIBE", base);
  EXPECT_EQ(described.status, 200) << described.head;
  std::string session;
  int channel = 0;
  for (const char* media : {"m=video", "m=audio"}) {
    const std::size_t at = described.body.find(media);
    if (at == std::string::npos) continue;
    const std::size_t control = described.body.find("a=control:", at);
    const std::string track =
        described.body.substr(control + 10, described.body.find("\r\n", control) - control - 10);
    const Response setUp =
        client.ask("SETUP", base + "/" + track,
                   "Transport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(channel) + "-" +
                       std::to_string(channel + 1) + "\r\n" + session);
    EXPECT_EQ(setUp.status, 200) << setUp.head;
    EXPECT_NE(setUp.header("Transport").find("interleaved=" + std::to_string(channel) + "-"),
              std::string::npos);
    session = "Session: " + setUp.header("Session") + "\r\n";
    channel += 2;
  }
  EXPECT_EQ(client.ask("PLAY", base, "Range: npt=0\r\n" + session).status, 200);
  return described.body;
}

struct Capture {
  std::vector<std::vector<RtpPacket>> frames;  // video packets grouped up to the marker
  std::vector<RtpPacket> audio;
};

Capture capture(RtspClient& client, std::size_t frameCount) {
  Capture c;
  std::vector<RtpPacket> open;
  while (c.frames.size() < frameCount) {
    auto packet = client.readPacket();
    if (!packet) {
      ADD_FAILURE() << "stream ended";
      break;
    }
    if (packet->channel == 2) {
      c.audio.push_back(*packet);
      continue;
    }
    EXPECT_EQ(packet->channel, 0);
    const bool marker = packet->marker;
    open.push_back(std::move(*packet));
    if (marker) c.frames.push_back(std::move(open)), open.clear();
  }
  return c;
}

// How many pictures libavcodec makes of the access units, and the size of the last.
struct Decoded {
  int pictures = 0;
  int width = 0;
  int height = 0;
};

Decoded decode(AVCodecID id, const std::vector<std::string>& units) {
  Decoded result;
  const AVCodec* codec = avcodec_find_decoder(id);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  context->err_recognition = AV_EF_EXPLODE;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return result;
  const auto drain = [&] {
    while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
      ++result.pictures;
      result.width = frame->width;
      result.height = frame->height;
    }
  };
  for (const std::string& unit : units) {
    av_new_packet(packet.get(), static_cast<int>(unit.size()));
    std::copy(unit.begin(), unit.end(), packet->data);
    if (avcodec_send_packet(context.get(), packet.get()) < 0) ADD_FAILURE() << "decode error";
    av_packet_unref(packet.get());
    drain();
  }
  avcodec_send_packet(context.get(), nullptr);
  drain();
  return result;
}

constexpr std::string_view kStartCode("\x00\x00\x00\x01", 4);

// One access unit from its RTP packets (RFC 6184 single NAL units and FU-A), every NAL unit
// behind a start code, as the viewer rebuilds it.
std::string accessUnit(const std::vector<RtpPacket>& frame, bool& sawFragments) {
  std::string unit;
  bool inFragment = false;
  for (const RtpPacket& p : frame) {
    EXPECT_EQ(p.payloadType, 96);
    EXPECT_EQ(p.timestamp, frame.front().timestamp);
    if (p.payload.size() < 2) {
      ADD_FAILURE() << "short payload";
      continue;
    }
    const int type = p.payload[0] & 0x1f;
    EXPECT_TRUE(type == 28 || (type >= 1 && type <= 23)) << type;
    if (type != 28) {
      EXPECT_FALSE(inFragment);
      unit += std::string(kStartCode) + p.payload;
      continue;
    }
    sawFragments = true;
    const bool start = (p.payload[1] & 0x80) != 0;
    const bool end = (p.payload[1] & 0x40) != 0;
    EXPECT_EQ(start, !inFragment);
    if (start) {
      unit += std::string(kStartCode);
      unit.push_back(static_cast<char>((p.payload[0] & 0xe0) | (p.payload[1] & 0x1f)));
    }
    unit += p.payload.substr(2);
    inFragment = !end;
  }
  EXPECT_FALSE(inFragment);
  return unit;
}

TEST(CamsimRtsp, DescribeChecksCredentialsAndGivesAShortSdpPerPath) {
  const struct {
    AuthMode auth;
    std::string path;
    bool audio;
    std::vector<std::string> lines;
  } cases[] = {
      {AuthMode::Digest,
       "h264.sdp",
       true,
       {"m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 H264/90000\r\n", "packetization-mode=1",
        "m=audio 0 RTP/AVP 8\r\n", "a=rtpmap:8 PCMA/8000\r\n"}},
      {AuthMode::Basic,
       "mpeg4.sdp",
       false,
       {"m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 MP4V-ES/90000\r\n", ";config=000001b0"}},
      {AuthMode::None, "mjpeg.sdp", true, {"m=video 0 RTP/AVP 26\r\n", "m=audio 0 RTP/AVP 8\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Options options;
    options.auth = c.auth;
    options.rtspAudio = c.audio;
    Server camera(options);
    ASSERT_TRUE(camera.start()) << camera.lastError();
    ASSERT_NE(camera.rtspPort(), 0);
    RtspClient client(camera.rtspPort());
    ASSERT_TRUE(client.connected());
    const std::string url = client.url() + c.path;

    EXPECT_EQ(client.ask("DESCRIBE", client.url() + "no-such.sdp").status, 404);
    Response r = client.ask("DESCRIBE", url);
    if (c.auth != AuthMode::None) {
      EXPECT_EQ(r.status, 401);
      EXPECT_EQ(r.header("Content-Length"), "");  // else the viewer would wait for an SDP
      const std::string challenge = r.header("WWW-Authenticate");
      const std::string credentials =
          c.auth == AuthMode::Basic ? "Authorization: Basic YWRtaW46YWRtaW4=\r\n"  // admin:admin
                                    : digestFor(options, challenge, "DESCRIBE", url);
      EXPECT_EQ(client.ask("DESCRIBE", url, "Authorization: Basic d3Jvbmc6d3Jvbmc=\r\n").status,
                401);
      r = client.ask("DESCRIBE", url, credentials);
    }
    ASSERT_EQ(r.status, 200) << r.head;
    EXPECT_EQ(r.header("Content-Type"), "application/sdp");
    EXPECT_LE(r.body.size(), 512u);
    EXPECT_EQ(r.body.substr(0, 5), "v=0\r\n");
    for (const auto& line : c.lines) EXPECT_NE(r.body.find(line), std::string::npos) << line;
    EXPECT_EQ(r.body.find("m=audio") != std::string::npos, c.audio);
    EXPECT_NE(r.body.find("m=video"), std::string::npos);
    EXPECT_NE(r.body.find("a=control:", r.body.find("m=video")), std::string::npos);
    if (c.path == "h264.sdp") {
      // The viewer reads the PPS up to the next white space: nothing may follow it.
      const std::size_t sprop = r.body.find("sprop-parameter-sets=");
      ASSERT_NE(sprop, std::string::npos);
      const std::string value = r.body.substr(sprop + 21, r.body.find("\r\n", sprop) - sprop - 21);
      const std::size_t comma = value.find(',');
      ASSERT_NE(comma, std::string::npos);
      const auto sps = base64Decode(value.substr(0, comma));
      const auto pps = base64Decode(value.substr(comma + 1));
      ASSERT_TRUE(sps && pps) << value;
      EXPECT_EQ((*sps)[0] & 0x1f, 7);
      EXPECT_EQ((*pps)[0] & 0x1f, 8);
    }
  }
}

TEST(CamsimRtsp, BusyCameraTurnsDescribeAwayWithNotAcceptable) {
  Options options;
  options.streamBusy = StreamBusy::NotAcceptable;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  RtspClient client(camera.rtspPort());
  const Response r = client.ask("DESCRIBE", client.url() + "h264.sdp");
  EXPECT_EQ(r.status, 406);
  EXPECT_NE(r.head.find("Not Acceptable"), std::string::npos);
}

TEST(CamsimRtsp, ParameterPagesAnnounceThePortListenedOn) {
  Server camera;
  ASSERT_TRUE(camera.start());
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(camera.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string request =
      "GET /camera-cgi/admin/param.cgi?action=list&group=Network.RTSP HTTP/1.0\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  std::array<char, 4096> chunk{};
  for (ssize_t got; (got = ::recv(fd, chunk.data(), chunk.size(), 0)) > 0;)
    all.append(chunk.data(), static_cast<std::size_t>(got));
  ::close(fd);
  EXPECT_NE(all.find("Network.RTSP.Port=" + std::to_string(camera.rtspPort()) + "\n"),
            std::string::npos)
      << all;
}

TEST(CamsimRtsp, H264PacketsRebuildIntoPicturesTheDecoderTakes) {
  Server camera(fastOptions());
  ASSERT_TRUE(camera.start());
  RtspClient client(camera.rtspPort());
  const std::string sdp = startPlaying(client, "h264.sdp");
  ASSERT_NE(sdp.find("sprop-parameter-sets="), std::string::npos) << sdp;
  const Capture c = capture(client, 6);

  const std::size_t sprop = sdp.find("sprop-parameter-sets=") + 21;
  const std::string value = sdp.substr(sprop, sdp.find("\r\n", sprop) - sprop);
  // The parameter sets from the SDP go in front of the first access unit, as the viewer does it.
  const std::string parameterSets =
      std::string(kStartCode) + *base64Decode(value.substr(0, value.find(','))) +
      std::string(kStartCode) + *base64Decode(value.substr(value.find(',') + 1));
  std::vector<std::string> units;
  bool sawFragments = false;
  for (const auto& frame : c.frames) {
    const std::string unit = accessUnit(frame, sawFragments);
    units.push_back(units.empty() ? parameterSets + unit : unit);
  }
  EXPECT_TRUE(sawFragments);
  const Decoded decoded = decode(AV_CODEC_ID_H264, units);
  EXPECT_EQ(decoded.pictures, 6);
  EXPECT_EQ(decoded.width, 320);
  EXPECT_EQ(decoded.height, 240);

  ASSERT_FALSE(c.audio.empty());
  for (const RtpPacket& p : c.audio) {
    EXPECT_EQ(p.payloadType, 8);
    EXPECT_EQ(p.payload.size(), 160u);
    EXPECT_FALSE(p.padded);
  }
  for (std::size_t i = 1; i < c.audio.size(); ++i) {
    EXPECT_EQ(static_cast<std::uint16_t>(c.audio[i].sequence - c.audio[i - 1].sequence), 1);
    EXPECT_EQ(c.audio[i].timestamp - c.audio[i - 1].timestamp, 160u);
  }
}

// With the parameter sets in band, each IDR access unit begins with SPS, PPS and an SEI, each
// a single NAL unit packet of its own with the access unit's timestamp, and only the access
// unit's last packet carries the marker. A decoder then starts without the SDP.
TEST(CamsimRtsp, H264ParameterSetsInBandGoAheadOfEachIdrInPacketsOfTheirOwn) {
  const std::vector<std::string_view> arguments = {"--rtsp-parameter-sets", "in-band"};
  const CommandLine parsed = parseCommandLine(arguments);
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.rtspInBandParameterSets);
  const std::vector<std::string_view> bad = {"--rtsp-parameter-sets=sometimes"};
  EXPECT_NE(parseCommandLine(bad).error, "");

  Options options = fastOptions();
  options.rtspAudio = false;
  options.rtspInBandParameterSets = true;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  RtspClient client(camera.rtspPort());
  const std::string sdp = startPlaying(client, "h264.sdp");
  const std::size_t sprop = sdp.find("sprop-parameter-sets=") + 21;
  const std::string value = sdp.substr(sprop, sdp.find("\r\n", sprop) - sprop);
  const auto sps = base64Decode(value.substr(0, value.find(',')));
  const auto pps = base64Decode(value.substr(value.find(',') + 1));
  ASSERT_TRUE(sps && pps);

  // Two cycles' first frames are key frames.
  const Capture c = capture(client, RtspServer::kVideoCycle + 1);
  std::vector<std::string> units;
  bool sawFragments = false;
  for (std::size_t i = 0; i < c.frames.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& frame = c.frames[i];
    for (std::size_t p = 0; p + 1 < frame.size(); ++p) EXPECT_FALSE(frame[p].marker);
    const bool key = i % RtspServer::kVideoCycle == 0;
    if (key) {
      ASSERT_GE(frame.size(), 4u);
      EXPECT_EQ(frame[0].payload, *sps);
      EXPECT_EQ(frame[1].payload, *pps);
      EXPECT_EQ(frame[2].payload[0] & 0x1f, 6) << "SEI";
      const int idr = frame[3].payload[0] & 0x1f;
      EXPECT_EQ(idr == 28 ? frame[3].payload[1] & 0x1f : idr, 5) << "IDR slice";
    } else {
      EXPECT_NE(frame[0].payload[0] & 0x1f, 7) << "parameter sets only before an IDR";
    }
    units.push_back(accessUnit(frame, sawFragments));
  }
  const Decoded decoded = decode(AV_CODEC_ID_H264, units);
  EXPECT_EQ(decoded.pictures, static_cast<int>(units.size()));
  EXPECT_EQ(decoded.width, 320);
}

TEST(CamsimRtsp, Mpeg4FramesStartWithAStartCodeAndDecode) {
  Options options = fastOptions();
  options.rtspAudio = false;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  RtspClient client(camera.rtspPort());
  startPlaying(client, "mpeg4.sdp");
  const Capture c = capture(client, 4);
  std::vector<std::string> frames;
  for (const auto& frame : c.frames) {
    std::string data;
    for (const RtpPacket& p : frame) {
      EXPECT_EQ(p.payloadType, 96);
      data += p.payload;
    }
    EXPECT_EQ(data.substr(0, 3), std::string("\x00\x00\x01", 3));
    frames.push_back(data);
  }
  EXPECT_TRUE(c.audio.empty());
  const Decoded decoded = decode(AV_CODEC_ID_MPEG4, frames);
  EXPECT_EQ(decoded.pictures, 4);
  EXPECT_EQ(decoded.width, 320);
}

TEST(CamsimRtsp, JpegPacketsCarryTheRfc2435HeaderTablesAndADecodableScan) {
  Options options = fastOptions();
  options.rtspWidth = 352;
  options.rtspHeight = 288;
  options.rtspMotionEvery = 2;
  Server camera(options);
  ASSERT_TRUE(camera.start());
  RtspClient client(camera.rtspPort());
  startPlaying(client, "mjpeg.sdp");
  const Capture c = capture(client, 4);

  // TurboJPEG at the same quality writes the same tables and the standard Huffman tables: its
  // header in front of the gathered scan must give the picture.
  std::vector<unsigned char> rgb(352 * 288 * 3, 128);
  const std::unique_ptr<void, int (*)(void*)> compressor(tjInitCompress(), tjDestroy);
  unsigned char* reference = nullptr;
  unsigned long referenceSize = 0;
  ASSERT_EQ(tjCompress2(compressor.get(), rgb.data(), 352, 0, 288, TJPF_RGB, &reference,
                        &referenceSize, TJSAMP_420, kRtspJpegQuality, 0),
            0);
  const std::string referenceJpeg(reinterpret_cast<const char*>(reference), referenceSize);
  tjFree(reference);
  std::array<unsigned char, 128> tables{};
  std::string referenceScan;
  ASSERT_TRUE(splitJpeg(referenceJpeg, tables, referenceScan));
  const std::string header =
      referenceJpeg.substr(0, referenceJpeg.size() - referenceScan.size() - 2);

  for (std::size_t f = 0; f < c.frames.size(); ++f) {
    SCOPED_TRACE(f);
    std::string scan;
    for (std::size_t i = 0; i < c.frames[f].size(); ++i) {
      const RtpPacket& p = c.frames[f][i];
      EXPECT_EQ(p.payloadType, 26);
      ASSERT_GE(p.payload.size(), 8u);
      const auto at = [&](std::size_t k) { return static_cast<unsigned char>(p.payload[k]); };
      EXPECT_EQ(std::size_t{at(1)} << 16 | std::size_t{at(2)} << 8 | at(3), scan.size());
      EXPECT_EQ(at(4), 1);    // 4:2:0
      EXPECT_EQ(at(5), 255);  // tables in band
      EXPECT_EQ(at(6), 352 / 8);
      EXPECT_EQ(at(7), 288 / 8);
      std::size_t data = 8;
      if (i == 0) {
        ASSERT_GE(p.payload.size(), 8u + 4 + 128);
        EXPECT_EQ(p.payload.substr(8, 4), std::string("\x00\x00\x00\x80", 4));
        EXPECT_EQ(p.payload.substr(12, 128),
                  std::string(reinterpret_cast<const char*>(tables.data()), 128));
        data += 4 + 128;
      }
      scan += p.payload.substr(data);
      // The motion mark rides in the padding of every second frame's last packet only.
      const bool marked = p.marker && f % 2 == 1;
      EXPECT_EQ(p.padded, marked);
      if (marked) {
        EXPECT_EQ(p.padding, std::string("\x01\x02", 2));
      }
    }
    const std::string jpeg = header + scan + "\xff\xd9";
    const std::unique_ptr<void, int (*)(void*)> decompressor(tjInitDecompress(), tjDestroy);
    std::vector<unsigned char> out(352 * 288 * 3);
    EXPECT_EQ(tjDecompress2(decompressor.get(), reinterpret_cast<const unsigned char*>(jpeg.data()),
                            jpeg.size(), out.data(), 352, 0, 288, TJPF_RGB, 0),
              0)
        << tjGetErrorStr2(decompressor.get());
  }
  for (const RtpPacket& p : c.audio) EXPECT_FALSE(p.padded);
}

TEST(CamsimRtsp, TeardownEndsTheStreamAndStopIsPromptWithASessionOpen) {
  Server camera(fastOptions());
  ASSERT_TRUE(camera.start());
  {
    RtspClient client(camera.rtspPort());
    startPlaying(client, "mjpeg.sdp");
    ASSERT_TRUE(client.readPacket());
    EXPECT_EQ(camera.playingRtspSessions(), 1u);
    EXPECT_EQ(client.ask("TEARDOWN", client.url() + "mjpeg.sdp", "Session: wrong\r\n").status, 454);
    EXPECT_EQ(camera.playingRtspSessions(), 1u);
  }
  // A viewer that hangs up ends its session too, once its connection's thread sees the close.
  EXPECT_TRUE(waitFor([&] { return camera.playingRtspSessions() == 0; }));

  RtspClient client(camera.rtspPort());
  const std::string sdp = startPlaying(client, "h264.sdp");
  ASSERT_TRUE(client.readPacket());
  // The session id is what SETUP gave; PLAY answered with it.
  const std::vector<RequestRecord> log = camera.requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().method, "PLAY");
  std::string session;
  for (const auto& [name, value] : log.back().headers) {
    if (name == "Session") session = value;
  }
  const Response down =
      client.ask("TEARDOWN", client.url() + "h264.sdp", "Session: " + session + "\r\n");
  EXPECT_EQ(down.status, 200) << down.head;
  EXPECT_EQ(camera.playingRtspSessions(), 0u) << "the session ends before TEARDOWN is answered";
  EXPECT_TRUE(client.silentFor(300ms));

  // Stop with one connection streaming and one idle (the torn-down one): a stop that did not
  // reach their waits would sit out the 10 s send time-out or the idle minute.
  RtspClient playing(camera.rtspPort());
  startPlaying(playing, "mpeg4.sdp");
  ASSERT_TRUE(playing.readPacket());
  const auto before = Clock::now();
  camera.stop();
  EXPECT_LT(Clock::now() - before, 5s);
  EXPECT_TRUE(playing.closedWithin(kAnswerLimit));
  EXPECT_TRUE(client.closedWithin(kAnswerLimit));
}

}  // namespace
}  // namespace ipcam::camsim
