#pragma once

// libavcodec's Motion JPEG decoder, for the interop tests to check that what our clients hand
// on is a picture.
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace ipcam::testing {

class JpegDecoder {
 public:
  JpegDecoder() {
    if (const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MJPEG)) {
      context_ = avcodec_alloc_context3(decoder);
      if (context_ != nullptr && avcodec_open2(context_, decoder, nullptr) != 0) {
        avcodec_free_context(&context_);
      }
    }
  }
  ~JpegDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // The picture's width and height, or nothing when it does not decode.
  std::optional<std::pair<int, int>> decode(std::span<const std::uint8_t> jpeg) {
    if (context_ == nullptr || packet_ == nullptr || frame_ == nullptr) return std::nullopt;
    packet_->data = const_cast<std::uint8_t*>(jpeg.data());
    packet_->size = static_cast<int>(jpeg.size());
    const bool decoded =
        avcodec_send_packet(context_, packet_) == 0 && avcodec_receive_frame(context_, frame_) == 0;
    packet_->data = nullptr;
    packet_->size = 0;
    if (!decoded) return std::nullopt;
    const std::pair<int, int> size{frame_->width, frame_->height};
    av_frame_unref(frame_);
    return size;
  }

 private:
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = av_packet_alloc();
  AVFrame* frame_ = av_frame_alloc();
};

}  // namespace ipcam::testing
