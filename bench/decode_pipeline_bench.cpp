// How much the viewer's live-video path costs on top of the decoder library itself.
//
// Sixteen channels of 640x480 Motion JPEG go through the program's own path: the channel's
// video queue, its stream decode thread, the Motion JPEG decoder, the conversion to RGB32 and
// the hand-over of the picture to the user interface (which only counts it; nothing is
// painted). Then the same frames go through libavcodec and libswscale alone, one decoder and
// one converter per channel on sixteen threads, the same shape as the program's sixteen decode
// threads. Both are measured in CPU time of the whole process, so idle polling, locking and
// copying count, and the machine's core count does not.
//
//   decode_pipeline_bench [--frames N] [--rounds R]
//     N frames per channel (default 200); R turns of both paths (default 3), summed at the end

#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/media_queue.h"
#include "core/viewer_ui.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/stream_decode_thread.h"

namespace ipcam {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kDistinctFrames = 50;
constexpr int kDefaultFramesPerChannel = 200;
constexpr int kDefaultRounds = 3;
// Long enough for a slow machine; a pipeline that loses pictures would otherwise wait forever.
constexpr auto kPipelineTimeout = std::chrono::minutes(5);
constexpr auto kIdleMeasurement = std::chrono::seconds(1);

using Frame = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Test pictures

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

std::uint8_t clampByte(int value) {
  return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// A cheap hash for the fine texture; camera pictures are never flat, and flat areas would
// make the entropy decoding unrealistically cheap.
std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Picture `index` of a moving pattern: a luma ramp that scrolls, colour bands that drift,
// a bright box crossing the picture once per cycle, and a little texture everywhere.
void drawPattern(AVFrame& frame, int index) {
  const int shift = index * 7;
  const int boxX = (index * (kWidth - 96)) / kDistinctFrames;
  const int boxY = kHeight / 2 - 48 + static_cast<int>(60 * std::sin(index * 0.25));
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* line = frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0];
    for (int x = 0; x < kWidth; ++x) {
      int luma = 40 + ((x + y + shift) % 256) * 160 / 256;
      if (x >= boxX && x < boxX + 96 && y >= boxY && y < boxY + 96) luma = 235;
      const auto noise = static_cast<int>(
          mix(static_cast<std::uint32_t>(y * kWidth + x) ^ static_cast<std::uint32_t>(index)) %
          13U);
      line[x] = clampByte(luma + noise - 6);
    }
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    std::uint8_t* u = frame.data[1] + static_cast<std::ptrdiff_t>(y) * frame.linesize[1];
    std::uint8_t* v = frame.data[2] + static_cast<std::ptrdiff_t>(y) * frame.linesize[2];
    for (int x = 0; x < kWidth / 2; ++x) {
      const int band = ((x + shift / 2) / 40) % 8;
      u[x] = clampByte(128 + (band - 4) * 24);
      v[x] = clampByte(128 + (3 - band) * 20 + (y / 60 - 2) * 8);
    }
  }
}

// Full-range 4:2:0 JPEGs made by the library's own encoder, as the cameras send them.
std::vector<Frame> encodeFrames() {
  std::vector<Frame> frames;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (codec == nullptr) return frames;
  CodecContextPtr context(avcodec_alloc_context3(codec));
  FramePtr picture(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!context || !picture || !packet) return frames;
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_YUVJ420P;
  context->color_range = AVCOL_RANGE_JPEG;
  context->time_base = {1, 25};
  // A fixed quantiser near what cameras use at their default quality.
  context->flags |= AV_CODEC_FLAG_QSCALE;
  if (avcodec_open2(context.get(), codec, nullptr) != 0) return frames;
  picture->format = context->pix_fmt;
  picture->width = kWidth;
  picture->height = kHeight;
  if (av_frame_get_buffer(picture.get(), 0) != 0) return frames;

  for (int index = 0; index < kDistinctFrames; ++index) {
    if (av_frame_make_writable(picture.get()) != 0) return {};
    drawPattern(*picture, index);
    picture->quality = FF_QP2LAMBDA * 4;
    picture->pts = index;
    if (avcodec_send_frame(context.get(), picture.get()) != 0 ||
        avcodec_receive_packet(context.get(), packet.get()) != 0) {
      return {};
    }
    frames.emplace_back(packet->data, packet->data + packet->size);
    av_packet_unref(packet.get());
  }
  return frames;
}

// Channels start at different places in the cycle, so they do not decode in lock step.
const Frame& frameFor(const std::vector<Frame>& frames, int channel, int number) {
  return frames[static_cast<std::size_t>(number + channel * 3) % frames.size()];
}

// ---------------------------------------------------------------------------------------------
// Measuring

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wallSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

struct PhaseResult {
  long frames = 0;
  double cpuSeconds = 0;
  double wallSeconds = 0;
  double framesPerCpuSecond() const { return cpuSeconds > 0 ? frames / cpuSeconds : 0; }
};

class PhaseClock {
 public:
  PhaseClock() : cpu_(processCpuSeconds()), wall_(wallSeconds()) {}
  PhaseResult stop(long frames) const {
    return {frames, processCpuSeconds() - cpu_, wallSeconds() - wall_};
  }

 private:
  double cpu_;
  double wall_;
};

// ---------------------------------------------------------------------------------------------
// The program's path

// Stands in for the main window: counts the pictures handed over and any message the core
// raises, which would mean the run is not measuring what it should.
class CountingUi : public ViewerUi {
 public:
  void setChannelStatus(int, int, const std::optional<std::string>&) override {}
  void logEvent(int, const std::string&) override {}
  void messageBox(const std::string& text, const std::string&) override {
    messages.fetch_add(1);
    std::fprintf(stderr, "core message: %s\n", text.c_str());
  }
  void presentPicture(int channel) override {
    if (channel >= 0 && channel < kChannelCount) {
      perChannel[static_cast<std::size_t>(channel)].fetch_add(1, std::memory_order_relaxed);
    }
    presented.fetch_add(1, std::memory_order_relaxed);
  }
  int visibleTileCount() const override { return kChannelCount; }
  int singleChannel() const override { return -1; }
  void setRecordingButtons(bool) override {}
  void setScanInterval(int) override {}

  std::atomic<long> presented{0};  // atomic: bumped by every decode thread
  std::atomic<int> messages{0};    // atomic
  std::array<std::atomic<long>, kChannelCount> perChannel{};  // atomic each
};

// Gives every channel record the two objects the decode path uses; the rest of a channel
// (network client, sound, recorders) plays no part in decoding.
void prepareChannels() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    ChannelRecord& record = channelRecord(channel);
    record.channel = channel;
    record.display = std::make_shared<ChannelDisplay>(channel);
    record.display->setUp();
    record.media = std::make_shared<ChannelMedia>(channel);
    record.media->initialise();
    record.stream.videoQueue.clear();
    record.stream.videoQueue.setCodecKind(MediaQueue::kJpeg);
  }
}

std::optional<PhaseResult> runPipeline(const std::vector<Frame>& frames, int framesPerChannel,
                                       PhaseResult& idle) {
  CountingUi ui;
  attachUi(&ui);
  prepareChannels();
  for (int channel = 0; channel < kChannelCount; ++channel) {
    startStreamDecodeThread(channelRecord(channel));
  }
  // The decoders are open before the clock starts, as they are long before a camera's first
  // picture in the program.
  for (int channel = 0; channel < kChannelCount; ++channel) {
    while (!channelRecord(channel).media->decoderOpen(VideoCodec::kMjpeg)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const long total = static_cast<long>(kChannelCount) * framesPerChannel;
  const PhaseClock clock;
  // One feeder stands in for the sixteen stream workers. It pushes while a queue has room and
  // otherwise waits a little, as a camera's next picture would keep it waiting anyway; a full
  // queue refuses without copying, so no frame is lost and the retry costs next to nothing.
  std::array<int, kChannelCount> pushed{};
  long remaining = total;
  while (remaining > 0) {
    bool progress = false;
    for (int channel = 0; channel < kChannelCount; ++channel) {
      int& count = pushed[static_cast<std::size_t>(channel)];
      MediaQueue& queue = channelRecord(channel).stream.videoQueue;
      while (count < framesPerChannel && queue.push(frameFor(frames, channel, count))) {
        ++count;
        --remaining;
        progress = true;
      }
    }
    if (!progress) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto deadline = std::chrono::steady_clock::now() + kPipelineTimeout;
  bool complete = true;
  while (ui.presented.load() < total) {
    if (std::chrono::steady_clock::now() > deadline) {
      complete = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const PhaseResult result = clock.stop(ui.presented.load());

  // The decode threads look at their queues every millisecond whether or not a picture waits;
  // what that costs with nothing to do tells how much of the difference is waiting, not work.
  const PhaseClock idleClock;
  std::this_thread::sleep_for(kIdleMeasurement);
  idle = idleClock.stop(0);

  for (int channel = 0; channel < kChannelCount; ++channel) {
    stopStreamDecodeThread(channelRecord(channel));
  }
  attachUi(nullptr);
  if (!complete || ui.messages.load() != 0) {
    std::fprintf(stderr, "pipeline: %ld of %ld pictures presented, %d messages\n",
                 ui.presented.load(), total, ui.messages.load());
    for (int channel = 0; channel < kChannelCount; ++channel) {
      std::fprintf(stderr, "  channel %d: %ld\n", channel + 1,
                   ui.perChannel[static_cast<std::size_t>(channel)].load());
    }
    return std::nullopt;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// The bare libraries

// One channel's worth of decoder and converter, set up the way the program sets up its own:
// a single-threaded low-delay decoder, and the (w-1)x(h-1) to w x h fast bilinear converter
// into RGB32 with the source marked full range.
struct BareChannel {
  CodecContextPtr decoder;
  FramePtr picture;
  PacketPtr packet;
  SwsPtr converter;
  std::vector<std::uint8_t> rgb;
  long converted = 0;
  bool failed = false;

  bool open() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) return false;
    decoder.reset(avcodec_alloc_context3(codec));
    picture.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!decoder || !picture || !packet) return false;
    decoder->thread_count = 1;
    decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
    return avcodec_open2(decoder.get(), codec, nullptr) == 0;
  }

  void ensureConverter() {
    if (converter) return;
    converter.reset(sws_getContext(kWidth - 1, kHeight - 1, AV_PIX_FMT_YUV420P, kWidth, kHeight,
                                   AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!converter) return;
    int* inverseTable = nullptr;
    int* table = nullptr;
    int sourceRange = 0;
    int targetRange = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(converter.get(), &inverseTable, &sourceRange, &table, &targetRange,
                                 &brightness, &contrast, &saturation) >= 0) {
      sws_setColorspaceDetails(converter.get(), inverseTable, 1, table, targetRange, brightness,
                               contrast, saturation);
    }
    rgb.resize(static_cast<std::size_t>(kWidth) * kHeight * 4 + 64);
  }

  // `frame` carries the decoder's zeroed tail already.
  void run(const std::vector<Frame>& padded, std::size_t paddedBy, int channel, int count) {
    for (int number = 0; number < count && !failed; ++number) {
      const Frame& frame = frameFor(padded, channel, number);
      packet->data = const_cast<std::uint8_t*>(frame.data());
      packet->size = static_cast<int>(frame.size() - paddedBy);
      const int sent = avcodec_send_packet(decoder.get(), packet.get());
      packet->data = nullptr;
      packet->size = 0;
      if (sent < 0 || avcodec_receive_frame(decoder.get(), picture.get()) != 0) {
        failed = true;
        break;
      }
      ensureConverter();
      if (!converter) {
        failed = true;
        break;
      }
      std::uint8_t* const target[4] = {rgb.data(), nullptr, nullptr, nullptr};
      const int targetStride[4] = {kWidth * 4, 0, 0, 0};
      if (sws_scale(converter.get(), picture->data, picture->linesize, 0, kHeight - 1, target,
                    targetStride) > 0) {
        ++converted;
      }
    }
  }
};

std::optional<PhaseResult> runBare(const std::vector<Frame>& frames, int framesPerChannel) {
  std::vector<Frame> padded;
  for (const Frame& frame : frames) {
    Frame copy(frame);
    copy.resize(frame.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    padded.push_back(std::move(copy));
  }
  std::array<BareChannel, kChannelCount> channels;
  for (BareChannel& channel : channels) {
    if (!channel.open()) {
      std::fprintf(stderr, "bare: the Motion JPEG decoder did not open\n");
      return std::nullopt;
    }
  }

  const PhaseClock clock;
  std::vector<std::thread> threads;
  for (int channel = 0; channel < kChannelCount; ++channel) {
    threads.emplace_back([&, channel] {
      channels[static_cast<std::size_t>(channel)].run(padded, AV_INPUT_BUFFER_PADDING_SIZE, channel,
                                                      framesPerChannel);
    });
  }
  for (std::thread& thread : threads) thread.join();
  long converted = 0;
  for (const BareChannel& channel : channels) converted += channel.converted;
  const PhaseResult result = clock.stop(converted);

  const long total = static_cast<long>(kChannelCount) * framesPerChannel;
  if (converted != total) {
    std::fprintf(stderr, "bare: %ld of %ld pictures converted\n", converted, total);
    return std::nullopt;
  }
  return result;
}

void printPhase(const char* name, const PhaseResult& result) {
  std::printf("%-34s %6ld frames  %7.2f s CPU  %6.2f s wall  %8.1f frames/CPU-s\n", name,
              result.frames, result.cpuSeconds, result.wallSeconds, result.framesPerCpuSecond());
}

PhaseResult& operator+=(PhaseResult& sum, const PhaseResult& part) {
  sum.frames += part.frames;
  sum.cpuSeconds += part.cpuSeconds;
  sum.wallSeconds += part.wallSeconds;
  return sum;
}

int run(int framesPerChannel, int rounds) {
  const std::vector<Frame> frames = encodeFrames();
  if (frames.size() != kDistinctFrames) {
    std::fprintf(stderr, "the Motion JPEG encoder is missing or failed\n");
    return 1;
  }
  std::size_t bytes = 0;
  for (const Frame& frame : frames) bytes += frame.size();
  std::printf(
      "%d channels x %d frames of %dx%d Motion JPEG (%d distinct, %zu bytes on average), "
      "%d rounds, %u hardware threads\n",
      kChannelCount, framesPerChannel, kWidth, kHeight, kDistinctFrames, bytes / frames.size(),
      rounds, std::thread::hardware_concurrency());
  std::printf("both paths: one thread per channel, 16 threads at once\n");

  // The two paths take turns, so a neighbour's load on a shared machine falls on both.
  PhaseResult bareTotal;
  PhaseResult pipelineTotal;
  PhaseResult idleTotal;
  for (int round = 1; round <= rounds; ++round) {
    const std::optional<PhaseResult> bare = runBare(frames, framesPerChannel);
    if (!bare) return 1;
    std::printf("round %d  ", round);
    printPhase("bare libavcodec + libswscale", *bare);
    std::fflush(stdout);
    PhaseResult idle;
    const std::optional<PhaseResult> pipeline = runPipeline(frames, framesPerChannel, idle);
    if (!pipeline) return 1;
    std::printf("round %d  ", round);
    printPhase("queue -> decode -> convert -> hand", *pipeline);
    std::fflush(stdout);
    bareTotal += *bare;
    pipelineTotal += *pipeline;
    idleTotal += idle;
  }

  std::printf("all      ");
  printPhase("bare libavcodec + libswscale", bareTotal);
  std::printf("all      ");
  printPhase("queue -> decode -> convert -> hand", pipelineTotal);
  const double idleShare =
      idleTotal.wallSeconds > 0 ? idleTotal.cpuSeconds / idleTotal.wallSeconds : 0;
  std::printf(
      "16 idle decode threads polling their queues: %.1f ms CPU per wall second, about %.2f s "
      "of the pipeline's %.2f s CPU\n",
      idleShare * 1000.0, idleShare * pipelineTotal.wallSeconds, pipelineTotal.cpuSeconds);
  const double ratio = bareTotal.framesPerCpuSecond() > 0
                           ? pipelineTotal.framesPerCpuSecond() / bareTotal.framesPerCpuSecond()
                           : 0;
  std::printf("ratio pipeline / bare: %.3f (the pipeline costs %.1f%% more CPU per frame)\n", ratio,
              ratio > 0 ? (1.0 / ratio - 1.0) * 100.0 : 0.0);
  return 0;
}

}  // namespace
}  // namespace ipcam

int main(int argc, char** argv) {
  int framesPerChannel = ipcam::kDefaultFramesPerChannel;
  int rounds = ipcam::kDefaultRounds;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      framesPerChannel = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--frames N] [--rounds R]\n"
                   "  N frames per channel (default %d), R turns of both paths (default %d)\n",
                   argv[0], ipcam::kDefaultFramesPerChannel, ipcam::kDefaultRounds);
      return 2;
    }
  }
  if (framesPerChannel < 1 || rounds < 1) {
    std::fprintf(stderr, "--frames and --rounds want positive counts\n");
    return 2;
  }
  return ipcam::run(framesPerChannel, rounds);
}
