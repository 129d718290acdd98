#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/http_camera_client.h"

namespace ipcam {

struct StreamContext;

// The RTSP connections of one worker: a slot per stream kind, each with its socket and the
// TEARDOWN that PLAY prepared. Owned by one thread; no lock is taken inside.
class RtspClient {
 public:
  static constexpr int kSlots = 4;

  RtspClient();
  // Closes every slot (sending its prepared TEARDOWN).
  ~RtspClient();
  RtspClient(const RtspClient&) = delete;
  RtspClient& operator=(const RtspClient&) = delete;

  // Optional: the run flag of the owning thread (it must outlive the client).
  void setRunFlag(const HttpRunFlag* runFlag) { runFlag_ = runFlag; }
  const HttpRunFlag* runFlag() const { return runFlag_; }

  // Sends the slot's prepared TEARDOWN (no answer is read), forgets it, marks the slot not
  // connected and closes its socket. Safe to call twice.
  void closeSlot(int slot);
  void closeAll();

  std::array<std::uint8_t, kSlots> connected{};
  std::array<TcpSocket, kSlots> sockets;
  std::array<std::string, kSlots> teardown;  // empty when none is prepared
  // One payload as received, with room in front for what reassembly puts there (a start code
  // or the JPEG header), so a packet is rebuilt without moving its data.
  std::vector<std::uint8_t> packet;
  // Per slot: what the connection has received and not yet used, answers and interleaved
  // packets alike.
  std::array<HttpStreamReader, kSlots> readers;

 private:
  const HttpRunFlag* runFlag_ = nullptr;
};

// What the worker asks of the client, what the client answers, and the reassembly state of
// the stream. Texts are cut to their limits when they are used.
struct RtspRequest {
  enum Command : std::uint8_t { kQuery = 0, kClose = 1, kOpen = 2, kRead = 3 };
  // Also the slot, the path key of the parameter query and the reassembly.
  enum Kind : std::uint8_t { kMpeg4 = 0, kH264 = 1, kJpeg = 2 };
  enum MediaKind : std::uint8_t { kControl = 0, kAudio = 1, kVideo = 2 };

  static constexpr std::size_t kTextLimit = 127;
  static constexpr std::size_t kPathLimit = 63;
  static constexpr std::size_t kParameterSetsCapacity = 128;

  std::uint8_t command = kQuery;
  std::uint8_t streamKind = kMpeg4;
  std::uint8_t connected = 0;   // client: the slot's flag after Query, Close and Open
  std::uint32_t elapsedMs = 0;  // client: how long the call took
  std::string user;
  std::string password;
  std::string host;
  std::uint16_t rtspPort = 0;       // from the parameter query
  std::uint32_t timeoutMs = 10000;  // socket time-outs
  std::string streamPath;           // the path behind the port, from the parameter query
  std::int32_t rtspStatus = 0;      // client: 0, or 401, 404, 406 after a failed Open
  // H.264: 00 00 00 01 SPS 00 00 00 01 PPS.
  std::array<std::uint8_t, kParameterSetsCapacity> parameterSets{};
  std::uint32_t parameterSetsLength = 0;

  std::span<std::uint8_t> audioBuffer;  // its size is the audio capacity
  std::uint32_t audioLength = 0;        // the audio packet last completed
  std::uint32_t audioFill = 0;
  std::span<std::uint8_t> videoBuffer;  // its size is the video capacity
  std::uint32_t videoLength = 0;        // the frame gathered so far, or completed
  std::uint32_t videoFill = 0;          // where the next payload goes; 0 at a new frame

  std::uint8_t mediaKind = kControl;
  std::uint8_t frameContinues = 0;  // video packet without the RTP marker bit
  std::uint8_t motionByte = 0;      // from the packet's RTP padding
  std::uint8_t jpegFrameOpen = 0;   // a JPEG picture is being gathered, packets in sequence
  std::uint16_t lastVideoSequence = 0;
};

// Result offsets of the two wrapping steps.
inline constexpr int kRtspOpenOffset = static_cast<int>(CommandStage::kOpen);
inline constexpr int kRtspReadOffset = static_cast<int>(CommandStage::kTransfer);
// The largest RTP payload a camera sends in one interleaved packet.
inline constexpr std::size_t kRtpPayloadLimit = 8196;
// The longest SDP a DESCRIBE answer may carry (standard servers write 500 bytes and more for
// ordinary streams).
inline constexpr std::size_t kSdpLimit = 16384;
// The generated JPEG header of a picture rebuilt from RFC 2435 packets.
inline constexpr std::size_t kJpegHeaderBytes = 605;

// Performs the request's command on the slot of its stream kind and sets elapsedMs. A null
// request is close-all. Results:
//   0        success (commands 4..255 do nothing)
//   -2       stream kind above 3
//   Open     (the whole Open has timeoutMs; a receive that runs past it fails as a receive
//            error) -1001..-1004 connect; -1011..-1017 DESCRIBE exchange (rtspStatus
//            401/404/406);
//            -1030 SDP length missing or outside 1..kSdpLimit, -1031/-1034/-1035 reading the
//            SDP;
//            -1040 H.264 without usable "sprop-parameter-sets="; -1041 no track with a
//            control attribute; -1051..-1057 SETUP exchange; -1061..-1067 PLAY exchange
//   Read     -2001 not connected, -2011 no socket, -2014/-2015 peer closed/receive error in
//            the header; -2020 not "$" (the stream is scanned on to the next packet header),
//            -2021 bad channel, -2022 bad payload type, -2023 bad length (a refused packet is
//            passed over whole); -2031/-2034/-2035 payload receive; -2040/-2042 audio/video
//            buffer missing or full; -2041 JPEG packet outside an in-sequence picture
int RunRtspRequest(RtspRequest* request, RtspClient& client);

// The parameter list answered "Unauthorized": the camera refused the credentials.
inline constexpr int kRtspParametersUnauthorized = -2;

// Asks the camera's parameter list for the RTSP port and the path of `streamKind` (plain
// list, or the XML list when the camera refuses the plain one). Port 0 and an empty path
// when nothing is found. 0 when a list was read, kRtspParametersUnauthorized when the camera
// refused the credentials, else the failed fetch's code.
int QueryRtspParameters(const StreamContext& context, std::uint16_t& rtspPort,
                        std::string& streamPath, int& enable, int streamKind,
                        const HttpRunFlag* runFlag = nullptr);

// Writes the 605-byte JPEG header of an RFC 2435 picture (standard Huffman tables, the two
// quantization tables as received, zigzag order). 605, or -1 when `output` is too small.
int BuildJpegHeader(std::span<std::uint8_t> output, int heightBy8, int widthBy8, int type,
                    std::span<const std::uint8_t, 64> table0,
                    std::span<const std::uint8_t, 64> table1);

}  // namespace ipcam
