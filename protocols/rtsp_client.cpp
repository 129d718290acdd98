#include "protocols/rtsp_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <optional>

#include "protocols/base64.h"
#include "protocols/stream_context.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kContentLength = "Content-Length:";
constexpr std::string_view kSessionField = "Session:";
constexpr std::string_view kOk = "200 OK";
constexpr std::string_view kUnauthorized = "Unauthorized";
constexpr std::string_view kNotFound = "Not Found";
constexpr std::string_view kNotAcceptable = "Not Acceptable";
constexpr std::string_view kSpropField = "sprop-parameter-sets=";
constexpr std::string_view kControlField = "a=control:";
constexpr std::array<std::uint8_t, 4> kStartCode = {0, 0, 0, 1};

// Interleave header ("$", channel, length) and the RTP fixed header.
constexpr std::size_t kPacketHeaderBytes = 16;
constexpr std::size_t kRtpHeaderBytes = 12;
constexpr std::uint8_t kInterleaveMarker = 0x24;
constexpr std::uint8_t kPayloadPcma = 8;
constexpr std::uint8_t kPayloadJpeg = 26;
constexpr std::uint8_t kPayloadDynamic = 96;
constexpr std::uint8_t kRtpPaddingBit = 0x20;
constexpr std::uint8_t kRtpMarkerBit = 0x80;
constexpr std::uint8_t kNalTypeFuA = 28;
constexpr std::uint8_t kFuStartBit = 0x80;
// RFC 2435: main header, then on a picture's first packet the table header and two tables.
constexpr std::size_t kJpegMainHeaderBytes = 8;
constexpr std::size_t kJpegTableHeaderBytes = 4;
constexpr std::size_t kJpegTableBytes = 64;
// Room in front of a payload: the JPEG header replaces 140 bytes of RFC 2435 headers.
constexpr std::size_t kFrontRoom = 608;

std::uint32_t tickMs() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::string_view limited(std::string_view text, std::size_t limit) {
  return text.substr(0, std::min(text.size(), limit));
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// What was read into a zero-filled answer buffer.
std::string_view answerText(std::span<const std::uint8_t> buffer) {
  const std::string_view all(reinterpret_cast<const char*>(buffer.data()), buffer.size());
  return all.substr(0, all.find('\0'));
}

// The text after the first `separator` (which must not be the first character), as the
// "%*[^x]x" scan prefix skips to it.
std::optional<std::string_view> afterSeparator(std::string_view text, char separator) {
  const std::size_t at = text.find(separator);
  if (at == 0 || at == std::string_view::npos) return std::nullopt;
  return text.substr(at + 1);
}

// "%s": white space skipped, then the word up to the next white space.
std::optional<std::string_view> word(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && isSpace(text[begin])) ++begin;
  std::size_t end = begin;
  while (end < text.size() && !isSpace(text[end])) ++end;
  if (end == begin) return std::nullopt;
  return text.substr(begin, end - begin);
}

// "%d"-like: white space, an optional sign, digits; a value out of range gives nothing.
template <typename Number>
std::optional<Number> number(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && isSpace(text[begin])) ++begin;
  text.remove_prefix(begin);
  if (text.starts_with('+')) text.remove_prefix(1);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc()) return std::nullopt;
  return value;
}

enum class IoResult { Done, Closed, Failed };

IoResult receiveExactly(int fd, std::span<std::uint8_t> buffer, const HttpRunFlag* runFlag) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t received = ::recv(fd, buffer.data() + done, buffer.size() - done,
                                    runFlag != nullptr ? MSG_DONTWAIT : 0);
    if (received == 0) return IoResult::Closed;
    if (received < 0) {
      if (errno == EINTR) continue;
      if (runFlag != nullptr && (errno == EAGAIN || errno == EWOULDBLOCK) &&
          waitUntilReadable(fd, *runFlag)) {
        continue;
      }
      return IoResult::Failed;
    }
    done += static_cast<std::size_t>(received);
  }
  return IoResult::Done;
}

// Receive step codes: -1 (no socket), -4 peer closed, -5 error, offset by the step.
int receiveStep(int fd, std::span<std::uint8_t> buffer, const HttpRunFlag* runFlag, int step) {
  if (fd < 0) return step - 1;
  switch (receiveExactly(fd, buffer, runFlag)) {
    case IoResult::Closed:
      return step - 4;
    case IoResult::Failed:
      return step - 5;
    case IoResult::Done:
      break;
  }
  return 0;
}

// ---- Open --------------------------------------------------------------------------------

struct Session {
  Session(RtspRequest& request_, RtspClient& client_, TcpSocket& socket_, std::string baseUrl_)
      : request(request_), client(client_), socket(socket_), baseUrl(std::move(baseUrl_)) {}

  RtspRequest& request;
  RtspClient& client;
  TcpSocket& socket;
  const std::string baseUrl;
  int cseq = 0;
  AuthChallenge challenge;
  std::array<std::uint8_t, kSdpLimit> buffer{};

  std::string authorization(std::string_view method) const {
    std::array<char, kAuthorizationHeaderCapacity> header{};
    const int length = BuildAuthorizationHeader(
        challenge.realm, challenge.nonce, limited(request.user, RtspRequest::kTextLimit),
        limited(request.password, RtspRequest::kTextLimit), method, baseUrl, challenge.qop, header,
        challenge.kind);
    return length > 0 ? std::string(header.data(), static_cast<std::size_t>(length)) : "";
  }

  // Sends `text` and reads the answer header; the exchange's result.
  int exchange(const std::string& text, std::string_view expected) {
    buffer.fill(0);
    return ExchangeHttp(socket.get(), bytesOf(text), buffer, kHeaderEnd, expected,
                        client.runFlag());
  }

  std::string_view answer() const { return answerText(buffer); }

  // A failed step: the status the answer tells and the exchange's code moved by the step.
  int failed(int result, int step) {
    const std::string_view text = answer();
    if (contains(text, kNotFound)) request.rtspStatus = 404;
    if (contains(text, kNotAcceptable)) request.rtspStatus = 406;
    return result - step;
  }

  std::string cseqLine() { return "\r\nCSeq: " + std::to_string(cseq++); }
};

std::optional<int> contentLengthOf(std::string_view header) {
  const std::size_t at = header.find(kContentLength);
  if (at == std::string_view::npos) return std::nullopt;
  const auto value = afterSeparator(header.substr(at), ':');
  return value ? number<int>(*value) : std::nullopt;
}

// DESCRIBE, answering one challenge on the same connection. 0 or the failed step's code.
int describe(Session& session, std::string& sdp) {
  for (;;) {
    const std::string text = "DESCRIBE " + session.baseUrl + " RTSP/1.0" + session.cseqLine() +
                             session.authorization("DESCRIBE") + std::string(kHeaderEnd);
    int result = session.exchange(text, kContentLength);
    const bool challenged = contains(session.answer(), kUnauthorized);
    if (result >= 0 && !challenged) break;
    // A challenge that carries a body of its own counts as a challenge all the same.
    if (result >= 0) result = -7;
    if (challenged && session.challenge.kind == kAuthNotChallenged) {
      session.challenge.kind = kAuthUnknown;
      parseChallenge(session.answer(), session.challenge);
      const std::optional<int> body = contentLengthOf(session.answer());
      if (body && *body > 0 && static_cast<std::size_t>(*body) <= kSdpLimit) {
        receiveExactly(session.socket.get(), std::span(session.buffer).first(*body),
                       session.client.runFlag());
      }
      continue;
    }
    if (challenged) session.request.rtspStatus = 401;
    return session.failed(result, 10);
  }

  const std::optional<int> length = contentLengthOf(session.answer());
  if (!length || *length < 1 || static_cast<std::size_t>(*length) > kSdpLimit) return -30;
  const auto body = std::span(session.buffer).first(static_cast<std::size_t>(*length));
  if (const int result = receiveStep(session.socket.get(), body, session.client.runFlag(), -30);
      result != 0) {
    return result;
  }
  sdp.assign(reinterpret_cast<const char*>(body.data()), body.size());
  return 0;
}

// One Base64 parameter set; its decoded length or nothing.
std::optional<std::size_t> decodeParameterSet(std::string_view text, std::span<std::uint8_t> out) {
  if (text.empty() || text.size() > RtspRequest::kTextLimit) return std::nullopt;
  const int length = Base64Code(bytesOf(text), true, out);
  if (length < 0) return std::nullopt;
  return static_cast<std::size_t>(length);
}

// "sprop-parameter-sets=SPS,PPS" into 00 00 00 01 SPS 00 00 00 01 PPS. A PPS followed by
// further fmtp parameters ends at the semicolon that separates them.
int readParameterSets(std::string_view sdp, RtspRequest& request) {
  const std::size_t at = sdp.find(kSpropField);
  if (at == std::string_view::npos) return -40;
  const auto value = afterSeparator(sdp.substr(at), '=');
  if (!value) return -40;
  const std::size_t comma = value->find(',');
  if (comma == 0 || comma == std::string_view::npos) return -40;
  const std::string_view spsText = value->substr(0, comma);
  const auto ppsWord = word(value->substr(comma + 1));
  if (!ppsWord) return -40;
  const std::string_view ppsText = ppsWord->substr(0, ppsWord->find(';'));

  std::array<std::uint8_t, RtspRequest::kParameterSetsCapacity> sps{};
  std::array<std::uint8_t, RtspRequest::kParameterSetsCapacity> pps{};
  const auto spsLength = decodeParameterSet(spsText, sps);
  const auto ppsLength = decodeParameterSet(ppsText, pps);
  if (!spsLength || !ppsLength) return -40;
  const std::size_t total = 2 * kStartCode.size() + *spsLength + *ppsLength;
  if (total > request.parameterSets.size()) return -40;

  auto out = request.parameterSets.begin();
  out = std::copy(kStartCode.begin(), kStartCode.end(), out);
  out = std::copy_n(sps.begin(), *spsLength, out);
  out = std::copy(kStartCode.begin(), kStartCode.end(), out);
  std::copy_n(pps.begin(), *ppsLength, out);
  request.parameterSetsLength = static_cast<std::uint32_t>(total);
  return 0;
}

// The control value of a track: "a=control:" searched onward from the media line.
std::optional<std::string_view> trackControl(std::string_view sdp, std::string_view mediaLine) {
  const std::size_t media = sdp.find(mediaLine);
  if (media == std::string_view::npos) return std::nullopt;
  const std::size_t control = sdp.find(kControlField, media);
  if (control == std::string_view::npos) return std::nullopt;
  const auto value = afterSeparator(sdp.substr(control), ':');
  const auto text = value ? word(*value) : std::nullopt;
  // A control value that does not fit is no usable track.
  if (!text || text->size() > RtspRequest::kTextLimit) return std::nullopt;
  return text;
}

// From the line break before "Session:" to the end of the header, without the empty line:
// every header line the camera sent behind its Session line goes back with the later requests.
std::string sessionText(std::string_view answer, std::size_t sessionAt) {
  const std::size_t begin = sessionAt >= 2 ? sessionAt - 2 : sessionAt;
  const std::size_t end = std::max(answer.find(kHeaderEnd, begin), begin);
  std::string text(answer.substr(begin, end - begin));
  if (!text.starts_with("\r\n")) text.insert(0, "\r\n");
  return text;
}

int setupTracks(Session& session, std::string_view sdp, std::string& sessionLine) {
  int interleaved = 0;
  bool videoSetUp = false;
  for (const std::string_view mediaLine :
       {std::string_view("m=video"), std::string_view("m=audio")}) {
    const bool audio = mediaLine == "m=audio";
    const auto control = trackControl(sdp, mediaLine);
    if (!control) {
      if (audio && !videoSetUp) return -41;
      continue;
    }
    const std::string text =
        "SETUP " + session.baseUrl + "/" + std::string(*control) + " RTSP/1.0" +
        session.cseqLine() +
        "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(interleaved) + "-" +
        std::to_string(interleaved + 1) + sessionLine + session.authorization("SETUP") +
        std::string(kHeaderEnd);
    const int result = session.exchange(text, kSessionField);
    if (result < 0) return session.failed(result, 50);
    sessionLine = sessionText(session.answer(), static_cast<std::size_t>(result));
    interleaved += 2;
    if (!audio) videoSetUp = true;
  }
  return 0;
}

int openSlot(RtspRequest& request, RtspClient& client) {
  const int slot = request.streamKind;
  client.closeSlot(slot);
  request.rtspStatus = 0;
  const std::string_view host = limited(request.host, RtspRequest::kTextLimit);
  Session session(request, client, client.sockets[static_cast<std::size_t>(slot)],
                  "rtsp://" + std::string(host) + ":" + std::to_string(request.rtspPort) + "/" +
                      std::string(limited(request.streamPath, RtspRequest::kPathLimit)));
  if (const int result = ConnectTcp(host, request.rtspPort, request.timeoutMs, session.socket);
      result != 0) {
    return result;
  }

  std::string sdp;
  if (const int result = describe(session, sdp); result != 0) return result;
  if (request.streamKind == RtspRequest::kH264) {
    if (const int result = readParameterSets(sdp, request); result != 0) return result;
  }
  std::string sessionLine;
  if (const int result = setupTracks(session, sdp, sessionLine); result != 0) return result;

  const std::string play = "PLAY " + session.baseUrl + " RTSP/1.0" + session.cseqLine() +
                           "\r\nRange: npt=0-" + sessionLine + session.authorization("PLAY") +
                           std::string(kHeaderEnd);
  if (const int result = session.exchange(play, kOk); result < 0) return session.failed(result, 60);

  client.teardown[static_cast<std::size_t>(slot)] =
      "TEARDOWN " + session.baseUrl + " RTSP/1.0" + session.cseqLine() + sessionLine +
      session.authorization("TEARDOWN") + std::string(kHeaderEnd);
  client.connected[static_cast<std::size_t>(slot)] = 1;
  return 0;
}

int openOrClose(RtspRequest& request, RtspClient& client) {
  int result = 0;
  if (request.command == RtspRequest::kClose) client.closeSlot(request.streamKind);
  if (request.command == RtspRequest::kOpen) result = openSlot(request, client);
  request.connected = client.connected[request.streamKind];
  return result;
}

// ---- Read --------------------------------------------------------------------------------

bool acceptedPayloadType(std::uint8_t type) {
  return type == kPayloadPcma || type == kPayloadDynamic || type == kPayloadJpeg;
}

// The payload as it goes into the frame: [begin, begin + size) inside the client's packet
// buffer, which has kFrontRoom bytes free in front of what was received.
struct Payload {
  std::uint8_t* begin;
  std::size_t size;

  void prepend(std::span<const std::uint8_t> bytes) {
    begin -= bytes.size();
    size += bytes.size();
    std::copy(bytes.begin(), bytes.end(), begin);
  }
  void dropFront(std::size_t count) {
    count = std::min(count, size);
    begin += count;
    size -= count;
  }
};

void rebuildH264(Payload& payload) {
  if (payload.size == 0) return;
  std::uint8_t* nal = payload.begin;
  if ((nal[0] & 0x1F) != kNalTypeFuA) {
    payload.prepend(kStartCode);
    return;
  }
  if (payload.size < 2) {
    payload.dropFront(payload.size);
    return;
  }
  if ((nal[1] & kFuStartBit) == 0) {
    payload.dropFront(2);
    return;
  }
  // The FU indicator and header become the start code's last byte and the NAL header.
  nal[1] = static_cast<std::uint8_t>((nal[0] & 0x60) | (nal[1] & 0x1F));
  nal[0] = 0x01;
  payload.prepend(std::span(kStartCode).first(3));
}

// RFC 2435: a picture's first packet gets the JPEG header in front; packets count only while
// they follow each other without a gap. 0, or -41 when the packet is dropped.
int rebuildJpeg(Payload& payload, std::uint16_t sequence, RtspRequest& request) {
  bool usable = payload.size >= kJpegMainHeaderBytes;
  if (usable) {
    const std::uint8_t* main = payload.begin;
    const std::uint32_t fragmentOffset =
        (std::uint32_t{main[1]} << 16) | (std::uint32_t{main[2]} << 8) | main[3];
    const int type = main[4];
    const int widthBy8 = main[6];
    const int heightBy8 = main[7];
    payload.dropFront(kJpegMainHeaderBytes);
    if (fragmentOffset == 0) {
      usable = payload.size >= kJpegTableHeaderBytes + 2 * kJpegTableBytes;
      if (usable) {
        std::array<std::uint8_t, 2 * kJpegTableBytes> tables{};
        std::copy_n(payload.begin + kJpegTableHeaderBytes, tables.size(), tables.begin());
        payload.dropFront(kJpegTableHeaderBytes + tables.size());
        std::array<std::uint8_t, kJpegHeaderBytes> header{};
        BuildJpegHeader(header, heightBy8, widthBy8, type,
                        std::span(tables).first<kJpegTableBytes>(),
                        std::span(tables).last<kJpegTableBytes>());
        payload.prepend(header);
        request.jpegFrameOpen = 1;
        // A new picture starts at the front, whatever an unfinished one left behind.
        request.videoFill = 0;
      }
    }
  }
  if (!usable) request.jpegFrameOpen = 0;
  if (request.jpegFrameOpen == 1 &&
      sequence != static_cast<std::uint16_t>(request.lastVideoSequence + 1)) {
    request.jpegFrameOpen = 0;
  }
  if (request.jpegFrameOpen == 0) request.videoFill = 0;
  request.lastVideoSequence = sequence;
  return request.jpegFrameOpen == 1 ? 0 : -41;
}

int storeAudio(const Payload& payload, RtspRequest& request) {
  const std::size_t capacity = request.audioBuffer.size();
  if (capacity == 0 || request.audioFill > capacity ||
      capacity - request.audioFill < payload.size) {
    request.audioFill = 0;
    return -40;
  }
  std::copy_n(payload.begin, payload.size, request.audioBuffer.begin() + request.audioFill);
  request.audioLength = static_cast<std::uint32_t>(request.audioFill + payload.size);
  request.audioFill = 0;
  return 0;
}

int storeVideo(const Payload& payload, RtspRequest& request) {
  const std::size_t capacity = request.videoBuffer.size();
  if (capacity == 0 || request.videoFill > capacity ||
      capacity - request.videoFill < payload.size) {
    request.videoFill = 0;
    return -42;
  }
  std::copy_n(payload.begin, payload.size, request.videoBuffer.begin() + request.videoFill);
  request.videoLength = static_cast<std::uint32_t>(request.videoFill + payload.size);
  request.videoFill = request.frameContinues != 0 ? request.videoLength : 0;
  return 0;
}

int readPacket(RtspRequest& request, RtspClient& client) {
  const auto slot = static_cast<std::size_t>(request.streamKind);
  if (client.connected[slot] == 0) return -1;
  const int fd = client.sockets[slot].get();
  if (fd < 0) return -11;

  std::array<std::uint8_t, kPacketHeaderBytes> header{};
  if (const int result = receiveStep(fd, header, client.runFlag(), -10); result != 0) {
    return result;
  }
  if (header[0] != kInterleaveMarker) return -20;
  const std::uint8_t channel = header[1];
  const std::uint8_t* rtp = header.data() + 4;
  const bool control = channel == 1 || channel == 3;
  if (channel == 0 || channel == 2) {
    if (!acceptedPayloadType(rtp[1] & 0x7F)) return -22;
  } else if (!control) {
    return -21;
  }
  const int length = ((header[2] << 8) | header[3]) - static_cast<int>(kRtpHeaderBytes);
  if (length < 1 || static_cast<std::size_t>(length) > kRtpPayloadLimit) return -23;

  Payload payload{client.packet.data() + kFrontRoom, static_cast<std::size_t>(length)};
  if (const int result = receiveStep(fd, {payload.begin, payload.size}, client.runFlag(), -30);
      result != 0) {
    return result;
  }

  request.mediaKind = RtspRequest::kControl;
  request.frameContinues = 0;
  request.motionByte = 0;
  if (control) return 0;

  const bool audio = (rtp[1] & 0x7F) == kPayloadPcma;
  request.mediaKind = audio ? RtspRequest::kAudio : RtspRequest::kVideo;
  request.frameContinues = !audio && (rtp[1] & kRtpMarkerBit) == 0 ? 1 : 0;
  // The camera pads with exactly two bytes: its motion byte and the padding count.
  if ((rtp[0] & kRtpPaddingBit) != 0) {
    if (payload.size >= 2) request.motionByte = payload.begin[payload.size - 2];
    payload.size -= std::min<std::size_t>(payload.size, 2);
  }
  if (audio) return storeAudio(payload, request);

  if (request.streamKind == RtspRequest::kH264) {
    rebuildH264(payload);
  } else if (request.streamKind == RtspRequest::kJpeg) {
    const auto sequence = static_cast<std::uint16_t>((rtp[2] << 8) | rtp[3]);
    if (const int result = rebuildJpeg(payload, sequence, request); result != 0) return result;
  }
  return storeVideo(payload, request);
}

int dispatch(RtspRequest& request, RtspClient& client) {
  if (request.streamKind >= RtspClient::kSlots) return -2;
  if (request.command > RtspRequest::kRead) return 0;
  if (request.command == RtspRequest::kRead) {
    const int result = readPacket(request, client);
    return result < 0 ? result - kRtspReadOffset : result;
  }
  int result = openOrClose(request, client);
  if (request.command == RtspRequest::kOpen && result < 0) {
    request.command = RtspRequest::kClose;
    openOrClose(request, client);
    request.command = RtspRequest::kOpen;
    result -= kRtspOpenOffset;
  }
  return result;
}

// ---- Parameter query ----------------------------------------------------------------------

constexpr std::string_view kPlainListPath =
    "camera-cgi/admin/param.cgi?action=list&group=Network.RTSP";
constexpr std::string_view kXmlListPath = "camera-cgi/admin/param.cgi?action=list&group=RTSP";
constexpr std::size_t kParameterListCapacity = 1024;

// The value of `key` in `text`: behind the first `separator` after the key.
std::optional<std::string_view> valueAfter(std::string_view text, std::string_view key,
                                           char separator) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  return afterSeparator(text.substr(at), separator);
}

void readPort(std::string_view text, std::string_view key, char separator, std::uint16_t& port) {
  const auto value = valueAfter(text, key, separator);
  if (const auto found = value ? number<std::uint16_t>(*value) : std::nullopt) port = *found;
}

// A path that would not fit with what is appended to it is refused.
void readPath(std::string_view path, std::string_view suffix, std::string& streamPath) {
  if (path.empty() || path.size() + suffix.size() > RtspRequest::kPathLimit) return;
  streamPath = std::string(path) + std::string(suffix);
}

void readPlainList(std::string_view text, int streamKind, std::uint16_t& port,
                   std::string& streamPath, int& enable) {
  if (const auto value = valueAfter(text, "Network.RTSP.Enable=", '=')) {
    if (const auto found = number<int>(*value)) enable = *found;
  }
  readPort(text, "Network.RTSP.Port=", '=', port);
  static constexpr std::array<std::string_view, 3> kPathKeys = {
      "Network.RTSP.Path=", "Network.RTSP.H264Path=", "Network.RTSP.MJPEGPath="};
  if (streamKind < 0 || streamKind >= static_cast<int>(kPathKeys.size())) return;
  const auto value = valueAfter(text, kPathKeys[static_cast<std::size_t>(streamKind)], '=');
  if (const auto path = value ? word(*value) : std::nullopt) readPath(*path, "", streamPath);
}

void readXmlPath(std::string_view text, std::string_view key, std::string& streamPath) {
  const auto value = valueAfter(text, key, '>');
  if (!value) return;
  readPath(value->substr(0, value->find('<')), ".sdp", streamPath);
}

void readXmlList(std::string_view text, int streamKind, std::uint16_t& port,
                 std::string& streamPath) {
  readPort(text, "rtspPort", '>', port);
  if (streamKind == RtspRequest::kH264) readXmlPath(text, "rtspH264Path", streamPath);
  if (streamKind == RtspRequest::kJpeg) readXmlPath(text, "rtspMJPEGPath", streamPath);
  readPort(text, "rtspPort maxLen=\"5\"", '>', port);
  if (streamKind == RtspRequest::kH264) {
    readXmlPath(text, "rtspH264Path id=\"profile0\" maxLen=\"63\"", streamPath);
  }
  if (streamKind == RtspRequest::kJpeg) {
    readXmlPath(text, "rtspMJPEGPath id=\"profile0\" maxLen=\"63\"", streamPath);
  }
}

// ---- JPEG header --------------------------------------------------------------------------

// The standard Huffman tables of ITU-T T.81 Annex K.3: code counts per length, then values.
constexpr std::array<std::uint8_t, 16> kLumaDcBits = {0, 1, 5, 1, 1, 1, 1, 1,
                                                      1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> kLumaDcValues = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::array<std::uint8_t, 16> kChromaDcBits = {0, 3, 1, 1, 1, 1, 1, 1,
                                                        1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> kChromaDcValues = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::array<std::uint8_t, 16> kLumaAcBits = {0, 2, 1, 3, 3, 2, 4, 3,
                                                      5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<std::uint8_t, 162> kLumaAcValues = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr std::array<std::uint8_t, 16> kChromaAcBits = {0, 2, 1, 2, 4, 4, 3, 4,
                                                        7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::array<std::uint8_t, 162> kChromaAcValues = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

template <std::size_t N>
constexpr std::size_t codeCount(const std::array<std::uint8_t, N>& bits) {
  std::size_t count = 0;
  for (const std::uint8_t b : bits) count += b;
  return count;
}
static_assert(codeCount(kLumaDcBits) == kLumaDcValues.size());
static_assert(codeCount(kChromaDcBits) == kChromaDcValues.size());
static_assert(codeCount(kLumaAcBits) == kLumaAcValues.size());
static_assert(codeCount(kChromaAcBits) == kChromaAcValues.size());

class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::uint8_t> out) : out_(out) {}
  void put(std::initializer_list<std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) out_[used_++] = b;
  }
  void put(std::span<const std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), out_.begin() + used_);
    used_ += bytes.size();
  }
  void put16(int value) {
    put({static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
  }
  std::size_t used() const { return used_; }

 private:
  std::span<std::uint8_t> out_;
  std::size_t used_ = 0;
};

template <std::size_t Values>
void putHuffmanTable(ByteWriter& out, std::uint8_t tableClassAndId,
                     const std::array<std::uint8_t, 16>& bits,
                     const std::array<std::uint8_t, Values>& values) {
  out.put({0xFF, 0xC4});
  out.put16(static_cast<int>(2 + 1 + bits.size() + values.size()));
  out.put({tableClassAndId});
  out.put(bits);
  out.put(values);
}

}  // namespace

RtspClient::RtspClient() : packet(kFrontRoom + kRtpPayloadLimit) {}

RtspClient::~RtspClient() {
  closeAll();
}

void RtspClient::closeSlot(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  const auto index = static_cast<std::size_t>(slot);
  std::string& prepared = teardown[index];
  if (!prepared.empty() && sockets[index].valid()) {
    ExchangeHttp(sockets[index].get(), bytesOf(prepared), {}, {}, {});
  }
  prepared.clear();
  connected[index] = 0;
  sockets[index].reset();
}

void RtspClient::closeAll() {
  for (int slot = 0; slot < kSlots; ++slot) closeSlot(slot);
}

int RunRtspRequest(RtspRequest* request, RtspClient& client) {
  if (request == nullptr) {
    client.closeAll();
    return 0;
  }
  const std::uint32_t start = tickMs();
  const int result = dispatch(*request, client);
  request->elapsedMs = tickMs() - start;
  return result;
}

int QueryRtspParameters(const StreamContext& context, std::uint16_t& rtspPort,
                        std::string& streamPath, int& enable, int streamKind,
                        const HttpRunFlag* runFlag) {
  streamPath.clear();
  rtspPort = 0;
  enable = 0;
  std::string text;
  int result = FetchDocument(context, kPlainListPath, text, kParameterListCapacity, runFlag);
  if (result != 0) return result;
  if (!contains(text, "Failed to get xml data") && !contains(text, "Access Denied")) {
    readPlainList(text, streamKind, rtspPort, streamPath, enable);
    return 0;
  }
  text.clear();
  result = FetchDocument(context, kXmlListPath, text, kParameterListCapacity, runFlag);
  if (result != 0) return result;
  readXmlList(text, streamKind, rtspPort, streamPath);
  return 0;
}

int BuildJpegHeader(std::span<std::uint8_t> output, int heightBy8, int widthBy8, int type,
                    std::span<const std::uint8_t, 64> table0,
                    std::span<const std::uint8_t, 64> table1) {
  if (output.size() < kJpegHeaderBytes) return -1;
  ByteWriter out(output);
  out.put({0xFF, 0xD8});
  out.put({0xFF, 0xDB, 0x00, 0x43, 0x00});
  out.put(table0);
  out.put({0xFF, 0xDB, 0x00, 0x43, 0x01});
  out.put(table1);
  out.put({0xFF, 0xC0, 0x00, 0x11, 0x08});
  out.put16((heightBy8 & 0xFF) * 8);
  out.put16((widthBy8 & 0xFF) * 8);
  // Three components from 0; luma is sampled 2x1 (type 0) or 2x2 (type 1) against chroma.
  out.put({0x03, 0x00, static_cast<std::uint8_t>(type != 0 ? 0x22 : 0x21), 0x00});
  out.put({0x01, 0x11, 0x01, 0x02, 0x11, 0x01});
  putHuffmanTable(out, 0x00, kLumaDcBits, kLumaDcValues);
  putHuffmanTable(out, 0x10, kLumaAcBits, kLumaAcValues);
  putHuffmanTable(out, 0x01, kChromaDcBits, kChromaDcValues);
  putHuffmanTable(out, 0x11, kChromaAcBits, kChromaAcValues);
  out.put({0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00});
  return static_cast<int>(out.used());
}

}  // namespace ipcam
