#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "media/channel_display.h"

namespace ipcam::test_pictures {

struct Rgb {
  int red;
  int green;
  int blue;
};

// A test picture of four solid quarters, so that every chroma layout, horizontal or
// vertical, has to put each colour in its own place.
struct Quarters {
  Rgb topLeft;
  Rgb topRight;
  Rgb bottomLeft;
  Rgb bottomRight;

  Rgb at(int x, int y, int width, int height) const {
    const bool right = x >= width / 2;
    if (y < height / 2) return right ? topRight : topLeft;
    return right ? bottomRight : bottomLeft;
  }
};

inline int luma(Rgb c) {
  return static_cast<int>(0.299 * c.red + 0.587 * c.green + 0.114 * c.blue + 0.5);
}

// BT.601 in full range (JPEG) or video range (16..235 luma, 16..240 chroma), as 0..1 fractions
// of the 8-bit scale so that deeper samples scale with them.
inline void toYuv(Rgb c, bool fullRange, double& y, double& u, double& v) {
  const double luminance = 0.299 * c.red + 0.587 * c.green + 0.114 * c.blue;
  const double blue = -0.168736 * c.red - 0.331264 * c.green + 0.5 * c.blue;
  const double red = 0.5 * c.red - 0.418688 * c.green - 0.081312 * c.blue;
  if (fullRange) {
    y = luminance;
    u = 128 + blue;
    v = 128 + red;
  } else {
    y = 16 + luminance * 219 / 255;
    u = 128 + blue * 224 / 255;
    v = 128 + red * 224 / 255;
  }
}

// Fills a planar YUV or grey frame of 8 to 16 bits per sample. Each chroma sample takes the
// colour under its first luma sample; quarters on chroma block bounds keep every block solid.
inline void fillPicture(AVFrame& frame, const Quarters& picture, bool fullRange) {
  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const Rgb quarters[4] = {picture.topLeft, picture.topRight, picture.bottomLeft,
                           picture.bottomRight};
  for (int component = 0; component < descriptor->nb_components; ++component) {
    const AVComponentDescriptor& c = descriptor->comp[component];
    const bool chroma = component == 1 || component == 2;
    const int shiftX = chroma ? descriptor->log2_chroma_w : 0;
    const int shiftY = chroma ? descriptor->log2_chroma_h : 0;
    const int width = AV_CEIL_RSHIFT(frame.width, shiftX);
    const int height = AV_CEIL_RSHIFT(frame.height, shiftY);
    const double scale = static_cast<double>(1 << (c.depth - 8));
    const double top = static_cast<double>((1 << c.depth) - 1);
    unsigned samples[4];
    for (int q = 0; q < 4; ++q) {
      double yuv[3];
      toYuv(quarters[q], fullRange, yuv[0], yuv[1], yuv[2]);
      samples[q] = static_cast<unsigned>(std::clamp(yuv[component] * scale + 0.5, 0.0, top));
    }
    for (int row = 0; row < height; ++row) {
      const bool bottom = (row << shiftY) >= frame.height / 2;
      std::uint8_t* line = frame.data[c.plane] + row * frame.linesize[c.plane];
      for (int column = 0; column < width; ++column) {
        const bool right = (column << shiftX) >= frame.width / 2;
        const unsigned sample = samples[(bottom ? 2 : 0) + (right ? 1 : 0)];
        if (c.depth > 8) {
          reinterpret_cast<std::uint16_t*>(line)[column] = static_cast<std::uint16_t>(sample);
        } else {
          line[column] = static_cast<std::uint8_t>(sample);
        }
      }
    }
  }
}

// One picture of the quarters through a libavcodec encoder, as the bytes of one complete
// frame (for H.264 an access unit with its parameter sets in band). Empty when the encoder is
// missing or refuses the format. `options` are the encoder's private options.
inline std::vector<std::uint8_t> encodePicture(
    const char* encoder, AVPixelFormat format, bool fullRange, int width, int height,
    const Quarters& picture, const std::vector<std::pair<const char*, const char*>>& options = {}) {
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  if (codec == nullptr) return {};
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  context->width = width;
  context->height = height;
  context->pix_fmt = format;
  context->color_range = fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  context->time_base = {1, 25};
  context->gop_size = 1;
  context->max_b_frames = 0;
  // Fine quantisation, so the colours come back close to what went in.
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = FF_QP2LAMBDA * 2;
  for (const auto& [name, value] : options) av_opt_set(context->priv_data, name, value, 0);
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return {};

  frame->format = format;
  frame->width = width;
  frame->height = height;
  frame->color_range = context->color_range;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return {};
  fillPicture(*frame, picture, fullRange);

  std::vector<std::uint8_t> bytes;
  const auto drain = [&] {
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
      bytes.insert(bytes.end(), packet->data, packet->data + packet->size);
      av_packet_unref(packet.get());
    }
  };
  if (avcodec_send_frame(context.get(), frame.get()) < 0) return {};
  drain();
  avcodec_send_frame(context.get(), nullptr);
  drain();
  return bytes;
}

// `count` pictures through one libavcodec encoder, a key frame every `gop` pictures, as the
// bytes of one complete frame each (for H.264 access units with the parameter sets in band in
// front of every key frame). Picture `i` shows pictureOf(i). Empty when the encoder is
// missing or refuses.
inline std::vector<std::vector<std::uint8_t>> encodeSequence(
    const char* encoder, int width, int height, int count, int gop,
    const std::function<Quarters(int)>& pictureOf,
    const std::vector<std::pair<const char*, const char*>>& options = {}) {
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  if (codec == nullptr) return {};
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = {1, 25};
  context->gop_size = gop;
  context->max_b_frames = 0;
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = FF_QP2LAMBDA * 2;
  for (const auto& [name, value] : options) av_opt_set(context->priv_data, name, value, 0);
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return {};
  frame->format = context->pix_fmt;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return {};

  std::vector<std::vector<std::uint8_t>> frames;
  const auto drain = [&] {
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
      frames.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet.get());
    }
  };
  for (int i = 0; i < count; ++i) {
    if (av_frame_make_writable(frame.get()) < 0) return {};
    fillPicture(*frame, pictureOf(i), false);
    frame->pts = i;
    if (avcodec_send_frame(context.get(), frame.get()) < 0) return {};
    drain();
  }
  avcodec_send_frame(context.get(), nullptr);
  drain();
  return frames;
}

// The quarters as a JPEG of the given sampling made by libjpeg-turbo, which covers the
// samplings libavcodec's encoder does not (grey, 4:4:0, 4:1:1).
inline std::vector<std::uint8_t> encodeTurboJpeg(int sampling, int width, int height,
                                                 const Quarters& picture) {
  std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = picture.at(x, y, width, height);
      unsigned char* pixel = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
      pixel[0] = static_cast<unsigned char>(c.red);
      pixel[1] = static_cast<unsigned char>(c.green);
      pixel[2] = static_cast<unsigned char>(c.blue);
    }
  }
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  if (!handle) return {};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  std::vector<std::uint8_t> bytes;
  if (tjCompress2(handle.get(), rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, sampling, 95,
                  TJFLAG_ACCURATEDCT) == 0) {
    bytes.assign(jpeg, jpeg + size);
  }
  tjFree(jpeg);
  return bytes;
}

// A JPEG of the given size made by the library's own encoder: `left` in the left half,
// `right` in the right half.
inline std::vector<std::uint8_t> makeJpeg(int width, int height, Rgb left, Rgb right) {
  return encodePicture("mjpeg", AV_PIX_FMT_YUVJ420P, true, width, height,
                       Quarters{left, right, left, right});
}

// The colour of one pixel of the display's front picture; {-1, -1, -1} when none is shown.
inline Rgb pixelAt(const ChannelDisplay& display, int x, int y) {
  Rgb colour{-1, -1, -1};
  display.withFrontPicture([&](const PictureView& picture) {
    const std::uint8_t* pixel = picture.data + y * picture.stride + x * 4;
    colour = {pixel[2], pixel[1], pixel[0]};  // 0xffRRGGBB in memory order
  });
  return colour;
}

inline void expectNear(Rgb actual, Rgb expected) {
  constexpr int kTolerance = 12;
  EXPECT_NEAR(actual.red, expected.red, kTolerance);
  EXPECT_NEAR(actual.green, expected.green, kTolerance);
  EXPECT_NEAR(actual.blue, expected.blue, kTolerance);
}

inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kBlue{0, 0, 255};
inline constexpr Rgb kGreen{0, 255, 0};
inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kGrey{200, 200, 200};

}  // namespace ipcam::test_pictures
