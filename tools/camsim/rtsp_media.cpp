#include "tools/camsim/rtsp_media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <numbers>

#include "tools/camsim/test_media.h"

namespace ipcam::camsim {
namespace {

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

// BT.601 studio range, chroma averaged over each 2x2 block: what both encoders expect.
void fillYuv420(AVFrame& frame, const std::vector<unsigned char>& rgb, int width, int height) {
  const auto at = [&](int x, int y, int channel) {
    return static_cast<int>(rgb[(static_cast<std::size_t>(y) * width + x) * 3 + channel]);
  };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int r = at(x, y, 0);
      const int g = at(x, y, 1);
      const int b = at(x, y, 2);
      frame.data[0][y * frame.linesize[0] + x] =
          static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
    }
  }
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < width / 2; ++x) {
      int r = 0;
      int g = 0;
      int b = 0;
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
          r += at(2 * x + dx, 2 * y + dy, 0);
          g += at(2 * x + dx, 2 * y + dy, 1);
          b += at(2 * x + dx, 2 * y + dy, 2);
        }
      }
      r /= 4;
      g /= 4;
      b /= 4;
      frame.data[1][y * frame.linesize[1] + x] =
          static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
      frame.data[2][y * frame.linesize[2] + x] =
          static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
    }
  }
}

// Feeds the cycle through an opened encoder; one packet per frame, in order (the encoders are
// set up without B-frames or look-ahead).
std::vector<std::string> encodeCycle(AVCodecContext& context, std::size_t count) {
  std::vector<std::string> packets;
  const std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  const std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!frame || !packet) return {};
  frame->format = context.pix_fmt;
  frame->width = context.width;
  frame->height = context.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return {};

  const auto drain = [&]() {
    for (;;) {
      const int result = avcodec_receive_packet(&context, packet.get());
      if (result < 0) return result == AVERROR(EAGAIN) || result == AVERROR_EOF;
      packets.emplace_back(reinterpret_cast<const char*>(packet->data),
                           static_cast<std::size_t>(packet->size));
      av_packet_unref(packet.get());
    }
  };
  for (std::size_t index = 0; index < count; ++index) {
    if (av_frame_make_writable(frame.get()) < 0) return {};
    fillYuv420(*frame,
               drawTestPicture(static_cast<std::uint32_t>(context.width),
                               static_cast<std::uint32_t>(context.height), index, count),
               context.width, context.height);
    frame->pts = static_cast<std::int64_t>(index);
    frame->pict_type = index == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(&context, frame.get()) < 0 || !drain()) return {};
  }
  if (avcodec_send_frame(&context, nullptr) < 0 || !drain()) return {};
  if (packets.size() != count) return {};
  return packets;
}

CodecContext openEncoder(const AVCodec* codec, std::uint32_t width, std::uint32_t height,
                         std::size_t count) {
  if (codec == nullptr) return nullptr;
  CodecContext context(avcodec_alloc_context3(codec));
  if (!context) return nullptr;
  context->width = static_cast<int>(width);
  context->height = static_cast<int>(height);
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = {1, 25};
  context->framerate = {25, 1};
  context->gop_size = static_cast<int>(count);
  context->max_b_frames = 0;
  return context;
}

// Splits an Annex B byte stream at its start codes.
std::vector<std::string> nalUnits(std::string_view stream) {
  std::vector<std::string> units;
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
    if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
    if (start != std::string_view::npos) {
      std::size_t end = i;
      while (end > start && stream[end - 1] == 0) --end;  // a four-byte start code's zero
      units.emplace_back(stream.substr(start, end - start));
    }
    start = i + 3;
    i += 2;
  }
  if (start != std::string_view::npos && start < stream.size())
    units.emplace_back(stream.substr(start));
  return units;
}

// A "user data unregistered" SEI message (H.264 D.1.7) naming the simulator. The UUID and the
// text hold no zero bytes, so the unit needs no emulation prevention.
std::string userDataSei() {
  constexpr std::uint8_t kSeiUnit = 0x06;
  constexpr std::uint8_t kUserDataUnregistered = 5;
  constexpr std::string_view kUuid =
      "\x63\x61\x6d\x73\x69\x6d\x2d\x69\x70\x63\x61\x6d\x2d\x73\x65\x69";
  constexpr std::string_view kText = "camsim";
  constexpr std::uint8_t kTrailingBits = 0x80;
  std::string unit;
  unit.push_back(static_cast<char>(kSeiUnit));
  unit.push_back(static_cast<char>(kUserDataUnregistered));
  unit.push_back(static_cast<char>(kUuid.size() + kText.size()));
  unit += kUuid;
  unit += kText;
  unit.push_back(static_cast<char>(kTrailingBits));
  return unit;
}

std::shared_ptr<const EncodedVideo> encodeH264(std::uint32_t width, std::uint32_t height,
                                               std::size_t count) {
  CodecContext context = openEncoder(avcodec_find_encoder_by_name("libx264"), width, height, count);
  if (!context) return nullptr;
  av_opt_set(context->priv_data, "preset", "ultrafast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  av_opt_set(context->priv_data, "profile", "baseline", 0);
  av_opt_set(context->priv_data, "x264-params", "scenecut=0", 0);
  // One slice a picture: the key frame then outgrows a packet and goes out as FU-A fragments.
  context->thread_count = 1;
  // The parameter sets come out once, in the extradata, for the SDP; the IDR frame gets its own
  // copies below so that a decoder that ignores the SDP still starts.
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(context.get(), nullptr, nullptr) < 0) return nullptr;

  auto video = std::make_shared<EncodedVideo>();
  video->codec = RtspCodec::H264;
  video->width = width;
  video->height = height;
  for (std::string& unit :
       nalUnits(std::string_view(reinterpret_cast<const char*>(context->extradata),
                                 static_cast<std::size_t>(std::max(context->extradata_size, 0))))) {
    if (unit.empty()) continue;
    const int type = unit[0] & 0x1f;
    if (type == 7 && video->sps.empty()) video->sps = std::move(unit);
    if (type == 8 && video->pps.empty()) video->pps = std::move(unit);
  }
  if (video->sps.empty() || video->pps.empty()) return nullptr;
  video->sei = userDataSei();
  for (const std::string& packet : encodeCycle(*context, count)) {
    std::vector<std::string> units = nalUnits(packet);
    // Cameras of this family carry their parameter sets in the SDP only, and start every key
    // frame with its IDR slice; the encoder's own SEI and in-band SPS/PPS are left out. The
    // server puts sps, pps and sei back in front of each IDR when asked to send them in band.
    std::erase_if(units, [](const std::string& u) {
      const int unitType = u.empty() ? 0 : u[0] & 0x1f;
      return unitType == 6 || unitType == 7 || unitType == 8;
    });
    std::erase_if(units, [](const std::string& u) { return u.empty(); });
    video->frames.push_back(std::move(units));
  }
  if (video->frames.size() != count) return nullptr;
  return video;
}

std::shared_ptr<const EncodedVideo> encodeMpeg4(std::uint32_t width, std::uint32_t height,
                                                std::size_t count) {
  CodecContext context = openEncoder(avcodec_find_encoder(AV_CODEC_ID_MPEG4), width, height, count);
  if (!context) return nullptr;
  // Fixed quantiser and no encoder version text: the same bytes on every run. The VOL headers
  // stay in band in front of each key frame, which is where a receiver that ignores the SDP's
  // config looks for them.
  context->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_BITEXACT;
  context->global_quality = FF_QP2LAMBDA * 4;
  if (avcodec_open2(context.get(), nullptr, nullptr) < 0) return nullptr;

  auto video = std::make_shared<EncodedVideo>();
  video->codec = RtspCodec::Mpeg4;
  video->width = width;
  video->height = height;
  for (const std::string& packet : encodeCycle(*context, count)) video->frames.push_back({packet});
  if (video->frames.size() != count) return nullptr;
  const std::string& first = video->frames.front().front();
  const std::size_t vop = first.find(std::string_view("\x00\x00\x01\xb6", 4));
  if (vop == std::string::npos || vop == 0) return nullptr;
  video->config = first.substr(0, vop);
  if (video->config.size() > 4 && video->config.compare(0, 4, "\x00\x00\x01\xb0", 4) == 0)
    video->mpeg4ProfileLevel = static_cast<unsigned char>(video->config[4]);
  return video;
}

std::shared_ptr<const EncodedVideo> encodeJpeg(std::uint32_t width, std::uint32_t height,
                                               std::size_t count) {
  auto video = std::make_shared<EncodedVideo>();
  video->codec = RtspCodec::Jpeg;
  video->width = width;
  video->height = height;
  for (const std::string& picture : encodeTestPictures(width, height, count, kRtspJpegQuality)) {
    std::string scan;
    if (!splitJpeg(picture, video->jpegTables, scan)) return nullptr;
    video->frames.push_back({std::move(scan)});
  }
  if (video->frames.size() != count) return nullptr;
  return video;
}

std::size_t be16(std::string_view bytes, std::size_t at) {
  return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at])) << 8 |
         static_cast<unsigned char>(bytes[at + 1]);
}

}  // namespace

std::shared_ptr<const EncodedVideo> encodeVideo(RtspCodec codec, std::uint32_t width,
                                                std::uint32_t height, std::size_t count) {
  if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0 || count == 0) return nullptr;
  switch (codec) {
    case RtspCodec::H264:
      return encodeH264(width, height, count);
    case RtspCodec::Mpeg4:
      return encodeMpeg4(width, height, count);
    case RtspCodec::Jpeg:
      if (width % 16 != 0 || height % 16 != 0 || width > 2040 || height > 2040) return nullptr;
      return encodeJpeg(width, height, count);
  }
  return nullptr;
}

bool splitJpeg(std::string_view jpeg, std::array<unsigned char, 128>& tables, std::string& scan) {
  if (jpeg.size() < 4 || be16(jpeg, 0) != 0xffd8) return false;
  bool tableSeen[2] = {false, false};
  bool frameSeen = false;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (static_cast<unsigned char>(jpeg[at]) != 0xff) return false;
    const auto marker = static_cast<unsigned char>(jpeg[at + 1]);
    if (marker == 0xff) {  // fill byte
      ++at;
      continue;
    }
    const std::size_t length = be16(jpeg, at + 2);
    if (length < 2 || at + 2 + length > jpeg.size()) return false;
    const std::string_view segment = jpeg.substr(at + 4, length - 2);
    if (marker == 0xdb) {
      for (std::size_t t = 0; t < segment.size(); t += 65) {
        const auto info = static_cast<unsigned char>(segment[t]);
        if (info >> 4 != 0 || (info & 0x0f) > 1 || t + 65 > segment.size()) return false;
        std::copy_n(segment.begin() + static_cast<std::ptrdiff_t>(t) + 1, 64,
                    tables.begin() + (info & 0x0f) * 64);
        tableSeen[info & 0x0f] = true;
      }
    } else if (marker == 0xc0) {
      // Three components, luminance 2x2 and chrominance 1x1: RFC 2435 type 1.
      if (segment.size() != 15 || segment[5] != 3 ||
          static_cast<unsigned char>(segment[7]) != 0x22 || segment[10] != 0x11 ||
          segment[13] != 0x11)
        return false;
      frameSeen = true;
    } else if ((marker >= 0xc1 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 &&
                marker != 0xcc) ||
               (marker == 0xdd && segment.size() >= 2 && be16(segment, 0) != 0)) {
      return false;  // not baseline, or restart markers in the scan
    } else if (marker == 0xda) {
      if (!tableSeen[0] || !tableSeen[1] || !frameSeen) return false;
      const std::size_t begin = at + 2 + length;
      std::size_t end = jpeg.size();
      if (end >= begin + 2 && be16(jpeg, end - 2) == 0xffd9) end -= 2;
      scan.assign(jpeg.substr(begin, end - begin));
      return !scan.empty();
    }
    at += 2 + length;
  }
  return false;
}

std::uint8_t alawFromLinear(std::int16_t sample) {
  const int sign = sample >= 0 ? 0x80 : 0x00;
  int magnitude = sample >= 0 ? sample : -(sample + 1);
  magnitude >>= 3;  // A-law codes 13-bit samples
  int code = 0;
  if (magnitude < 32) {
    code = magnitude >> 1;
  } else {
    int segment = 1;
    while (magnitude >= (32 << segment)) ++segment;
    code = segment << 4 | ((magnitude >> segment) & 0x0f);
  }
  return static_cast<std::uint8_t>((sign | code) ^ 0x55);
}

AlawTone::AlawTone(std::uint32_t hertz, int amplitude)
    : step_(2.0 * std::numbers::pi * static_cast<double>(hertz) / 8000.0), amplitude_(amplitude) {}

std::string AlawTone::nextPacket() {
  std::string packet(kPacketBytes, '\0');
  for (char& byte : packet) {
    const auto sample = static_cast<std::int16_t>(std::lround(amplitude_ * std::sin(phase_)));
    byte = static_cast<char>(alawFromLinear(sample));
    phase_ = std::fmod(phase_ + step_, 2.0 * std::numbers::pi);
  }
  return packet;
}

}  // namespace ipcam::camsim
