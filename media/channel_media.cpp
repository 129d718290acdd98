#include "media/channel_media.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include "core/app_state.h"
#include "core/viewer_ui.h"
#include "platform/run_wait.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

constexpr int kOpenTries = 3;
constexpr auto kOpenRetryPause = std::chrono::milliseconds(100);
constexpr auto kPauseBeforeExit = std::chrono::milliseconds(1000);

// A stop of the calling thread cuts the pause short.
void pauseBeforeRetry() {
  if (const platform::ThreadRun* run = platform::currentThreadRun()) {
    platform::sleepWhileRunning(run->flag(), kOpenRetryPause);
  } else {
    std::this_thread::sleep_for(kOpenRetryPause);
  }
}

AVCodecID codecId(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kMjpeg:
      return AV_CODEC_ID_MJPEG;
    case VideoCodec::kMpeg4:
      return AV_CODEC_ID_MPEG4;
    case VideoCodec::kH264:
      return AV_CODEC_ID_H264;
  }
  return AV_CODEC_ID_NONE;
}

const char* openFailureText(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kMjpeg:
      return "avcodec_open(mjpeg_decoder.c, mjpeg_decoder.codec) failed";
    case VideoCodec::kMpeg4:
      return "avcodec_open(mpeg4_decoder.c, mpeg4_decoder.codec) failed";
    case VideoCodec::kH264:
      return "avcodec_open(h264_decoder.c, h264_decoder.codec) failed";
  }
  return "avcodec_open failed";
}

void decoderLog(void* source, int level, const char* format, va_list arguments) {
  if (level > av_log_get_level() || !platform::traceEnabled()) return;
  // The library builds a line from several calls; the prefix goes only before the first.
  thread_local int printPrefix = 1;
  char line[1024];
  av_log_format_line2(source, level, format, arguments, line, sizeof line, &printPrefix);
  std::size_t length = std::strlen(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
  if (length > 0) platform::traceLine(std::string_view(line, length));
}

}  // namespace

void routeDecoderLogToTrace() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(decoderLog); });
}

// --- Decoders ----------------------------------------------------------------------------------

void VideoDecoder::ContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}

void VideoDecoder::FrameDeleter::operator()(AVFrame* frame) const {
  av_frame_free(&frame);
}

void VideoDecoder::PacketDeleter::operator()(AVPacket* packet) const {
  av_packet_free(&packet);
}

ChannelMedia::ChannelMedia(int channel) : channel_(channel) {}

ChannelMedia::~ChannelMedia() {
  close();
}

void ChannelMedia::initialise() {
  routeDecoderLogToTrace();
  openMjpegDecoder();
}

void ChannelMedia::close() {
  closeDecoders();
}

ChannelMedia::OpenResult ChannelMedia::openLocked(VideoCodec codec) {
  routeDecoderLogToTrace();
  VideoDecoder& state = decoder(codec);
  const AVCodec* found = avcodec_find_decoder(codecId(codec));
  if (found == nullptr) return OpenResult::kNoDecoder;
  if (!state.picture) state.picture.reset(av_frame_alloc());
  if (!state.packet) state.packet.reset(av_packet_alloc());

  for (int attempt = 1; attempt <= kOpenTries; ++attempt) {
    if (!state.context) state.context.reset(avcodec_alloc_context3(found));
    if (state.context && state.picture && state.packet) {
      // One picture out for every frame in, decoded on the channel's own thread.
      state.context->thread_count = 1;
      state.context->flags |= AV_CODEC_FLAG_LOW_DELAY;
      if (avcodec_open2(state.context.get(), found, nullptr) == 0) {
        state.opened = true;
        state.lastWidth = 0;
        state.lastHeight = 0;
        return OpenResult::kOpened;
      }
      // A context that failed to open is not opened again; the next try gets a fresh one.
      state.context.reset();
    }
    platform::trace("Camera %d: opening the %s decoder failed (try %d)", channel_ + 1, found->name,
                    attempt);
    if (attempt < kOpenTries) pauseBeforeRetry();
  }
  state.opened = false;
  return OpenResult::kFailed;
}

void ChannelMedia::endAfterOpenFailure(VideoCodec codec) {
  if (ViewerUi* ui = appState().ui.load())
    ui->postMessage(openFailureText(codec), kDefaultMessageTitle);
  std::this_thread::sleep_for(kPauseBeforeExit);
  // Ends the process from whichever thread found the fault, without running the static
  // destructors that other threads may still be using.
  std::fflush(nullptr);
  std::_Exit(1);
}

bool ChannelMedia::openDecoder(VideoCodec codec) {
  OpenResult result;
  {
    std::lock_guard lock(decoderMutex_);
    result = openLocked(codec);
  }
  if (result == OpenResult::kFailed) endAfterOpenFailure(codec);
  return result == OpenResult::kOpened;
}

void ChannelMedia::closeLocked(VideoCodec codec) {
  VideoDecoder& state = decoder(codec);
  state.context.reset();
  state.opened = false;
}

void ChannelMedia::closeDecoder(VideoCodec codec) {
  std::lock_guard lock(decoderMutex_);
  closeLocked(codec);
}

void ChannelMedia::closeDecoders() {
  std::lock_guard lock(decoderMutex_);
  for (VideoCodec codec : {VideoCodec::kMjpeg, VideoCodec::kH264, VideoCodec::kMpeg4}) {
    if (decoder(codec).opened) closeLocked(codec);
  }
}

bool ChannelMedia::decoderOpen(VideoCodec codec) const {
  std::lock_guard lock(decoderMutex_);
  return decoders_[static_cast<std::size_t>(static_cast<int>(codec))].opened;
}

int ChannelMedia::lastWidth(VideoCodec codec) const {
  std::lock_guard lock(decoderMutex_);
  return decoders_[static_cast<std::size_t>(static_cast<int>(codec))].lastWidth;
}

int ChannelMedia::lastHeight(VideoCodec codec) const {
  std::lock_guard lock(decoderMutex_);
  return decoders_[static_cast<std::size_t>(static_cast<int>(codec))].lastHeight;
}

void ChannelMedia::beginStreamRun() {
  keyFrameSeen_.store(0);
  sizeTraced_.store(false);
  formatTraced_.store(false);
}

}  // namespace ipcam
