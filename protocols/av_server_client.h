#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/reconnect_pace.h"
#include "platform/thread_slot.h"

namespace ipcam {

struct ChannelRecord;

// ---- Wire format of the MPEG-4 camera server ----------------------------------------------

// Control messages: one fixed-size message each way per command, on a connection of its own.
// Model numbers 15 and 16 use a form three bytes longer, which moves the credentials.
inline constexpr std::size_t kAvsMessageSize = 415;
inline constexpr std::size_t kAvsLongMessageSize = 418;
// Behind every answer the server sends four more bytes that carry nothing we use.
inline constexpr std::size_t kAvsAnswerTrailer = 4;

inline constexpr std::uint8_t kAvsRequestLogin = 1;
inline constexpr std::uint8_t kAvsRequestConnect = 4;
inline constexpr std::uint8_t kAvsAnswerAck = 8;        // ENET_AVS_MSG_ACK
inline constexpr std::uint8_t kAvsAnswerAdminAck = 12;  // ENET_AVS_MSG_ADMIN_ACK

inline constexpr std::size_t kAvsTypeOffset = 0;
inline constexpr std::size_t kAvsKeyOffset = 1;
inline constexpr std::size_t kAvsAddressOffset = 2;
inline constexpr std::size_t kAvsPortOffset = 6;
inline constexpr std::size_t kAvsUserOffset = 351;
inline constexpr std::size_t kAvsPasswordOffset = 383;
inline constexpr std::size_t kAvsLongFormShift = kAvsLongMessageSize - kAvsMessageSize;
inline constexpr std::size_t kAvsCredentialBytes = 12;

// Data connection: every frame behind a 28-byte little-endian header.
inline constexpr std::size_t kAvsHeaderSize = 28;
inline constexpr std::size_t kAvsHeaderWidthOffset = 3;
inline constexpr std::size_t kAvsHeaderHeightOffset = 5;
inline constexpr std::size_t kAvsHeaderLengthOffset = 11;
inline constexpr std::size_t kAvsHeaderMotionOffset = 27;
// The receive buffer, and so the longest payload taken; the header carries no other bound.
inline constexpr std::size_t kAvsLargestPayload = 1'966'080;

enum class AvsFrameType : std::uint8_t { kVideo = 0, kAudio = 1, kIgnored = 2 };

// The camera's model numbers 15 and 16 speak the long form.
bool avsUsesLongForm(int modelNumber);
std::size_t avsMessageSize(bool longForm);

// The connect request: the camera's address (network order, octets a.b.c.d) goes out as
// b, a, d, c and the data port as it is, in network order.
std::vector<std::uint8_t> buildAvsConnectRequest(std::uint32_t cameraAddress,
                                                 std::uint16_t dataPort, std::uint8_t key,
                                                 bool longForm);
// The login request: the address goes out as c, d, a, b and the control port in network
// order; user name and password are cut to 12 bytes and padded with NULs.
std::vector<std::uint8_t> buildAvsLoginRequest(std::uint32_t cameraAddress,
                                               std::uint16_t controlPort, std::string_view user,
                                               std::string_view password, std::uint8_t key,
                                               bool longForm);
// The answer's message type; nothing unless the answer has the full size of its form.
std::optional<std::uint8_t> parseAvsAnswer(std::span<const std::uint8_t> answer, bool longForm);

struct AvsFrameHeader {
  std::uint8_t type = 0;  // AvsFrameType, or anything else the camera sent
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t length = 0;
  bool motion = false;
};
// Reads a data header; nothing unless all 28 bytes are there.
std::optional<AvsFrameHeader> parseAvsFrameHeader(std::span<const std::uint8_t> header);
// Whether a payload of that length fits the receive buffer.
inline bool avsPayloadAccepted(std::uint32_t length) {
  return length <= kAvsLargestPayload;
}

// ---- The channel's connection to the server -----------------------------------------------

// The channel's client of the older binary camera servers: the MPEG-4 server's control
// address and connection flags, its data socket until the data thread takes it over, and the
// legacy server's socket (whose protocol uses the same object). Created once at start-up for
// every channel.
class AvServerClient {
 public:
  AvServerClient() = default;
  AvServerClient(const AvServerClient&) = delete;
  AvServerClient& operator=(const AvServerClient&) = delete;
  ~AvServerClient() { disconnect(); }

  void setChannel(int channel) { channel_.store(channel); }
  int channel() const { return channel_.load(); }

  // Not connected, both state flags false, both sockets invalid, marked network-ready.
  void reset();
  // Closes both sockets; safe to call twice.
  void disconnect();

  bool connected() const { return connected_.load(); }
  void setConnected(bool connected) { connected_.store(connected); }
  bool administrator() const { return administrator_.load(); }
  // The camera answered the last log-in (MPEG-4 server or legacy server) and refused it, as
  // against no answer at all: the user name or password is wrong.
  bool loginRefused() const { return loginRefused_.load(); }
  void setLoginRefused(bool refused) { loginRefused_.store(refused); }
  // Taken by the legacy server connection and data threads around their use of the client.
  std::mutex& mutex() { return mutex_; }

  // The MPEG-4 server's control address, as the last connect resolved it (network order).
  std::uint32_t controlAddress() const { return controlAddress_.load(); }
  std::uint16_t controlPort() const { return controlPort_.load(); }
  // The data port the connect request announces: 0, since the server's data port is always
  // the control port + 1 and the viewer never asks for another.
  std::uint16_t announcedDataPort() const { return announcedDataPort_.load(); }

  // The data socket that AvsOpenDataConnection opened; the data thread takes it over (its
  // close is then the thread's), so the client never closes a socket still in use.
  void setDataSocket(int fd);
  int takeDataSocket();

  // What AvsTeardown sends when set: the RTSP-style teardown of a session the server keeps.
  struct Teardown {
    std::string host;
    std::string port;
    std::string path;
    std::string session;
  };
  void setTeardown(std::optional<Teardown> teardown);
  std::optional<Teardown> teardown() const;

 private:
  friend int AvsConnect(const std::string& host, std::uint16_t controlPort, AvServerClient& client,
                        bool longForm);
  friend int AvsLogin(AvServerClient& client, std::string_view user, std::string_view password,
                      bool longForm);
  friend void AvsTeardown(AvServerClient& client);

  std::atomic<int> channel_{-1};
  std::atomic<bool> connected_{false};               // atomic: written by the protocol threads
  std::atomic<bool> administrator_{false};           // atomic: written by the login
  std::atomic<bool> loggedIn_{false};                // atomic
  std::atomic<bool> loginRefused_{false};            // atomic: written by the logins
  std::atomic<bool> streaming_{false};               // atomic
  std::atomic<std::uint32_t> controlAddress_{0};     // atomic: written by the connect
  std::atomic<std::uint16_t> controlPort_{0};        // atomic: written by the connect
  std::atomic<std::uint16_t> announcedDataPort_{0};  // atomic; stays 0
  std::atomic<int> controlSocket_{-1};               // atomic; closed only by disconnect()
  std::atomic<int> dataSocket_{-1};  // atomic; closed by disconnect() unless taken over
  std::mutex mutex_;
  mutable std::mutex teardownMutex_;
  std::optional<Teardown> teardown_;  // guarded by teardownMutex_
};

// Connect command (type 4) on a short control connection: 1 when the server answered
// ENET_AVS_MSG_ACK, else 0. A host that cannot be resolved is shown in a message box.
int AvsConnect(const std::string& host, std::uint16_t controlPort, AvServerClient& client,
               bool longForm);
// Login command (type 1) to the address of the last connect: 1 when answered with either
// ENET_AVS_MSG_ADMIN_ACK (administrator) or ENET_AVS_MSG_ACK (not), else 0.
int AvsLogin(AvServerClient& client, std::string_view user, std::string_view password,
             bool longForm);
// Opens the data connection to host:dataPort and keeps its socket in the client: 1 or 0.
int AvsOpenDataConnection(const std::string& host, std::uint16_t dataPort, AvServerClient& client);
// Sends the teardown (only when connected and one is set), then closes the connection's
// sockets and clears its flags.
void AvsTeardown(AvServerClient& client);

// ---- The data connection's receive loop ----------------------------------------------------

// Where the data loop hands what arrives. Called on the data thread.
class AvsFrameHandler {
 public:
  virtual ~AvsFrameHandler() = default;
  // The header said the camera sees motion.
  virtual void motion() = 0;
  // A complete frame arrived (any type, before it is looked at): data flows.
  virtual void dataArrived() = 0;
  virtual void video(std::span<const std::uint8_t> frame, std::uint16_t width,
                     std::uint16_t height) = 0;
  virtual void audio(std::span<const std::uint8_t> frame) = 0;
  // Whether the connection is marked connected; frames are read only while it is.
  virtual bool connected() const = 0;
};

enum class AvsDataEnd {
  kStopped,      // the run flag dropped
  kIdle,         // nothing arrived within the idle limit
  kLost,         // the connection closed or failed, or a frame came only in part
  kBadProtocol,  // a header announced more than the receive buffer takes
};

struct AvsDataLimits {
  // Nothing at all arriving for this long ends the loop.
  std::chrono::milliseconds idleLimit{60000};
  // How long a connection that is not (yet) marked connected is left before it is looked at
  // again: its bytes are not read meanwhile, so the socket stays readable.
  std::chrono::milliseconds notConnectedPause{100};
  // A frame that has begun must go on arriving within this time.
  std::chrono::milliseconds receiveTimeout{30000};
};

// Reads header after header from the data socket until the run flag drops or the stream
// ends. `buffer` is the receive buffer (kAvsLargestPayload bytes).
AvsDataEnd runAvsDataLoop(int fd, const platform::ThreadRun& run, AvsFrameHandler& handler,
                          std::span<std::uint8_t> buffer, const AvsDataLimits& limits = {});

// The channel's end of the data loop: the server's frames go into the channel's video and
// audio queues, the same ones the HTTP and RTSP roads fill, for the one decode thread and the
// one audio thread; a full queue refuses a frame rather than hold up the receiver.
class AvsQueueFeed final : public AvsFrameHandler {
 public:
  AvsQueueFeed(ChannelRecord& record, const AvServerClient& client)
      : record_(record), client_(client) {}

  // Says what the run's frames are, for the threads that take them: MPEG-4 pictures, and
  // A-law or GSM sound as the camera's family sends it. Called before the loop starts.
  void prepareQueues();

  void motion() override;
  void dataArrived() override;
  void video(std::span<const std::uint8_t> frame, std::uint16_t width,
             std::uint16_t height) override;
  void audio(std::span<const std::uint8_t> frame) override;
  bool connected() const override;
  const ServerStreamRun& streamRun() const { return streamRun_; }

 private:
  ServerStreamRun streamRun_;
  ChannelRecord& record_;
  const AvServerClient& client_;
};

}  // namespace ipcam
