#include "protocols/av_server_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/app_state.h"
#include "core/camera_models.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/run_wait.h"
#include "platform/tcp_connect.h"
#include "platform/trace.h"
#include "protocols/client_io.h"

namespace ipcam {
namespace {

// What a trace line shows in place of a password.
constexpr const char* kMaskedPassword = "********";
// Control connections and the data connection carry these socket time-outs.
constexpr std::uint32_t kSocketTimeoutMs = 30000;

// The camera's address in network order, as its four octets a.b.c.d.
std::array<std::uint8_t, 4> octetsOf(std::uint32_t networkOrderAddress) {
  std::array<std::uint8_t, 4> octets{};
  std::memcpy(octets.data(), &networkOrderAddress, octets.size());
  return octets;
}

void putCredential(std::vector<std::uint8_t>& message, std::size_t offset, std::string_view text) {
  const std::string_view cut = text.substr(0, kAvsCredentialBytes);
  std::copy(cut.begin(), cut.end(), message.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::uint16_t little16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::uint32_t little32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint8_t randomKey() {
  // The generator is seeded with the time when the client is reset at start-up.
  return static_cast<std::uint8_t>(std::rand() & 0xff);
}

void showMessage(const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->postMessage(text, kDefaultMessageTitle);
}

const HttpRunFlag* callerRunFlag() {
  const platform::ThreadRun* run = platform::currentThreadRun();
  return run != nullptr ? &run->flag() : nullptr;
}

// One command on a fresh control connection: send the request, read the answer of the same
// size and the four bytes behind it. The answer's type, or nothing when the exchange failed.
std::optional<std::uint8_t> exchangeCommand(std::uint32_t address, std::uint16_t port,
                                            std::span<const std::uint8_t> request, bool longForm) {
  const HttpRunFlag* runFlag = callerRunFlag();
  in_addr host{};
  host.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &host, text, sizeof text);
  TcpSocket socket;
  if (ConnectTcp(text, port, kSocketTimeoutMs, socket, runFlag) != 0) {
    platform::trace("camera server: control connection failed");
    return std::nullopt;
  }
  if (sendExactly(socket.get(), request) != IoResult::Done) {
    platform::trace("camera server: sending a command failed");
    return std::nullopt;
  }
  std::vector<std::uint8_t> answer(avsMessageSize(longForm));
  const IoLimits limits = IoLimits::untilStopped(runFlag);
  if (receiveExactly(socket.get(), answer, limits) != IoResult::Done) {
    platform::trace("camera server: no answer to a command");
    return std::nullopt;
  }
  // The trailer only follows; a server that leaves it out has still answered.
  std::array<std::uint8_t, kAvsAnswerTrailer> trailer{};
  receiveExactly(socket.get(), trailer, limits);
  return parseAvsAnswer(answer, longForm);
}

}  // namespace

// ---- Wire format ----------------------------------------------------------------------------

bool avsUsesLongForm(int modelNumber) {
  return cameraModel(modelNumber).longServerMessages;
}

std::size_t avsMessageSize(bool longForm) {
  return longForm ? kAvsLongMessageSize : kAvsMessageSize;
}

std::vector<std::uint8_t> buildAvsConnectRequest(std::uint32_t cameraAddress,
                                                 std::uint16_t dataPort, std::uint8_t key,
                                                 bool longForm) {
  std::vector<std::uint8_t> message(avsMessageSize(longForm), 0);
  message[kAvsTypeOffset] = kAvsRequestConnect;
  message[kAvsKeyOffset] = key;
  // The address is kept in network order and its two halves are then swapped as 16-bit
  // fields, so the octets travel pairwise reversed.
  const auto [a, b, c, d] = octetsOf(cameraAddress);
  const std::array<std::uint8_t, 4> wire = {b, a, d, c};
  std::copy(wire.begin(), wire.end(), message.begin() + kAvsAddressOffset);
  message[kAvsPortOffset] = static_cast<std::uint8_t>(dataPort >> 8);
  message[kAvsPortOffset + 1] = static_cast<std::uint8_t>(dataPort & 0xff);
  return message;
}

std::vector<std::uint8_t> buildAvsLoginRequest(std::uint32_t cameraAddress,
                                               std::uint16_t controlPort, std::string_view user,
                                               std::string_view password, std::uint8_t key,
                                               bool longForm) {
  std::vector<std::uint8_t> message(avsMessageSize(longForm), 0);
  message[kAvsTypeOffset] = kAvsRequestLogin;
  message[kAvsKeyOffset] = key;
  // Here the address is converted as one 32-bit value before the two 16-bit halves are: the
  // server expects the halves exchanged.
  const auto [a, b, c, d] = octetsOf(cameraAddress);
  const std::array<std::uint8_t, 4> wire = {c, d, a, b};
  std::copy(wire.begin(), wire.end(), message.begin() + kAvsAddressOffset);
  message[kAvsPortOffset] = static_cast<std::uint8_t>(controlPort >> 8);
  message[kAvsPortOffset + 1] = static_cast<std::uint8_t>(controlPort & 0xff);
  const std::size_t shift = longForm ? kAvsLongFormShift : 0;
  putCredential(message, kAvsUserOffset + shift, user);
  putCredential(message, kAvsPasswordOffset + shift, password);
  return message;
}

std::optional<std::uint8_t> parseAvsAnswer(std::span<const std::uint8_t> answer, bool longForm) {
  if (answer.size() != avsMessageSize(longForm)) return std::nullopt;
  return answer[kAvsTypeOffset];
}

std::optional<AvsFrameHeader> parseAvsFrameHeader(std::span<const std::uint8_t> header) {
  if (header.size() < kAvsHeaderSize) return std::nullopt;
  AvsFrameHeader parsed;
  parsed.type = header[0];
  parsed.width = little16(header, kAvsHeaderWidthOffset);
  parsed.height = little16(header, kAvsHeaderHeightOffset);
  parsed.length = little32(header, kAvsHeaderLengthOffset);
  parsed.motion = header[kAvsHeaderMotionOffset] == 1;
  return parsed;
}

// ---- The client object ----------------------------------------------------------------------

void AvServerClient::reset() {
  disconnect();
  connected_.store(false);
  administrator_.store(false);
  loggedIn_.store(false);
  streaming_.store(false);
  // The requests draw their key from the process-wide generator.
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

void AvServerClient::disconnect() {
  for (std::atomic<int>* socket : {&controlSocket_, &dataSocket_}) {
    const int fd = socket->exchange(-1);
    if (fd >= 0) ::close(fd);
  }
  connected_.store(false);
}

void AvServerClient::setDataSocket(int fd) {
  const int old = dataSocket_.exchange(fd);
  if (old >= 0 && old != fd) ::close(old);
}

int AvServerClient::takeDataSocket() {
  return dataSocket_.exchange(-1);
}

void AvServerClient::setTeardown(std::optional<Teardown> teardown) {
  std::lock_guard lock(teardownMutex_);
  teardown_ = std::move(teardown);
}

std::optional<AvServerClient::Teardown> AvServerClient::teardown() const {
  std::lock_guard lock(teardownMutex_);
  return teardown_;
}

// ---- Commands -------------------------------------------------------------------------------

int AvsConnect(const std::string& host, std::uint16_t controlPort, AvServerClient& client,
               bool longForm) {
  const std::optional<in_addr> resolved = platform::resolveIpv4(host);
  if (!resolved) {
    char text[160];
    std::snprintf(text, sizeof text, "Can't create connection to IPCam AV ControlPort %s:%d",
                  host.c_str(), static_cast<int>(controlPort));
    showMessage(text);
    return 0;
  }
  const std::uint32_t address = resolved->s_addr;
  client.controlAddress_.store(address);
  client.controlPort_.store(controlPort);

  const std::uint8_t key = randomKey();
  const std::uint16_t dataPort = client.announcedDataPort();
  platform::trace("camera server: connect with key %d, data port %d", static_cast<int>(key),
                  static_cast<int>(dataPort));
  const std::vector<std::uint8_t> request =
      buildAvsConnectRequest(address, dataPort, key, longForm);
  const std::optional<std::uint8_t> answer =
      exchangeCommand(address, controlPort, request, longForm);
  if (answer == kAvsAnswerAck) {
    client.connected_.store(true);
    platform::trace("camera server: connected");
    return 1;
  }
  platform::trace("camera server: connect refused");
  return 0;
}

int AvsLogin(AvServerClient& client, std::string_view user, std::string_view password,
             bool longForm) {
  // The line keeps its place in the trace, but not the password: traces get pasted into
  // reports, and a fixed mask does not even tell the password's length.
  platform::trace("Login %.*s,password %s", static_cast<int>(user.size()), user.data(),
                  kMaskedPassword);
  const std::uint32_t address = client.controlAddress();
  const std::uint16_t controlPort = client.controlPort();
  const std::vector<std::uint8_t> request =
      buildAvsLoginRequest(address, controlPort, user, password, randomKey(), longForm);
  const std::optional<std::uint8_t> answer =
      exchangeCommand(address, controlPort, request, longForm);
  client.setLoginRefused(answer && answer != kAvsAnswerAdminAck && answer != kAvsAnswerAck);
  if (answer == kAvsAnswerAdminAck) {
    platform::trace("camera server: logged in as administrator");
    client.administrator_.store(true);
    client.loggedIn_.store(true);
    return 1;
  }
  if (answer == kAvsAnswerAck) {
    platform::trace("camera server: logged in, not as administrator");
    client.administrator_.store(false);
    client.loggedIn_.store(true);
    return 1;
  }
  return 0;
}

int AvsOpenDataConnection(const std::string& host, std::uint16_t dataPort, AvServerClient& client) {
  platform::trace("camera server: opening the data connection");
  TcpSocket socket;
  const int result = ConnectTcp(host, dataPort, kSocketTimeoutMs, socket, callerRunFlag());
  switch (result) {
    case 0:
      platform::trace("camera server: data connection open");
      client.setDataSocket(socket.release());
      return 1;
    case -1:
      platform::trace("camera server: data connection failed");
      return 0;
    case -2:
      showMessage("create datsock_tcp failed!");
      return 0;
    default:
      platform::trace("camera server: data connection failed (%d)", result);
      return 0;
  }
}

void AvsTeardown(AvServerClient& client) {
  const std::optional<AvServerClient::Teardown> teardown = client.teardown();
  const int fd = client.controlSocket_.load();
  if (client.connected() && teardown && fd >= 0) {
    const std::string text = "TEARDOWN rtsp://" + teardown->host + ":" + teardown->port + "/" +
                             teardown->path + "\r\nCSeq: 3\r\nSession: " + teardown->session +
                             "\r\n\r\n";
    sendExactly(fd, bytesOf(text));
  }
  client.disconnect();
  client.loggedIn_.store(false);
  client.streaming_.store(false);
}

// ---- Data loop ------------------------------------------------------------------------------

AvsDataEnd runAvsDataLoop(int fd, const platform::ThreadRun& run, AvsFrameHandler& handler,
                          std::span<std::uint8_t> buffer, const AvsDataLimits& limits) {
  const HttpRunFlag* runFlag = &run.flag();
  const auto receiveLimits = [&] {
    return IoLimits{runFlag, IoClock::now() + limits.receiveTimeout};
  };
  // The thread sleeps until a frame begins, the idle limit passes or the run flag drops.
  IoClock::time_point idleEnd = IoClock::now() + limits.idleLimit;
  std::array<std::uint8_t, kAvsHeaderSize> headerBytes{};
  while (run.running()) {
    if (!waitUntilReadable(fd, IoLimits{runFlag, idleEnd})) {
      if (!run.running()) break;
      if (IoClock::now() >= idleEnd) return AvsDataEnd::kIdle;
      continue;
    }
    if (!handler.connected()) {
      // Nothing is read for a connection that is not (yet) marked connected; the wait above
      // would return at once, so the pause keeps this from spinning. Bytes are waiting, so
      // the connection is not idle.
      platform::sleepWhileRunning(run.flag(), limits.notConnectedPause);
      idleEnd = IoClock::now() + limits.idleLimit;
      continue;
    }
    if (receiveExactly(fd, headerBytes, receiveLimits()) != IoResult::Done) {
      return run.running() ? AvsDataEnd::kLost : AvsDataEnd::kStopped;
    }
    idleEnd = IoClock::now() + limits.idleLimit;
    const AvsFrameHeader header = *parseAvsFrameHeader(headerBytes);
    if (header.motion) handler.motion();
    if (!avsPayloadAccepted(header.length) || header.length > buffer.size()) {
      platform::trace("refused a frame of %u bytes from the camera server", header.length);
      return AvsDataEnd::kBadProtocol;
    }
    const std::span<std::uint8_t> payload = buffer.first(header.length);
    if (receiveExactly(fd, payload, receiveLimits()) != IoResult::Done) {
      return run.running() ? AvsDataEnd::kLost : AvsDataEnd::kStopped;
    }
    handler.dataArrived();
    switch (header.type) {
      case static_cast<std::uint8_t>(AvsFrameType::kVideo):
        handler.video(payload, header.width, header.height);
        break;
      case static_cast<std::uint8_t>(AvsFrameType::kAudio):
        handler.audio(payload);
        break;
      case static_cast<std::uint8_t>(AvsFrameType::kIgnored):
        break;
      default:
        platform::trace("camera server: frame of unknown type %d skipped", header.type);
        break;
    }
  }
  return AvsDataEnd::kStopped;
}

// ---- The channel's end of the data loop -------------------------------------------------

namespace {

// The audio queue's sample formats: A-law bytes, or 33-byte GSM frames.
constexpr int kALawSamples = 0;
constexpr int kGsmSamples = 1;

// The server cameras that stream MPEG-4 send G.711 A-law, as their recordings store it; the
// others send GSM 06.10.
int serverAudioFormat(int channel) {
  const CameraSettings camera = cameraSnapshot(channel);
  return sendsALawAudio(camera.type, camera.videoFormat) ? kALawSamples : kGsmSamples;
}

}  // namespace

void AvsQueueFeed::prepareQueues() {
  StreamContext& stream = record_.stream;
  stream.videoQueue.clear();
  stream.videoQueue.setCodecKind(MediaQueue::kMpeg4);
  stream.videoQueue.setCamera(record_.channel);
  stream.audioQueue.clear();
  stream.audioQueue.setSampleFormat(serverAudioFormat(record_.channel));
  stream.audioQueue.setCamera(record_.channel);
}

void AvsQueueFeed::motion() {
  std::int32_t idle = 0;
  record_.motionFlag.compare_exchange_strong(idle, 1);
}

void AvsQueueFeed::dataArrived() {
  // Data flows: a later loss reconnects. The budget of passes starts afresh only once the
  // stream has run, so a camera whose stream fails at once still spends it.
  record_.mpeg4Reconnect.store(true);
  if (streamRun_.delivered()) {
    record_.mpeg4ReconnectCount.store(0);
    record_.mpeg4LastError.store(0);
  }
}

void AvsQueueFeed::video(std::span<const std::uint8_t> frame, std::uint16_t /*width*/,
                         std::uint16_t /*height*/) {
  // The decoder reads the picture's size from the stream itself.
  record_.stream.videoQueue.push(frame);
}

void AvsQueueFeed::audio(std::span<const std::uint8_t> frame) {
  record_.stream.audioQueue.push(frame);
}

bool AvsQueueFeed::connected() const {
  return client_.connected();
}

}  // namespace ipcam
