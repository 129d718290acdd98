#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam::camsim {

enum class RtspCodec { Mpeg4, H264, Jpeg };

// TurboJPEG quality of the RTSP pictures; its tables travel in every picture's first packet.
inline constexpr int kRtspJpegQuality = 75;

// A cycle of the moving test pattern, encoded once so that serving only copies bytes. The first
// frame of the cycle is a key frame, so a session that starts there decodes from its first frame.
struct EncodedVideo {
  RtspCodec codec = RtspCodec::H264;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Per frame, the pieces that are packetised on their own:
  // H.264: the slice NAL units without start codes (SPS and PPS are kept apart below);
  // MPEG-4: one piece, the frame's bitstream from its first start code on;
  // JPEG: one piece, the entropy-coded scan data without markers around it.
  std::vector<std::vector<std::string>> frames;
  std::string sps;     // H.264, without start code
  std::string pps;     // H.264, without start code
  std::string sei;     // H.264: a user-data SEI for the in-band parameter sets, without start code
  std::string config;  // MPEG-4: the headers in front of the first VOP (VOS, VO, VOL)
  int mpeg4ProfileLevel = 1;
  std::array<unsigned char, 128> jpegTables{};  // luminance, then chrominance, zigzag order
};

// nullptr when the encoder is missing (libx264 is optional in libavcodec) or fails. Sides must be
// even (multiples of 16 for JPEG, whose RTP header carries them in units of 8 with 4:2:0 MCUs).
std::shared_ptr<const EncodedVideo> encodeVideo(RtspCodec codec, std::uint32_t width,
                                                std::uint32_t height, std::size_t count);

// The tables and scan data of a baseline 4:2:0 JPEG as RFC 2435 carries them; false for anything
// else (other sampling, 16-bit tables, restart intervals).
bool splitJpeg(std::string_view jpeg, std::array<unsigned char, 128>& tables, std::string& scan);

// ITU-T G.711 A-law, with the even bits inverted as sent on the wire.
std::uint8_t alawFromLinear(std::int16_t sample);

// 20 ms packets of a sine tone as 8 kHz A-law.
class AlawTone {
 public:
  static constexpr std::size_t kPacketBytes = 160;

  explicit AlawTone(std::uint32_t hertz, int amplitude = 8000);
  std::string nextPacket();

 private:
  double phase_ = 0.0;  // radians, kept below 2 pi
  double step_;         // radians per sample
  int amplitude_;
};

}  // namespace ipcam::camsim
