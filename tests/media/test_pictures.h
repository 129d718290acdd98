#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "media/channel_display.h"

namespace ipcam::test_pictures {

struct Rgb {
  int red;
  int green;
  int blue;
};

// Full-range BT.601, as JPEG pictures carry their colours.
inline void toYuv(Rgb c, std::uint8_t& y, std::uint8_t& u, std::uint8_t& v) {
  auto clamp = [](double value) {
    return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value + 0.5);
  };
  y = clamp(0.299 * c.red + 0.587 * c.green + 0.114 * c.blue);
  u = clamp(128 - 0.168736 * c.red - 0.331264 * c.green + 0.5 * c.blue);
  v = clamp(128 + 0.5 * c.red - 0.418688 * c.green - 0.081312 * c.blue);
}

// A JPEG of the given size made by the library's own encoder: `left` in the left half,
// `right` in the right half.
inline std::vector<std::uint8_t> makeJpeg(int width, int height, Rgb left, Rgb right) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (codec == nullptr) return {};
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUVJ420P;
  context->color_range = AVCOL_RANGE_JPEG;
  context->time_base = {1, 25};
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  std::vector<std::uint8_t> jpeg;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame, 0);
    std::uint8_t y[2], u[2], v[2];
    toYuv(left, y[0], u[0], v[0]);
    toYuv(right, y[1], u[1], v[1]);
    for (int row = 0; row < height; ++row) {
      for (int column = 0; column < width; ++column) {
        frame->data[0][row * frame->linesize[0] + column] = y[column < width / 2 ? 0 : 1];
      }
    }
    for (int row = 0; row < height / 2; ++row) {
      for (int column = 0; column < width / 2; ++column) {
        const int side = column < width / 4 ? 0 : 1;
        frame->data[1][row * frame->linesize[1] + column] = u[side];
        frame->data[2][row * frame->linesize[2] + column] = v[side];
      }
    }
    if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
      jpeg.assign(packet->data, packet->data + packet->size);
    }
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&context);
  return jpeg;
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
