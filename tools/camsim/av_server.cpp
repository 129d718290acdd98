#include "tools/camsim/av_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "tools/camsim/rtsp_media.h"

namespace ipcam::camsim {
namespace {

using Clock = std::chrono::steady_clock;

// The camera's message sizes: model numbers 15 and 16 use three bytes more.
constexpr std::size_t kShortMessage = 415;
constexpr std::size_t kLongMessage = 418;
constexpr std::size_t kTrailer = 4;
constexpr std::uint8_t kLogin = 1;
constexpr std::uint8_t kConnect = 4;
constexpr std::uint8_t kAck = 8;
constexpr std::uint8_t kAdminAck = 12;
constexpr std::uint8_t kRefused = 0;  // anything but the two acknowledgements
constexpr std::size_t kUserAt = 351;
constexpr std::size_t kPasswordAt = 383;
constexpr std::size_t kNameBytes = 12;

// Data frames: the camera's 28-byte header, little-endian.
constexpr std::size_t kHeaderBytes = 28;
constexpr std::uint8_t kVideoFrame = 0;
constexpr std::uint8_t kAudioFrame = 1;
// A frame the huge-length fault announces: one byte more than the viewer's receive buffer.
constexpr std::uint32_t kHugeLength = 1'966'081;
// The audio is 8 kHz A-law, sent in 20 ms blocks.
constexpr std::size_t kAudioBytesPerSecond = 8000;

constexpr int kControlTimeoutMs = 5000;

bool isLongForm(std::uint32_t model) {
  return model == 15 || model == 16;
}

bool readAll(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::recv(fd, data + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool sendAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t sent = ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

std::string dotted(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
         std::to_string(d);
}

std::string nameAt(const std::vector<std::uint8_t>& message, std::size_t at) {
  std::string name(reinterpret_cast<const char*>(message.data() + at), kNameBytes);
  name.resize(std::strlen(name.c_str()));
  return name;
}

// The request as the camera reads it. Its firmware undoes the viewer's byte-order conversions:
// in a connect message the address octets arrive pairwise swapped (b a d c), in a login message
// converted once more as a whole (c d a b); the port arrives in network order either way.
AvControlRequest readRequest(const std::vector<std::uint8_t>& message, bool longForm) {
  AvControlRequest request;
  request.type = message[0];
  request.size = message.size();
  request.port = static_cast<std::uint16_t>(message[6] << 8 | message[7]);
  if (request.type == kConnect) {
    request.address = dotted(message[3], message[2], message[5], message[4]);
  } else {
    request.address = dotted(message[4], message[5], message[2], message[3]);
    const std::size_t shift = longForm ? kLongMessage - kShortMessage : 0;
    request.user = nameAt(message, kUserAt + shift);
    request.password = nameAt(message, kPasswordAt + shift);
  }
  return request;
}

std::array<std::uint8_t, kHeaderBytes> frameHeader(std::uint8_t type, std::uint32_t width,
                                                   std::uint32_t height, std::size_t length,
                                                   bool motion) {
  std::array<std::uint8_t, kHeaderBytes> header{};
  header[0] = type;
  header[3] = static_cast<std::uint8_t>(width & 0xff);
  header[4] = static_cast<std::uint8_t>(width >> 8);
  header[5] = static_cast<std::uint8_t>(height & 0xff);
  header[6] = static_cast<std::uint8_t>(height >> 8);
  for (int i = 0; i < 4; ++i) header[11 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  header[27] = motion ? 1 : 0;
  return header;
}

}  // namespace

AvServer::AvServer(OptionsSource options) : options_(std::move(options)) {}

AvServer::~AvServer() {
  stop();
}

bool AvServer::start() {
  if (started_.exchange(true)) return false;
  // The data port is the control port + 1: look for a free pair.
  for (int attempt = 0; attempt < 50; ++attempt) {
    const bool controlListens = listener_.listen(
        0, 16, [this](int fd) { answerControl(fd, options_()); }, Listener::Mode::Inline);
    const std::uint16_t control = listener_.port(0);
    if (!controlListens || control == 65535 ||
        !listener_.listen(static_cast<std::uint16_t>(control + 1), 16,
                          [this](int fd) { serveData(fd); })) {
      listener_.closeListeners();
      continue;
    }
    controlPort_.store(control);
    video(options_());  // encoded before the first viewer comes
    return listener_.start();
  }
  std::lock_guard lock(mutex_);
  lastError_ = "no two neighbouring free ports on 127.0.0.1";
  return false;
}

void AvServer::stop() {
  std::lock_guard stopLock(stopMutex_);
  {
    std::lock_guard lock(mutex_);
    stopping_.store(true);
  }
  wake_.notify_all();
  listener_.stop();
}

std::string AvServer::lastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

std::vector<AvControlRequest> AvServer::controlRequests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void AvServer::dropDataConnections() {
  listener_.dropConnections();
}

std::shared_ptr<const EncodedVideo> AvServer::video(const Options& options) {
  std::lock_guard lock(mutex_);
  if (!video_ || video_->width != options.pictureWidth || video_->height != options.pictureHeight) {
    video_ = encodeVideo(RtspCodec::Mpeg4, options.pictureWidth & ~1u, options.pictureHeight & ~1u,
                         kVideoCycle);
  }
  return video_;
}

void AvServer::answerControl(int fd, const Options& options) {
  timeval timeout{kControlTimeoutMs / 1000, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const bool longForm = isLongForm(options.modelId);
  std::vector<std::uint8_t> message(longForm ? kLongMessage : kShortMessage);
  if (!readAll(fd, message.data(), message.size())) return;
  const AvControlRequest request = readRequest(message, longForm);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  std::uint8_t answer = kRefused;
  if (request.type == kConnect) {
    answer = kAck;
  } else if (request.type == kLogin) {
    const bool known = request.user == options.user.substr(0, kNameBytes) &&
                       request.password == options.password.substr(0, kNameBytes);
    if (known) answer = options.avAdmin ? kAdminAck : kAck;
  }
  std::vector<std::uint8_t> reply(message.size() + kTrailer, 0);
  reply[0] = answer;
  sendAll(fd, reply.data(), reply.size());
}

void AvServer::serveData(int fd) {
  dataConnections_.fetch_add(1);
  // A viewer that stops reading is given up on rather than waited for.
  timeval timeout{kControlTimeoutMs / 1000, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const Options options = options_();
  const std::shared_ptr<const EncodedVideo> encoded = video(options);
  const std::uint32_t fps = std::max<std::uint32_t>(options.framesPerSecond, 1);
  const auto frameTime = std::chrono::microseconds(1'000'000 / fps);
  AlawTone tone(options.toneHertz);
  std::size_t audioOwed = 0;  // A-law bytes due but not yet sent
  const std::size_t audioPerFrame = kAudioBytesPerSecond / fps;

  Clock::time_point next = Clock::now();
  for (std::uint64_t index = 0; encoded && !stopping_.load(); ++index) {
    const std::string& frame = encoded->frames[index % encoded->frames.size()].front();
    const bool motion = options.motionEvery != 0 && (index + 1) % options.motionEvery == 0;
    const std::uint32_t every = std::max<std::uint32_t>(options.streamFaultEvery, 1);
    if (options.streamFault == StreamFault::HugeLength && (index + 1) % every == 0) {
      // Only the header goes out: what follows on the connection would be read as its payload.
      const auto huge =
          frameHeader(kVideoFrame, encoded->width, encoded->height, kHugeLength, motion);
      if (!sendAll(fd, huge.data(), huge.size())) break;
    } else {
      const auto header =
          frameHeader(kVideoFrame, encoded->width, encoded->height, frame.size(), motion);
      if (!sendAll(fd, header.data(), header.size()) || !sendAll(fd, frame.data(), frame.size()))
        break;
    }
    videoFramesSent_.fetch_add(1);
    if (options.avAudio) {
      audioOwed += audioPerFrame;
      bool sent = true;
      while (sent && audioOwed >= AlawTone::kPacketBytes) {
        const std::string packet = tone.nextPacket();
        const auto audioHeader = frameHeader(kAudioFrame, 0, 0, packet.size(), false);
        sent = sendAll(fd, audioHeader.data(), audioHeader.size()) &&
               sendAll(fd, packet.data(), packet.size());
        audioOwed -= AlawTone::kPacketBytes;
      }
      if (!sent) break;
    }
    next += frameTime;
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, next, [this] { return stopping_.load(); });
  }
  dataConnections_.fetch_sub(1);
}

}  // namespace ipcam::camsim
