#include "protocols/legacy_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "core/app_state.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/reconnect_pace.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/run_wait.h"
#include "platform/tcp_connect.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"
#include "protocols/av_server_client.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// How long one receive waits for the camera's next bytes.
constexpr auto kReceiveTimeout = 10000ms;
constexpr auto kRequestInterval = 45ms;
// Every empty answer counts as this much idle time; past the limit the camera is given up.
constexpr int kIdleStepMs = 100;
constexpr int kIdleLimitMs = 60000;

// Login answer layout.
constexpr std::size_t kDescriptionOffset = 40;
constexpr std::size_t kModelOffset = 88;
constexpr std::size_t kVendorOffset = 89;
// Picture header layout.
constexpr std::size_t kLengthOffset = 4;
constexpr std::size_t kWidthOffset = 8;
constexpr std::size_t kHeightOffset = 10;
constexpr std::size_t kFrameRateOffset = 12;
constexpr std::size_t kAttributeOffset = 13;
constexpr std::size_t kMotionOffset = 14;

std::uint32_t readBe32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 |
         static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

std::uint16_t readBe16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void showMessage(const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->postMessage(text, kDefaultMessageTitle);
}

}  // namespace

LegacyCommand legacyCommand(std::uint32_t code) {
  LegacyCommand command{};
  command[0] = static_cast<std::uint8_t>(code >> 24);
  command[1] = static_cast<std::uint8_t>(code >> 16);
  command[2] = static_cast<std::uint8_t>(code >> 8);
  command[3] = static_cast<std::uint8_t>(code);
  return command;
}

LegacyCommand legacyLoginCommand(std::string_view user, std::string_view password) {
  LegacyCommand command = legacyCommand(kLegacyLoginCode);
  // A name holds no NUL: the camera reads it up to the first one.
  user = user.substr(0, std::min(user.find('\0'), kLegacyCredentialChars));
  password = password.substr(0, kLegacyCredentialChars - user.size());
  std::memcpy(command.data() + kLegacyNameOffset, user.data(), user.size());
  // The NUL behind the name is already there; the password follows it directly.
  std::memcpy(command.data() + kLegacyNameOffset + user.size() + 1, password.data(),
              password.size());
  return command;
}

std::optional<LegacyLoginAnswer> parseLegacyLoginAnswer(std::span<const std::uint8_t> answer) {
  if (answer.size() < kLegacyCommandBytes) return std::nullopt;
  LegacyLoginAnswer parsed;
  parsed.result = static_cast<std::int32_t>(readBe32(answer, 0));
  std::memcpy(parsed.description.data(), answer.data() + kDescriptionOffset,
              kLegacyDescriptionBytes);
  // The first two 16-bit fields travel in network order; the rest is kept as it came.
  for (std::size_t at : {std::size_t{0}, std::size_t{2}}) {
    const std::uint16_t value = readBe16(parsed.description, at);
    std::memcpy(parsed.description.data() + at, &value, sizeof value);
  }
  parsed.model = static_cast<std::int8_t>(answer[kModelOffset]);
  parsed.vendor = static_cast<std::int8_t>(answer[kVendorOffset]);
  return parsed;
}

std::optional<LegacyPictureHeader> parseLegacyPictureHeader(std::span<const std::uint8_t> header) {
  if (header.size() < kLegacyPictureHeaderBytes) return std::nullopt;
  LegacyPictureHeader parsed;
  parsed.length = readBe32(header, kLengthOffset);
  parsed.width = readBe16(header, kWidthOffset);
  parsed.height = readBe16(header, kHeightOffset);
  parsed.frameRate = header[kFrameRateOffset];
  parsed.attribute = static_cast<std::int8_t>(header[kAttributeOffset]);
  parsed.motion = static_cast<std::int8_t>(header[kMotionOffset]);
  return parsed;
}

int TcpReceiveExact(int length, int socket, std::span<std::uint8_t> buffer) {
  if (length <= 0) {
    platform::trace("legacy server: asked to receive %d bytes", length);
    return length;
  }
  if (static_cast<std::size_t>(length) > buffer.size()) return -1;
  // A receive sleeps until the camera sends, its time-out passes or the thread is told to stop.
  const platform::ThreadRun* run = platform::currentThreadRun();
  const platform::RunFlag* runFlag = run != nullptr ? &run->flag() : nullptr;
  int received = 0;
  while (received < length) {
    if (!platform::waitForSocket(socket, POLLIN, runFlag,
                                 std::chrono::steady_clock::now() + kReceiveTimeout)) {
      platform::trace("legacy server: receive failed (errno %d)", errno);
      return -1;
    }
    const ssize_t got = ::recv(socket, buffer.data() + received,
                               static_cast<std::size_t>(length - received), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      platform::trace("legacy server: receive failed (errno %d)", errno);
      return -1;
    }
    if (got == 0) {
      platform::trace("legacy server: the camera closed the connection");
      return 0;
    }
    received += static_cast<int>(got);
  }
  return received;
}

int TcpSendCommand(int socket, const LegacyCommand& command) {
  std::size_t sent = 0;
  while (sent < command.size()) {
    // MSG_NOSIGNAL: a camera that went away is a failed send, not the end of the program.
    const ssize_t result =
        ::send(socket, command.data() + sent, command.size() - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      platform::trace("legacy server: sending a request failed (errno %d)", errno);
      return static_cast<int>(result);
    }
    sent += static_cast<std::size_t>(result);
  }
  return static_cast<int>(sent);
}

int LegacyServerConnect(ChannelRecord& record, AvServerClient& client) {
  const int channel = record.channel;
  const CameraSettings camera = cameraSnapshot(channel);
  if (camera.ip.empty()) {
    platform::trace("Camera %d: no address configured", channel + 1);
    return -1;
  }
  // No time-out of its own, as before; a stop of the channel's thread ends the wait.
  platform::ConnectLimits limits;
  if (const platform::ThreadRun* run = platform::currentThreadRun()) limits.runFlag = &run->flag();
  const platform::Connection connection =
      platform::connectTcp(camera.ip, record.port.load(), limits);
  if (connection.outcome == platform::ConnectOutcome::NoHost) {
    showMessage("gethostbyname error");
    return -1;
  }
  if (connection.outcome != platform::ConnectOutcome::Connected) return -1;
  const int socket = connection.fd;
  // The previous connection, if one was left, goes now; stopping the channel shuts this one.
  setLegacySocket(record, socket);
  client.setConnected(false);
  return 1;
}

int LegacyServerLogin(ChannelRecord& record, AvServerClient& client,
                      LegacyDescription& description) {
  const int socket = record.legacySocket.load();
  if (socket == 0) return 0;
  const ChannelCredentials credentials = record.credentials();
  std::array<std::uint8_t, kLegacyCommandBytes> answer{};
  client.setLoginRefused(false);
  {
    std::lock_guard lock(client.mutex());
    if (TcpSendCommand(socket, legacyLoginCommand(credentials.login, credentials.password)) !=
        static_cast<int>(kLegacyCommandBytes)) {
      return 0;
    }
    if (TcpReceiveExact(static_cast<int>(kLegacyCommandBytes), socket, answer) !=
        static_cast<int>(kLegacyCommandBytes)) {
      return 0;
    }
  }
  const std::optional<LegacyLoginAnswer> parsed = parseLegacyLoginAnswer(answer);
  description = parsed->description;
  client.setLoginRefused(parsed->result == kLegacyLoginRefused);
  if (parsed->result == kLegacyLoginRefused) return 0;
  record.modelId.store(parsed->model);
  return 1;
}

std::optional<int> LegacyFpsCounter::picture(Clock::time_point now, int cameraRate) {
  if (!started_) {
    started_ = true;
    start_ = now;
  }
  std::optional<int> ended;
  if (now - start_ > 999ms) {
    shown_ = cameraRate > 0 ? std::min(count_, cameraRate) : count_;
    ended = shown_;
    count_ = 0;
    start_ = now;
  }
  ++count_;
  return ended;
}

namespace {

// How a data thread run ended.
enum class End { kStopped, kLost, kIdle };

class LegacyDataRun {
 public:
  LegacyDataRun(ChannelRecord& record, const platform::ThreadRun& run, int socket)
      : record_(record), run_(run), socket_(socket) {}

  // One request per interval at most, the camera's pace; between them the thread sleeps
  // until the next is due or it is told to stop. A connection not marked connected is looked
  // at again at the same pace.
  End loop() {
    while (run_.running()) {
      const auto nextRequest = std::chrono::steady_clock::now() + kRequestInterval;
      if (record_.avClient && record_.avClient->connected()) {
        std::lock_guard lock(record_.avClient->mutex());
        if (const std::optional<End> end = exchange()) return *end;
      }
      const auto left = nextRequest - std::chrono::steady_clock::now();
      if (left > 0ms) {
        platform::sleepWhileRunning(run_.flag(),
                                    std::chrono::ceil<std::chrono::milliseconds>(left));
      }
    }
    return End::kStopped;
  }

  int lastError() const { return lastError_; }
  const ServerStreamRun& streamRun() const { return streamRun_; }

 private:
  // One request and its picture; an end of the run, or nothing to go on.
  std::optional<End> exchange() {
    if (TcpSendCommand(socket_, legacyCommand(kLegacyPictureRequestCode)) !=
        static_cast<int>(kLegacyCommandBytes)) {
      return End::kLost;
    }
    std::array<std::uint8_t, kLegacyPictureHeaderBytes> headerBytes{};
    const int got = TcpReceiveExact(static_cast<int>(headerBytes.size()), socket_, headerBytes);
    if (got < 0) {
      lastError_ = errno;
      platform::trace("Camera %d: legacy picture header not received (%d)", record_.channel + 1,
                      got);
      return End::kLost;
    }
    if (got == 0) {
      idleMs_ += kIdleStepMs;
      if (idleMs_ > kIdleLimitMs) {
        if (!run_.running()) return End::kStopped;
        showMessage("Receiving data is timeout!,Begin Reconnect to IPCam");
        return End::kIdle;
      }
      return std::nullopt;
    }
    idleMs_ = 0;
    record_.legacyReconnect.store(true);

    const LegacyPictureHeader header = *parseLegacyPictureHeader(headerBytes);
    record_.pictureWidth.store(header.width);
    record_.pictureHeight.store(header.height);
    frameRate_ = header.frameRate;
    attribute_ = header.attribute;
    // Only a mark is noted: the decode thread lets a shown mark go after a few pictures.
    if (header.motion != 0) record_.motionFlag.store(1);

    // Refused without reading: the bytes would not fit the buffer, and what follows them on
    // the connection can no longer be told apart from a header.
    if (header.length > kLegacyPictureBufferBytes) {
      platform::trace("Camera %d: a picture of %u bytes is larger than %zu", record_.channel + 1,
                      header.length, kLegacyPictureBufferBytes);
      lastError_ = EMSGSIZE;
      return End::kLost;
    }
    const int length = static_cast<int>(header.length);
    const int read =
        TcpReceiveExact(length, socket_, std::span(picture_.get(), kLegacyPictureBufferBytes));
    if (read != length || read <= 0) {
      lastError_ = errno;
      platform::trace("Camera %d: legacy picture cut short: %d of %d bytes", record_.channel + 1,
                      read, length);
      return End::kLost;
    }
    countPicture();
    // Only a stream that ran gives the channel a fresh budget of reconnect passes: one that
    // fails at once must spend it.
    if (streamRun_.delivered()) {
      record_.legacyReconnectCount.store(0);
      record_.legacyLastError.store(0);
    }
    record_.stream.videoQueue.push(std::span(picture_.get(), static_cast<std::size_t>(length)));
    return std::nullopt;
  }

  void countPicture() {
    if (const auto ended = fps_.picture(std::chrono::steady_clock::now(), frameRate_)) {
      platform::trace("Current FPS: %d", *ended);
    }
  }

  ChannelRecord& record_;
  const platform::ThreadRun& run_;
  const int socket_;
  // Not zero-filled: only the part a picture reaches is touched.
  std::unique_ptr<std::uint8_t[]> picture_ =
      std::make_unique_for_overwrite<std::uint8_t[]>(kLegacyPictureBufferBytes);
  int idleMs_ = 0;
  int frameRate_ = 0;
  int attribute_ = 0;
  int lastError_ = 0;
  LegacyFpsCounter fps_;
  ServerStreamRun streamRun_;
};

void disconnectAfterLoss(ChannelRecord& record, const LegacyThreadHooks& hooks) {
  logChannelEvent(record.channel, "Disconnected");
  const bool configured = !hooks.cameraConfigured || hooks.cameraConfigured(record.channel);
  if (configured) {
    showTileText(record.channel, kStatusDisconnected, "Message_Disconnected");
  } else {
    showTileText(record.channel, kStatusNoSignal, "Message_NoSignal");
  }
}

}  // namespace

void LegacyServerThread(ChannelRecord& record, const platform::ThreadRun& run,
                        const LegacyThreadHooks& hooks) {
  const int socket = record.legacySocket.load();
  MediaQueue& queue = record.stream.videoQueue;
  queue.setCodecKind(MediaQueue::kJpeg);
  queue.setCamera(record.channel);
  record.motionFlag.store(0);
  channelEvents().streamOpened(record);

  LegacyDataRun data(record, run, socket);
  const End end = socket != 0 ? data.loop() : End::kLost;

  // A thread the slot gave up on leaves the channel to whoever owns it now.
  if (run.abandoned()) return;
  const bool stopped = end == End::kStopped || !run.running();
  if (stopped) {
    channelEvents().streamStopped(record);
  } else {
    channelEvents().streamLost(record);
  }
  if (record.avClient) record.avClient->setConnected(false);
  closeLegacySocket(record);
  if (stopped) return;
  reportPicturesLost(record);

  // A stream that had been flowing comes back by itself; the timeout says it reconnects too.
  // So does a request that can no longer be sent: a camera that restarts closes its side, and
  // the next request is what notices it.
  const bool reconnect = socket != 0 && record.legacyReconnect.load();
  if (reconnect && hooks.restartConnection) {
    platform::trace("Camera %d: legacy stream lost (errno %d); reconnecting", record.channel + 1,
                    data.lastError());
    record.legacyLastError.store(data.lastError());
    record.serverReopen.openAt(data.streamRun().reopenAt());
    // The last picture stays on the tile, marked as old, while the camera is asked again.
    showTileText(record.channel, kStatusConnecting, "Message_Connecting");
    hooks.restartConnection(record);
    return;
  }
  disconnectAfterLoss(record, hooks);
}

}  // namespace ipcam
