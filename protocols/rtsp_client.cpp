#include "protocols/rtsp_client.h"

#include <algorithm>
#include <optional>

#include "core/stream_context.h"
#include "platform/base64.h"

namespace ipcam {
namespace {

// The shared dispatch reads the command byte with these values.
static_assert(RtspRequest::kQuery == kCommandQuery && RtspRequest::kClose == kCommandClose &&
              RtspRequest::kOpen == kCommandOpen && RtspRequest::kRead == kCommandTransfer);

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kContentLength = "Content-Length";
constexpr std::string_view kSession = "Session";
constexpr std::string_view kOk = "200 OK";
constexpr std::string_view kUnauthorized = "Unauthorized";
constexpr std::string_view kNotFound = "Not Found";
constexpr std::string_view kNotAcceptable = "Not Acceptable";
constexpr std::string_view kMediaLine = "m=";
constexpr std::string_view kControlAttribute = "a=control:";
constexpr std::string_view kFormatAttribute = "a=fmtp:";
constexpr std::string_view kParameterSetsParameter = "sprop-parameter-sets";
constexpr std::string_view kAbsoluteUrlScheme = "rtsp://";
constexpr std::array<std::uint8_t, 4> kStartCode = {0, 0, 0, 1};
// The longest answer header taken.
constexpr std::size_t kAnswerCapacity = 512;

// Interleave header: "$", channel, 16-bit length of the RTP or RTCP packet behind it.
constexpr std::size_t kInterleaveHeaderBytes = 4;
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
// After a lost interleave marker, the reader looks for the next packet in at most this many
// bytes per Read, and only in what has already arrived, so the scan never keeps a call long.
constexpr std::size_t kResyncScanBytes = 16384;

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

// The parts of the conversation. The shared helpers' codes (-1 no socket, -4 peer closed,
// -5 receive error, -7 not the answer expected, ...) are moved down by the part that failed.
enum class RtspPart : int {
  kDescribe = 10,
  kInterleaveHeader = 10,
  kSdp = 30,
  kPayload = 30,
  kSetup = 50,
  kPlay = 60,
};

constexpr int failureIn(RtspPart part, int code) {
  return code - static_cast<int>(part);
}

// A step of the connection's reader: 0, or its code (-4 peer closed, -5 error) in the part
// that received.
int receiveStep(int readerResult, RtspPart part) {
  return readerResult == 0 ? 0 : failureIn(part, readerResult);
}

// ---- Open --------------------------------------------------------------------------------

struct Session {
  Session(RtspRequest& request_, RtspClient& client_, std::size_t slot, std::string baseUrl_)
      : request(request_),
        client(client_),
        socket(client_.sockets[slot]),
        reader(client_.readers[slot]),
        baseUrl(std::move(baseUrl_)),
        limits(IoLimits::within(request_.timeoutMs, client_.runFlag())) {}

  RtspRequest& request;
  RtspClient& client;
  TcpSocket& socket;
  // Holds what arrived behind an answer: the SDP, and behind PLAY the first packets.
  HttpStreamReader& reader;
  const std::string baseUrl;
  // The whole Open ends at one deadline: a server that trickles its answers cannot hold the
  // channel in "Connecting..." for ever.
  const IoLimits limits;
  int cseq = 0;
  AuthChallenge challenge;
  std::string answerHeader;  // the last answer's header, or what of it arrived

  std::string authorization(std::string_view method) const {
    std::array<char, kAuthorizationHeaderCapacity> header{};
    const int length = BuildAuthorizationHeader(
        challenge.realm, challenge.nonce, limited(request.user, RtspRequest::kTextLimit),
        limited(request.password, RtspRequest::kTextLimit), method, baseUrl, challenge.qop, header,
        challenge.kind);
    return length > 0 ? std::string(header.data(), static_cast<std::size_t>(length)) : "";
  }

  // Sends `text` and reads the answer header; the exchange's result, -7 when the answer lacks
  // the status text `expected` or the header line `field` (each only when given).
  int exchange(const std::string& text, std::string_view expected, std::string_view field = {}) {
    const int result = exchangeThrough(reader, socket.get(), text, kAnswerCapacity, expected,
                                       limits, answerHeader);
    if (result >= 0 && !field.empty() && !findHeaderField(answerHeader, field)) return -7;
    return result;
  }

  std::string_view answer() const { return answerHeader; }

  // A failed step: the status the answer tells and the exchange's code in its part.
  int failed(int result, RtspPart part) {
    const std::string_view text = answer();
    if (contains(text, kNotFound)) request.rtspStatus = 404;
    if (contains(text, kNotAcceptable)) request.rtspStatus = 406;
    return failureIn(part, result);
  }

  std::string cseqLine() { return "\r\nCSeq: " + std::to_string(cseq++); }
};

std::optional<int> contentLengthOf(std::string_view header) {
  const std::optional<HeaderField> field = findHeaderField(header, kContentLength);
  return field ? leadingNumber<int>(field->value) : std::nullopt;
}

// DESCRIBE, answering one challenge on the same connection. 0 or the failed step's code.
int describe(Session& session, std::string& sdp) {
  for (;;) {
    const std::string text = "DESCRIBE " + session.baseUrl + " RTSP/1.0" + session.cseqLine() +
                             session.authorization("DESCRIBE") + std::string(kHeaderEnd);
    int result = session.exchange(text, {}, kContentLength);
    const bool challenged = contains(session.answer(), kUnauthorized);
    if (result >= 0 && !challenged) break;
    // A challenge that carries a body of its own counts as a challenge all the same.
    if (result >= 0) result = -7;
    if (challenged && session.challenge.kind == kAuthNotChallenged) {
      session.challenge.kind = kAuthUnknown;
      parseChallenge(session.answer(), session.challenge);
      // The challenge's body must not be taken for the next answer.
      const std::optional<int> body = contentLengthOf(session.answer());
      if (body && *body > 0 && static_cast<std::size_t>(*body) <= kSdpLimit) {
        session.reader.skip(static_cast<std::size_t>(*body), session.limits);
      }
      continue;
    }
    if (challenged) session.request.rtspStatus = 401;
    return session.failed(result, RtspPart::kDescribe);
  }

  const std::optional<int> length = contentLengthOf(session.answer());
  if (!length || *length < 1 || static_cast<std::size_t>(*length) > kSdpLimit) return -30;
  std::vector<std::uint8_t> body(static_cast<std::size_t>(*length));
  if (!session.socket.valid()) return failureIn(RtspPart::kSdp, -1);
  if (const int result =
          receiveStep(session.reader.readExactly(body, session.limits), RtspPart::kSdp);
      result != 0) {
    return result;
  }
  sdp.assign(textOf(body));
  return 0;
}

// What the client takes from one media section of an SDP: the lines from its m= line to the
// next m= line.
struct MediaSection {
  std::string_view control;        // the first a=control value
  std::string_view parameterSets;  // the sprop-parameter-sets value of its a=fmtp lines
};

// The first video and the first audio section; session-level lines (a=control:* among them)
// and sections of other media are passed over.
struct SessionDescription {
  std::optional<MediaSection> video;
  std::optional<MediaSection> audio;
};

// "a=fmtp:<format> name=value;name=value": the value of `name` (matched without regard to
// case, as media type parameters are).
std::string_view formatParameter(std::string_view line, std::string_view name) {
  std::string_view parameters = line.substr(kFormatAttribute.size());
  const std::size_t space = parameters.find_first_of(" \t");
  if (space == std::string_view::npos) return {};
  parameters.remove_prefix(space + 1);
  while (!parameters.empty()) {
    const std::size_t end = std::min(parameters.find(';'), parameters.size());
    std::string_view parameter = parameters.substr(0, end);
    parameters.remove_prefix(std::min(end + 1, parameters.size()));
    while (!parameter.empty() && isSpace(parameter.front())) parameter.remove_prefix(1);
    const std::size_t equals = parameter.find('=');
    if (equals != std::string_view::npos && equalsNoCase(parameter.substr(0, equals), name)) {
      return word(parameter.substr(equals + 1)).value_or(std::string_view());
    }
  }
  return {};
}

// Line by line, with "\n" or "\r\n" line ends, so that the order of the lines and attributes
// this client does not know do no harm.
SessionDescription parseSdp(std::string_view sdp) {
  SessionDescription description;
  MediaSection* section = nullptr;  // null outside a section this client uses
  while (!sdp.empty()) {
    const std::size_t end = std::min(sdp.find('\n'), sdp.size());
    std::string_view line = sdp.substr(0, end);
    sdp.remove_prefix(std::min(end + 1, sdp.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with(kMediaLine)) {
      const std::string_view media =
          line.substr(kMediaLine.size(), line.find(' ') - kMediaLine.size());
      section = nullptr;
      if (media == "video" && !description.video) section = &description.video.emplace();
      if (media == "audio" && !description.audio) section = &description.audio.emplace();
    } else if (section == nullptr) {
      continue;
    } else if (line.starts_with(kControlAttribute) && section->control.empty()) {
      section->control = word(line.substr(kControlAttribute.size())).value_or(std::string_view());
    } else if (line.starts_with(kFormatAttribute) && section->parameterSets.empty()) {
      section->parameterSets = formatParameter(line, kParameterSetsParameter);
    }
  }
  return description;
}

// One Base64 parameter set; its decoded length or nothing.
std::optional<std::size_t> decodeParameterSet(std::string_view text, std::span<std::uint8_t> out) {
  if (text.empty() || text.size() > RtspRequest::kTextLimit) return std::nullopt;
  const int length = Base64Code(bytesOf(text), true, out);
  if (length < 0) return std::nullopt;
  return static_cast<std::size_t>(length);
}

// The video section's "sprop-parameter-sets=SPS,PPS" into 00 00 00 01 SPS 00 00 00 01 PPS.
// A further parameter set behind the PPS is left out.
int readParameterSets(const SessionDescription& description, RtspRequest& request) {
  if (!description.video) return -40;
  const std::string_view value = description.video->parameterSets;
  const std::size_t comma = value.find(',');
  if (comma == 0 || comma == std::string_view::npos) return -40;
  const std::string_view spsText = value.substr(0, comma);
  std::string_view ppsText = value.substr(comma + 1);
  ppsText = ppsText.substr(0, ppsText.find(','));

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

// The URL a track is set up with: an absolute control URL as it stands (standard servers
// write them), else the base URL and the control value. Nothing when the section has no
// usable control value (a value that does not fit is no usable track).
std::optional<std::string> trackUrl(const std::optional<MediaSection>& section,
                                    const std::string& baseUrl) {
  if (!section || section->control.empty() || section->control.size() > RtspRequest::kTextLimit) {
    return std::nullopt;
  }
  if (startsWithNoCase(section->control, kAbsoluteUrlScheme)) return std::string(section->control);
  return baseUrl + "/" + std::string(section->control);
}

// From the line break before the Session line to the end of the header, without the empty
// line: every header line the camera sent behind its Session line goes back with the later
// requests.
std::string sessionText(std::string_view answer, std::size_t sessionLine) {
  const std::size_t end = std::min(answer.find(kHeaderEnd, sessionLine), answer.size());
  return "\r\n" + std::string(answer.substr(sessionLine, end - sessionLine));
}

int setupTracks(Session& session, const SessionDescription& description, std::string& sessionLine) {
  int interleaved = 0;
  bool videoSetUp = false;
  for (const bool audio : {false, true}) {
    const auto url = trackUrl(audio ? description.audio : description.video, session.baseUrl);
    if (!url) {
      if (audio && !videoSetUp) return -41;
      continue;
    }
    const std::string text =
        "SETUP " + *url + " RTSP/1.0" + session.cseqLine() +
        "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(interleaved) + "-" +
        std::to_string(interleaved + 1) + sessionLine + session.authorization("SETUP") +
        std::string(kHeaderEnd);
    const int result = session.exchange(text, {}, kSession);
    if (result < 0) return session.failed(result, RtspPart::kSetup);
    sessionLine =
        sessionText(session.answer(), findHeaderField(session.answer(), kSession)->lineStart);
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
  Session session(request, client, static_cast<std::size_t>(slot),
                  "rtsp://" + std::string(host) + ":" + std::to_string(request.rtspPort) + "/" +
                      std::string(limited(request.streamPath, RtspRequest::kPathLimit)));
  if (const int result =
          connectWithin(host, request.rtspPort, request.timeoutMs, session.socket, session.limits);
      result != 0) {
    return result;
  }
  session.reader.attach(session.socket.get());

  std::string sdp;
  if (const int result = describe(session, sdp); result != 0) return result;
  const SessionDescription description = parseSdp(sdp);
  if (request.streamKind == RtspRequest::kH264) {
    if (const int result = readParameterSets(description, request); result != 0) return result;
  }
  std::string sessionLine;
  if (const int result = setupTracks(session, description, sessionLine); result != 0) {
    return result;
  }

  const std::string play = "PLAY " + session.baseUrl + " RTSP/1.0" + session.cseqLine() +
                           "\r\nRange: npt=0-" + sessionLine + session.authorization("PLAY") +
                           std::string(kHeaderEnd);
  if (const int result = session.exchange(play, kOk); result < 0)
    return session.failed(result, RtspPart::kPlay);

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

// Whether four bytes can begin an interleaved packet this reader takes: the marker, a data or
// control channel and a length the packet buffer holds.
bool plausibleHeader(std::span<const std::uint8_t> bytes) {
  const std::size_t length = (std::size_t{bytes[2]} << 8) | bytes[3];
  return bytes[0] == kInterleaveMarker && bytes[1] <= 3 && length > kRtpHeaderBytes &&
         length <= kRtpHeaderBytes + kRtpPayloadLimit;
}

// The interleaved stream of one slot, taken from the connection's reader: a Read receives
// as much as has arrived and later Reads take their packets from what it buffered.
class InterleavedInput {
 public:
  InterleavedInput(HttpStreamReader& reader, const HttpRunFlag* runFlag)
      : reader_(reader), limits_(IoLimits::untilStopped(runFlag)) {}

  // Fills `out`: 0, or the receive codes (-4 peer closed, -5 error) in `part`.
  int take(std::span<std::uint8_t> out, RtspPart part) {
    return receiveStep(reader_.readExactly(out, limits_), part);
  }

  // The next `count` bytes, left in the stream: 0 with them in `out`, or the receive codes.
  int peek(std::span<std::uint8_t> out, RtspPart part) {
    if (const int result = receiveStep(reader_.fill(out.size(), limits_), part); result != 0)
      return result;
    std::copy_n(reader_.buffered().begin(), out.size(), out.begin());
    return 0;
  }

  void drop(std::size_t count) { reader_.consume(count); }

  // Passes over `count` bytes: a refused packet of known length.
  int skip(std::size_t count, RtspPart part) {
    return receiveStep(reader_.skip(count, limits_), part);
  }

  // The interleave marker was lost (a server's RTSP message between packets, or garbage):
  // drops what lies before the next plausible packet header, looking at no more than
  // kResyncScanBytes of what has arrived; a '$' too near the end to judge stays for the next
  // Read.
  void resync() {
    const std::span<const std::uint8_t> bytes = reader_.buffered();
    const std::size_t scan = std::min(bytes.size(), kResyncScanBytes);
    std::size_t at = 0;
    for (; at < scan; ++at) {
      if (bytes[at] != kInterleaveMarker) continue;
      if (bytes.size() - at < kInterleaveHeaderBytes) break;
      if (plausibleHeader(bytes.subspan(at, kInterleaveHeaderBytes))) break;
    }
    reader_.consume(at);
  }

 private:
  HttpStreamReader& reader_;
  IoLimits limits_;
};

// A refused packet's code once it has been passed over (or the code of the failed skip).
int refused(int skipResult, int refusal) {
  return skipResult != 0 ? skipResult : refusal;
}

int readPacket(RtspRequest& request, RtspClient& client) {
  const auto slot = static_cast<std::size_t>(request.streamKind);
  if (client.connected[slot] == 0) return -1;
  const int fd = client.sockets[slot].get();
  if (fd < 0) return -11;

  HttpStreamReader& reader = client.readers[slot];
  // A socket put into the slot from outside comes with nothing buffered.
  if (reader.fd() != fd) reader.attach(fd);
  InterleavedInput input(reader, client.runFlag());
  std::array<std::uint8_t, kInterleaveHeaderBytes> interleave{};
  if (const int result = input.peek(interleave, RtspPart::kInterleaveHeader); result != 0)
    return result;
  if (interleave[0] != kInterleaveMarker) {
    input.drop(1);
    input.resync();
    return -20;
  }
  input.drop(interleave.size());
  const std::uint8_t channel = interleave[1];
  const std::size_t length = (std::size_t{interleave[2]} << 8) | interleave[3];
  const bool control = channel == 1 || channel == 3;
  const bool data = channel == 0 || channel == 2;
  // From here on the packet's extent is known: a refused packet is passed over whole, so the
  // next Read starts at the next packet.
  if (!control && !data) return refused(input.skip(length, RtspPart::kPayload), -21);
  if (length <= kRtpHeaderBytes || length > kRtpHeaderBytes + kRtpPayloadLimit) {
    if (!data || length < kRtpHeaderBytes)
      return refused(input.skip(length, RtspPart::kPayload), -23);
    std::array<std::uint8_t, kRtpHeaderBytes> rtp{};
    if (const int result = input.take(rtp, RtspPart::kPayload); result != 0) return result;
    const int refusal = acceptedPayloadType(rtp[1] & 0x7F) ? -23 : -22;
    return refused(input.skip(length - kRtpHeaderBytes, RtspPart::kPayload), refusal);
  }

  // The RTP header lands just before the front room, the payload right behind it.
  const std::span<std::uint8_t> packet =
      std::span(client.packet).subspan(kFrontRoom - kRtpHeaderBytes, length);
  if (const int result = input.take(packet, RtspPart::kPayload); result != 0) return result;
  std::array<std::uint8_t, kRtpHeaderBytes> rtp{};
  std::copy_n(packet.begin(), rtp.size(), rtp.begin());
  if (data && !acceptedPayloadType(rtp[1] & 0x7F)) return -22;
  Payload payload{client.packet.data() + kFrontRoom, length - kRtpHeaderBytes};

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
  return dispatchCommand(
      request.command, [&] { return readPacket(request, client); },
      [&] { return openOrClose(request, client); });
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
  if (const auto found = value ? leadingNumber<std::uint16_t>(*value) : std::nullopt) port = *found;
}

// A path that would not fit with what is appended to it is refused.
void readPath(std::string_view path, std::string_view suffix, std::string& streamPath) {
  if (path.empty() || path.size() + suffix.size() > RtspRequest::kPathLimit) return;
  streamPath = std::string(path) + std::string(suffix);
}

void readPlainList(std::string_view text, int streamKind, std::uint16_t& port,
                   std::string& streamPath, int& enable) {
  if (const auto value = valueAfter(text, "Network.RTSP.Enable=", '=')) {
    if (const auto found = leadingNumber<int>(*value)) enable = *found;
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
  readers[index].attach(-1);
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
  return timedRequest(*request, [&] { return dispatch(*request, client); });
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
  if (contains(text, "Unauthorized")) return kRtspParametersUnauthorized;
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
