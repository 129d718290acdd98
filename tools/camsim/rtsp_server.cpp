#include "tools/camsim/rtsp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/base64.h"

namespace ipcam::camsim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxRequestBytes = 8 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024;
constexpr auto kIoTimeout = 10s;
constexpr auto kIdleTimeout = 60s;  // the session timeout announced with every Session header
constexpr std::uint8_t kVideoDynamicType = 96;
constexpr std::uint8_t kJpegType = 26;
constexpr std::uint8_t kAlawType = 8;
constexpr int kIdrSliceType = 5;  // H.264 NAL unit type of an IDR picture's slices
constexpr std::string_view kVideoTrack = "trackID=1";
constexpr std::string_view kAudioTrack = "trackID=2";

bool equalsNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string hex(std::string_view bytes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out.push_back(digits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(digits[static_cast<unsigned char>(c) & 15]);
  }
  return out;
}

void putBe16(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value >> 8 & 0xff));
  out.push_back(static_cast<char>(value & 0xff));
}

void putBe32(std::string& out, std::uint32_t value) {
  putBe16(out, value >> 16);
  putBe16(out, value & 0xffff);
}

struct Request {
  std::string method;
  std::string uri;
  HeaderList headers;
  std::string cseq;
};

// The path of an RTSP URL ("rtsp://host:port/path" or "/path"), without the leading slash.
std::optional<std::string_view> urlPath(std::string_view uri) {
  constexpr std::string_view kScheme = "rtsp://";
  if (uri.size() >= kScheme.size() && equalsNoCase(uri.substr(0, kScheme.size()), kScheme)) {
    uri.remove_prefix(kScheme.size());
    const std::size_t slash = uri.find('/');
    if (slash == std::string_view::npos) return std::string_view();
    uri.remove_prefix(slash);
  }
  if (uri.empty() || uri.front() != '/') return std::nullopt;
  uri.remove_prefix(1);
  return uri;
}

struct Stream {
  RtspCodec codec;
  std::string_view track;  // empty for the aggregate URL
};

// Which configured stream a URL names, and which of its tracks.
std::optional<Stream> resolve(std::string_view uri, const Options& options) {
  const auto path = urlPath(uri);
  if (!path) return std::nullopt;
  const std::pair<const std::string*, RtspCodec> paths[] = {
      {&options.rtspMpeg4Path, RtspCodec::Mpeg4},
      {&options.rtspH264Path, RtspCodec::H264},
      {&options.rtspMjpegPath, RtspCodec::Jpeg}};
  for (const auto& [configured, codec] : paths) {
    std::string_view rest = *path;
    if (configured->empty() || rest.substr(0, configured->size()) != *configured) continue;
    rest.remove_prefix(configured->size());
    if (rest.empty() || rest == "/") return Stream{codec, {}};
    if (rest.front() == '/') return Stream{codec, rest.substr(1)};
  }
  return std::nullopt;
}

std::string sdpFor(const EncodedVideo& video, bool audio) {
  std::string sdp =
      "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=camsim\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
      "a=control:*\r\n";
  switch (video.codec) {
    case RtspCodec::H264:
      // sprop-parameter-sets last: some receivers take everything after the comma as the PPS.
      sdp += "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;" +
             std::string("profile-level-id=") + hex(video.sps.substr(1, 3), true) +
             ";sprop-parameter-sets=" + base64Encode(video.sps) + "," + base64Encode(video.pps) +
             "\r\n";
      break;
    case RtspCodec::Mpeg4:
      sdp += "m=video 0 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 profile-level-id=" +
             std::to_string(video.mpeg4ProfileLevel) + ";config=" + hex(video.config, false) +
             "\r\n";
      break;
    case RtspCodec::Jpeg:
      sdp += "m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\n";
      break;
  }
  sdp += "a=control:" + std::string(kVideoTrack) + "\r\n";
  if (audio) {
    sdp += "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:" + std::string(kAudioTrack) +
           "\r\n";
  }
  return sdp;
}

const char* reasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 406:
      return "Not Acceptable";
    case 454:
      return "Session Not Found";
    case 455:
      return "Method Not Valid in This State";
    case 459:
      return "Aggregate Operation Not Allowed";
    case 461:
      return "Unsupported Transport";
    case 501:
      return "Not Implemented";
    case 505:
      return "RTSP Version Not Supported";
    default:
      return "Internal Server Error";
  }
}

}  // namespace

// One client connection: its requests, its session and, once playing, its RTP.
class RtspConnection {
 public:
  RtspConnection(RtspServer& server, int fd) : server_(server), fd_(fd) {
    std::random_device device;
    random_.seed((std::uint64_t{device()} << 32) | device());
  }
  ~RtspConnection() { setPlaying(false); }
  RtspConnection(const RtspConnection&) = delete;
  RtspConnection& operator=(const RtspConnection&) = delete;

  void run();

 private:
  struct Track {
    bool setUp = false;
    int channel = 0;
    std::uint16_t sequence = 0;
    std::uint32_t ssrc = 0;
    std::uint32_t timestampBase = 0;
    std::uint64_t sent = 0;  // frames or audio packets since PLAY
  };

  bool process();  // false when the connection must end
  bool handle(const Request& request);
  bool reply(const Request& request, int status, std::string headers = {},
             std::string_view body = {});
  bool describe(const Request& request, const Options& options);
  bool setup(const Request& request, const Options& options);
  bool play(const Request& request, const Options& options);
  bool sessionMatches(const Request& request) const;
  bool sendAll(std::string_view bytes);
  bool sendVideoFrame();
  bool sendAudioPacket();
  void addPacket(std::string& out, Track& track, std::uint8_t payloadType, bool marker,
                 std::uint32_t timestamp, std::string_view payload, bool motion);
  void setPlaying(bool playing);

  RtspServer& server_;
  int fd_;
  std::mt19937_64 random_;
  std::string input_;
  bool loggedIn_ = false;  // a DESCRIBE on this connection passed the credential check
  std::string session_;    // empty while no SETUP made one
  std::optional<RtspCodec> codec_;
  std::shared_ptr<const EncodedVideo> video_;
  Track videoTrack_;
  Track audioTrack_;
  bool playing_ = false;
  Options playOptions_;  // taken by PLAY: the rate, tone and motion marks of the stream
  std::optional<AlawTone> tone_;
  Clock::time_point nextVideo_;
  Clock::time_point nextAudio_;
};

void RtspConnection::setPlaying(bool playing) {
  if (playing == playing_) return;
  playing_ = playing;
  if (playing) {
    server_.playing_.fetch_add(1);
  } else {
    server_.playing_.fetch_sub(1);
  }
}

bool RtspConnection::sendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    std::array<pollfd, 2> fds{{{fd_, POLLOUT, 0}, {server_.stop_.fd(), POLLIN, 0}}};
    const int count = ::poll(fds.data(), fds.size(),
                             static_cast<int>(std::chrono::milliseconds(kIoTimeout).count()));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0 || fds[1].revents != 0) return false;
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

void RtspConnection::run() {
  std::array<char, 4096> chunk{};
  auto lastInput = Clock::now();
  for (;;) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kIdleTimeout);
    const auto now = Clock::now();
    if (playing_) {
      auto due = nextVideo_;
      if (audioTrack_.setUp && tone_) due = std::min(due, nextAudio_);
      wait = std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(due - now));
    }
    std::array<pollfd, 2> fds{{{fd_, POLLIN, 0}, {server_.stop_.fd(), POLLIN, 0}}};
    const int count = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (count < 0 && errno != EINTR) return;
    if (server_.stop_.raised()) return;
    if (count > 0 && fds[0].revents != 0) {
      const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
      if (got <= 0) return;
      input_.append(chunk.data(), static_cast<std::size_t>(got));
      lastInput = Clock::now();
      if (!process()) return;
    } else if (!playing_ && Clock::now() - lastInput >= kIdleTimeout) {
      return;  // a session nobody keeps alive
    }
    if (!playing_) continue;
    const auto current = Clock::now();
    if (current >= nextVideo_ && !sendVideoFrame()) return;
    if (audioTrack_.setUp && tone_ && current >= nextAudio_ && !sendAudioPacket()) return;
  }
}

// Takes every complete request, and every interleaved packet the client sends (its RTCP), off
// the input.
bool RtspConnection::process() {
  while (!input_.empty()) {
    if (input_.front() == '$') {
      if (input_.size() < 4) return true;
      const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(input_[2]))
                                     << 8 |
                                 static_cast<unsigned char>(input_[3]);
      if (input_.size() < 4 + length) return true;
      input_.erase(0, 4 + length);
      continue;
    }
    const std::size_t headEnd = input_.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
      if (input_.size() <= kMaxRequestBytes) return true;
      reply({}, 400);
      return false;
    }
    Request request;
    std::string_view head = std::string_view(input_).substr(0, headEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    bool malformed = second == std::string_view::npos;
    std::string_view version;
    if (!malformed) {
      request.method = line.substr(0, first);
      request.uri = line.substr(first + 1, second - first - 1);
      version = line.substr(second + 1);
    }
    std::size_t bodyLength = 0;
    while (!malformed && !head.empty()) {
      lineEnd = head.find("\r\n");
      const std::string_view header = head.substr(0, lineEnd);
      head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
      const std::size_t colon = header.find(':');
      if (colon == std::string_view::npos || colon == 0 || request.headers.size() >= 100) {
        malformed = true;
        break;
      }
      request.headers.emplace_back(trim(header.substr(0, colon)), trim(header.substr(colon + 1)));
    }
    if (const auto cseq = findHeader(request.headers, "CSeq")) request.cseq = *cseq;
    if (const auto length = findHeader(request.headers, "Content-Length")) {
      const auto [end, error] =
          std::from_chars(length->data(), length->data() + length->size(), bodyLength);
      if (error != std::errc() || end != length->data() + length->size() ||
          bodyLength > kMaxBodyBytes)
        malformed = true;
    }
    if (malformed || request.cseq.empty()) {
      reply(request, 400);
      return false;  // no telling where the next request would start
    }
    if (input_.size() < headEnd + 4 + bodyLength) return true;
    input_.erase(0, headEnd + 4 + bodyLength);
    if (server_.log_) server_.log_({request.method, request.uri, request.headers});
    if (version != "RTSP/1.0") {
      if (!reply(request, 505)) return false;
      continue;
    }
    if (!handle(request)) return false;
  }
  return true;
}

bool RtspConnection::reply(const Request& request, int status, std::string headers,
                           std::string_view body) {
  std::string text = "RTSP/1.0 " + std::to_string(status) + " " + reasonFor(status) + "\r\n";
  if (!request.cseq.empty()) text += "CSeq: " + request.cseq + "\r\n";
  text += headers;
  // Answers without a body carry no Content-Length: the viewer takes that line in a DESCRIBE
  // answer as the sign that an SDP follows.
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "\r\n";
  text += body;
  return sendAll(text);
}

bool RtspConnection::sessionMatches(const Request& request) const {
  const auto header = findHeader(request.headers, "Session");
  if (!header || session_.empty()) return false;
  return trim(header->substr(0, header->find(';'))) == session_;
}

bool RtspConnection::handle(const Request& request) {
  const Options options = server_.options_();
  const std::string& method = request.method;
  if (method == "OPTIONS") {
    return reply(request, 200,
                 "Public: OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, "
                 "GET_PARAMETER\r\n");
  }
  if (method == "DESCRIBE") return describe(request, options);
  if (method == "SETUP") return setup(request, options);
  if (method == "PLAY") return play(request, options);
  if (method == "PAUSE" || method == "TEARDOWN" || method == "GET_PARAMETER") {
    if (!sessionMatches(request)) return reply(request, 454);
    if (method == "PAUSE") {
      setPlaying(false);
    } else if (method == "TEARDOWN") {
      setPlaying(false);
      session_.clear();
      videoTrack_ = {};
      audioTrack_ = {};
      codec_.reset();
      return reply(request, 200);
    }
    return reply(request, 200, "Session: " + session_ + "\r\n");
  }
  return reply(request, 501);
}

bool RtspConnection::describe(const Request& request, const Options& options) {
  const auto stream = resolve(request.uri, options);
  if (!stream || !stream->track.empty()) return reply(request, 404);
  if (options.streamBusy == StreamBusy::NotAcceptable) return reply(request, 406);
  const Account account{options.user, options.password, options.realm};
  HttpRequest asHttp;
  asHttp.method = request.method;
  asHttp.target = request.uri;
  asHttp.path = request.uri;
  asHttp.headers = request.headers;
  const auto verdict = server_.authenticator_.check(options.auth, account, asHttp);
  if (verdict != Authenticator::Verdict::Accepted) {
    return reply(request, 401,
                 "WWW-Authenticate: " +
                     server_.authenticator_.challenge(options.auth, account,
                                                      verdict == Authenticator::Verdict::Stale) +
                     "\r\n");
  }
  loggedIn_ = true;
  const auto video = server_.video(stream->codec, options.rtspWidth, options.rtspHeight);
  if (!video) return reply(request, 500);
  const std::string sdp = sdpFor(*video, options.rtspAudio);
  if (sdp.size() > RtspServer::kMaxSdp) return reply(request, 500);
  std::string base = request.uri;
  if (base.back() != '/') base.push_back('/');
  return reply(request, 200, "Content-Base: " + base + "\r\nContent-Type: application/sdp\r\n",
               sdp);
}

bool RtspConnection::setup(const Request& request, const Options& options) {
  if (options.auth != AuthMode::None && !loggedIn_) return reply(request, 401);
  const auto stream = resolve(request.uri, options);
  const bool audio = stream && stream->track == kAudioTrack && options.rtspAudio;
  if (!stream || (stream->track != kVideoTrack && !audio)) return reply(request, 404);
  if (findHeader(request.headers, "Session") && !sessionMatches(request))
    return reply(request, 454);
  if (codec_ && *codec_ != stream->codec) return reply(request, 459);
  if (playing_) return reply(request, 455);

  // The first TCP transport the client offers; only interleaved RTP is served.
  const std::string_view offers = findHeader(request.headers, "Transport").value_or("");
  std::optional<std::string_view> chosen;
  for (std::string_view rest = offers; !rest.empty();) {
    const std::size_t comma = rest.find(',');
    const std::string_view offer = trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (offer.substr(0, 11) == "RTP/AVP/TCP") {
      chosen = offer;
      break;
    }
  }
  if (!chosen) return reply(request, 461);
  Track& track = audio ? audioTrack_ : videoTrack_;
  const Track& other = audio ? videoTrack_ : audioTrack_;
  int channel = other.setUp ? other.channel + 2 : 0;
  if (const std::size_t at = chosen->find("interleaved="); at != std::string_view::npos) {
    const std::string_view value = chosen->substr(at + 12);
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), channel);
    if (error != std::errc() || channel < 0 || channel > 254) return reply(request, 461);
    (void)end;
  }
  if (other.setUp &&
      (channel == other.channel || channel == other.channel + 1 || channel + 1 == other.channel))
    return reply(request, 461);

  if (!video_ || !codec_) {
    video_ = server_.video(stream->codec, options.rtspWidth, options.rtspHeight);
    if (!video_) return reply(request, 500);
  }
  codec_ = stream->codec;
  if (session_.empty()) {
    char id[17];
    std::snprintf(id, sizeof id, "%016llX", static_cast<unsigned long long>(random_()));
    session_ = id;
  }
  track.setUp = true;
  track.channel = channel;
  track.sequence = static_cast<std::uint16_t>(random_());
  track.ssrc = static_cast<std::uint32_t>(random_());
  track.timestampBase = static_cast<std::uint32_t>(random_());
  char ssrc[9];
  std::snprintf(ssrc, sizeof ssrc, "%08X", track.ssrc);
  // Session goes last: the viewer repeats every header line from Session on in later requests.
  return reply(request, 200,
               "Transport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(channel) + "-" +
                   std::to_string(channel + 1) + ";ssrc=" + ssrc + "\r\nSession: " + session_ +
                   ";timeout=" + std::to_string(kIdleTimeout.count()) + "\r\n");
}

bool RtspConnection::play(const Request& request, const Options& options) {
  if (!sessionMatches(request)) return reply(request, 454);
  if (!videoTrack_.setUp && !audioTrack_.setUp) return reply(request, 455);
  std::string base = request.uri;
  if (base.back() != '/') base.push_back('/');
  std::string info;
  for (const auto& [track, name] :
       {std::pair<const Track*, std::string_view>{&videoTrack_, kVideoTrack},
        {&audioTrack_, kAudioTrack}}) {
    if (!track->setUp) continue;
    if (!info.empty()) info += ",";
    info += "url=" + base + std::string(name) + ";seq=" + std::to_string(track->sequence) +
            ";rtptime=" + std::to_string(track->timestampBase);
  }
  if (!reply(request, 200,
             "Range: npt=0.000-\r\nRTP-Info: " + info + "\r\nSession: " + session_ + "\r\n"))
    return false;
  if (!playing_) {
    playOptions_ = options;
    tone_.emplace(options.toneHertz);
    videoTrack_.sent = 0;
    audioTrack_.sent = 0;
    nextVideo_ = nextAudio_ = Clock::now();
    setPlaying(true);
  }
  return true;
}

void RtspConnection::addPacket(std::string& out, Track& track, std::uint8_t payloadType,
                               bool marker, std::uint32_t timestamp, std::string_view payload,
                               bool motion) {
  const std::size_t rtpLength = 12 + payload.size() + (motion ? 2 : 0);
  out.push_back('$');
  out.push_back(static_cast<char>(track.channel));
  putBe16(out, static_cast<std::uint32_t>(rtpLength));
  out.push_back(static_cast<char>(motion ? 0xa0 : 0x80));  // version 2, padding when marked
  out.push_back(static_cast<char>((marker ? 0x80 : 0) | payloadType));
  putBe16(out, track.sequence++);
  putBe32(out, timestamp);
  putBe32(out, track.ssrc);
  out += payload;
  // Two bytes of padding: the motion mark, then the padding count itself.
  if (motion) out += std::string_view("\x01\x02", 2);
}

bool RtspConnection::sendVideoFrame() {
  const std::uint32_t fps = std::max<std::uint32_t>(1, playOptions_.framesPerSecond);
  const auto period = std::chrono::duration_cast<Clock::duration>(1s) / fps;
  nextVideo_ += period;
  if (Clock::now() - nextVideo_ > period) nextVideo_ = Clock::now() + period;  // a slow reader
  if (!videoTrack_.setUp) return true;

  const std::uint64_t number = videoTrack_.sent++;
  const auto& frame = video_->frames[number % video_->frames.size()];
  const auto timestamp =
      static_cast<std::uint32_t>(videoTrack_.timestampBase + number * 90000 / fps);
  const std::uint32_t every = playOptions_.rtspMotionEvery;
  const bool motion = every != 0 && (number + 1) % every == 0;
  constexpr std::size_t kMax = RtspServer::kMaxPayload;
  std::string out;
  switch (video_->codec) {
    case RtspCodec::H264:
      // RFC 6184 single NAL unit packets with the access unit's timestamp and no marker: the
      // marker belongs to the last packet of the access unit only.
      if (playOptions_.rtspInBandParameterSets && !frame.empty() && !frame.front().empty() &&
          (frame.front()[0] & 0x1f) == kIdrSliceType) {
        for (const std::string* unit : {&video_->sps, &video_->pps, &video_->sei}) {
          addPacket(out, videoTrack_, kVideoDynamicType, false, timestamp, *unit, false);
        }
      }
      for (std::size_t u = 0; u < frame.size(); ++u) {
        const std::string_view unit = frame[u];
        const bool lastUnit = u + 1 == frame.size();
        if (unit.size() <= kMax) {
          addPacket(out, videoTrack_, kVideoDynamicType, lastUnit, timestamp, unit,
                    lastUnit && motion);
          continue;
        }
        // FU-A (RFC 6184 5.8): the NAL header's F and NRI go into the indicator, its type into
        // the FU header; the header byte itself is not repeated.
        const auto indicator = static_cast<char>((unit[0] & 0xe0) | 28);
        const auto type = static_cast<char>(unit[0] & 0x1f);
        for (std::size_t at = 1; at < unit.size(); at += kMax - 2) {
          const std::string_view piece = unit.substr(at, kMax - 2);
          const bool end = at + piece.size() == unit.size();
          std::string payload{indicator,
                              static_cast<char>(type | (at == 1 ? 0x80 : 0) | (end ? 0x40 : 0))};
          payload += piece;
          addPacket(out, videoTrack_, kVideoDynamicType, lastUnit && end, timestamp, payload,
                    lastUnit && end && motion);
        }
      }
      break;
    case RtspCodec::Mpeg4: {
      const std::string_view data = frame.front();
      for (std::size_t at = 0; at < data.size(); at += kMax) {
        const std::string_view piece = data.substr(at, kMax);
        const bool end = at + piece.size() == data.size();
        addPacket(out, videoTrack_, kVideoDynamicType, end, timestamp, piece, end && motion);
      }
      break;
    }
    case RtspCodec::Jpeg: {
      // RFC 2435: type 1 (4:2:0), Q 255 with the tables in the first packet of each picture.
      const std::string_view scan = frame.front();
      for (std::size_t at = 0; at < scan.size();) {
        std::string payload;
        payload.push_back(0);  // type-specific
        payload.push_back(static_cast<char>(at >> 16 & 0xff));
        putBe16(payload, static_cast<std::uint32_t>(at & 0xffff));
        payload.push_back(1);
        payload.push_back(static_cast<char>(255));
        payload.push_back(static_cast<char>(video_->width / 8));
        payload.push_back(static_cast<char>(video_->height / 8));
        if (at == 0) {
          payload += std::string_view("\x00\x00\x00\x80", 4);  // MBZ, 8-bit precision, 128 bytes
          payload.append(reinterpret_cast<const char*>(video_->jpegTables.data()),
                         video_->jpegTables.size());
        }
        const std::string_view piece = scan.substr(at, kMax - payload.size());
        payload += piece;
        at += piece.size();
        const bool end = at == scan.size();
        addPacket(out, videoTrack_, kJpegType, end, timestamp, payload, end && motion);
      }
      break;
    }
  }
  return sendAll(out);
}

bool RtspConnection::sendAudioPacket() {
  constexpr auto kPeriod = 20ms;
  nextAudio_ += kPeriod;
  if (Clock::now() - nextAudio_ > kPeriod) nextAudio_ = Clock::now() + kPeriod;
  const std::uint64_t number = audioTrack_.sent++;
  const auto timestamp =
      static_cast<std::uint32_t>(audioTrack_.timestampBase + number * AlawTone::kPacketBytes);
  std::string out;
  addPacket(out, audioTrack_, kAlawType, number == 0, timestamp, tone_->nextPacket(), false);
  return sendAll(out);
}

// --- RtspServer --------------------------------------------------------------------------------

RtspServer::RtspServer(OptionsSource options, Authenticator& authenticator, RequestLog log)
    : options_(std::move(options)), authenticator_(authenticator), log_(std::move(log)) {}

RtspServer::~RtspServer() {
  stop();
}

std::string RtspServer::lastError() const {
  return listener_.error();
}

std::shared_ptr<const EncodedVideo> RtspServer::video(RtspCodec codec, std::uint32_t width,
                                                      std::uint32_t height) {
  std::lock_guard lock(videoMutex_);
  auto& slot = videos_[{codec, width, height}];
  if (!slot) slot = encodeVideo(codec, width, height, kVideoCycle);
  return slot;
}

bool RtspServer::start(std::uint16_t port) {
  if (started_.exchange(true)) return false;
  if (!listener_.listen(port, 16, [this](int fd) { serve(fd); })) return false;
  port_.store(listener_.port());
  return listener_.start();
}

void RtspServer::stop() {
  std::lock_guard stopLock(stopMutex_);
  stop_.raise();
  listener_.stop();
}

void RtspServer::serve(int fd) {
  RtspConnection session(*this, fd);
  try {
    session.run();
  } catch (const std::exception&) {
    // an allocation failure ends this connection only
  }
}

}  // namespace ipcam::camsim
