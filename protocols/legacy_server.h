#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace ipcam {

namespace platform {
class ThreadRun;
}

struct ChannelRecord;
class AvServerClient;

// The oldest camera generation: fixed 120-byte commands on one TCP connection, answered by a
// 28-byte picture header and the JPEG.
inline constexpr std::size_t kLegacyCommandBytes = 120;
inline constexpr std::size_t kLegacyPictureHeaderBytes = 28;
inline constexpr std::size_t kLegacyDescriptionBytes = 32;
// The picture buffer; the header carries no other bound, so anything longer is refused.
inline constexpr std::size_t kLegacyPictureBufferBytes = 131072;
inline constexpr std::uint32_t kLegacyLoginCode = 1;
inline constexpr std::uint32_t kLegacyPictureRequestCode = 14;
inline constexpr std::int32_t kLegacyLoginRefused = 99;
// User name and password share these bytes of the login command, behind the code.
inline constexpr std::size_t kLegacyNameOffset = 4;
inline constexpr std::size_t kLegacyCredentialChars = 36;

using LegacyCommand = std::array<std::uint8_t, kLegacyCommandBytes>;
using LegacyDescription = std::array<std::uint8_t, kLegacyDescriptionBytes>;

// A command of `code` with every other byte 0.
LegacyCommand legacyCommand(std::uint32_t code);
// The login: the user name from byte 4 (at most 36 characters), its NUL, and right behind it
// the password cut to 36 minus the name's length.
LegacyCommand legacyLoginCommand(std::string_view user, std::string_view password);

struct LegacyLoginAnswer {
  std::int32_t result = 0;
  // The first two 16-bit fields already in host order.
  LegacyDescription description{};
  std::int8_t model = 0;
  std::int8_t vendor = 0;
};
// Nothing for an answer shorter than 120 bytes.
std::optional<LegacyLoginAnswer> parseLegacyLoginAnswer(std::span<const std::uint8_t> answer);

struct LegacyPictureHeader {
  std::uint32_t length = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint8_t frameRate = 0;
  std::int8_t attribute = 0;
  std::int8_t motion = 0;
};
// Nothing for a header shorter than 28 bytes. The length is as sent: the caller bounds it.
std::optional<LegacyPictureHeader> parseLegacyPictureHeader(std::span<const std::uint8_t> header);

// Receives exactly `length` bytes into the front of `buffer`, each receive with a 10 s
// time-out: the length, 0 when the peer closed, -1 on a receive error (a time-out included)
// or when `length` does not fit `buffer`. A length of 0 or less is returned as it is.
int TcpReceiveExact(int length, int socket, std::span<std::uint8_t> buffer);
// Sends the whole command, looping over partial sends: 120, or the failing send's result.
int TcpSendCommand(int socket, const LegacyCommand& command);

// Opens the channel's connection to its video port (the record's `port`): 1, or -1 with
// nothing left open.
int LegacyServerConnect(ChannelRecord& record, AvServerClient& client);
// Logs in under the command mutex: 1, or 0 when refused (99) or the exchange fell short. The
// description block reaches `description` whenever an answer came, refused or not.
int LegacyServerLogin(ChannelRecord& record, AvServerClient& client,
                      LegacyDescription& description);

// What the data thread needs from the layers above it.
struct LegacyThreadHooks {
  // A lost stream with the reconnect armed: the connection worker starts again.
  std::function<void(ChannelRecord&)> restartConnection;
  // "Message_Disconnected" (20) or "Message_NoSignal" (5) after a disconnect.
  std::function<bool(int channel)> cameraConfigured;
};

// Counts pictures per second, shown as "Current FPS: %d": never more than the camera says it
// sends, restarted when more than 999 ms have passed.
class LegacyFpsCounter {
 public:
  using Clock = std::chrono::steady_clock;
  // The count shown for the second that just ended, when one ended with this picture.
  std::optional<int> picture(Clock::time_point now, int cameraRate);
  int shown() const { return shown_; }

 private:
  Clock::time_point start_{};
  bool started_ = false;
  int count_ = 0;
  int shown_ = 0;
};

// The data thread: a picture request about every 45 ms, each picture into the channel's video
// queue, for the decode thread that records, decodes and shows it; the thread reports the
// stream opened and lost to the channel's event sink. Runs while `run` says so.
void LegacyServerThread(ChannelRecord& record, const platform::ThreadRun& run,
                        const LegacyThreadHooks& hooks);

}  // namespace ipcam
