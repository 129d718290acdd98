// How much the viewer's live-video path costs against the decoder library alone.
//
// The program's path: the channel's video queue, its stream decode thread, the Motion JPEG
// decoder, the conversion for the tile and the hand-over of the picture to the user interface
// (which only counts it; nothing is painted). Each channel's display is told the size of its
// tile, as the tile tells it in the program:
//   - the 16-tile layout: 16 channels in 160x120 tiles, against bare libavcodec decoding the
//     same pictures at full size (16 threads, one decoder each);
//   - the one-tile layout: one channel in a 640x480 tile, against bare libavcodec decoding and
//     one libswscale call converting the picture (less its last row and column) to the tile.
// Bare decoding, libjpeg-turbo's decode alone at the tile's scale (the least the viewer's
// decode can cost) and the old full-size conversion are shown alongside. The pictures are
// noisy camera-like scenes at 4:2:2 and 4:2:0, and the simulated camera's own test pattern. Every
// phase is measured in CPU time of the whole process (CLOCK_PROCESS_CPUTIME_ID), so idle polling,
// locking and copying count, and the machine's core count and load do not, or hardly.
//
//   decode_pipeline_bench [--frames N] [--rounds R]
//     N frames per channel at 640x480 (default 200; larger pictures get proportionally fewer,
//     at least 25); R turns of every phase (default 3), summed at the end

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
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
#include "bench/bench_pictures.h"
#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/media_queue.h"
#include "core/viewer_ui.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/stream_decode_thread.h"
#include "tools/camsim/test_media.h"

namespace ipcam::bench {
namespace {

constexpr int kDistinctFrames = 25;
constexpr int kDefaultFramesPerChannel = 200;
constexpr int kMinimumFramesPerChannel = 25;
constexpr int kDefaultRounds = 3;
// Long enough for a slow machine; a pipeline that loses pictures would otherwise wait forever.
constexpr auto kPipelineTimeout = std::chrono::minutes(5);

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

// Channels start at different places in the cycle, so they do not decode in lock step.
const Frame& frameFor(const std::vector<Frame>& frames, int channel, int number) {
  return frames[static_cast<std::size_t>(number + channel * 3) % frames.size()];
}

double wallSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

struct PhaseResult {
  long frames = 0;
  double cpuSeconds = 0;
  double wallSeconds = 0;
  double msPerFrame() const { return frames > 0 ? cpuSeconds * 1000.0 / frames : 0; }
};

PhaseResult& operator+=(PhaseResult& sum, const PhaseResult& part) {
  sum.frames += part.frames;
  sum.cpuSeconds += part.cpuSeconds;
  sum.wallSeconds += part.wallSeconds;
  return sum;
}

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
  void postMessage(const std::string& text, const std::string&) override {
    messages.fetch_add(1);
    std::fprintf(stderr, "core message: %s\n", text.c_str());
  }
  void presentPicture(int /*channel*/) override {
    presented.fetch_add(1, std::memory_order_relaxed);
    { std::lock_guard lock(mutex); }
    handedOver.notify_one();
  }
  int visibleTileCount() const override { return kChannelCount; }
  int singleChannel() const override { return -1; }
  void setRecordingButtons(bool) override {}
  void setScanInterval(int) override {}

  std::atomic<long> presented{0};  // atomic: bumped by every decode thread
  std::atomic<int> messages{0};    // atomic
  // Wakes the feeder when a picture is handed over.
  std::mutex mutex;
  std::condition_variable handedOver;
};

// Gives every channel record the two objects the decode path uses; the rest of a channel
// (network client, sound, recorders) plays no part in decoding.
void prepareChannels(int tileWidth, int tileHeight) {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    ChannelRecord& record = channelRecord(channel);
    record.channel = channel;
    record.display = std::make_shared<ChannelDisplay>(channel);
    record.display->setTileSize(tileWidth, tileHeight);
    record.media = std::make_shared<ChannelMedia>(channel);
    record.media->initialise();
    record.stream.videoQueue.clear();
    record.stream.videoQueue.setCodecKind(MediaQueue::kJpeg);
    // The feeder paces itself by these; a phase must not start from the last one's counts.
    record.pictureCounters.reset();
  }
}

struct Layout {
  const char* name;
  int channels;
  int tileWidth;
  int tileHeight;
};

std::optional<PhaseResult> runPipeline(const std::vector<Frame>& frames, int framesPerChannel,
                                       const Layout& layout) {
  CountingUi ui;
  attachUi(&ui);
  prepareChannels(layout.tileWidth, layout.tileHeight);
  for (int channel = 0; channel < layout.channels; ++channel) {
    startStreamDecodeThread(channelRecord(channel));
  }
  // The decoders are open before the clock starts, as they are long before a camera's first
  // picture in the program.
  for (int channel = 0; channel < layout.channels; ++channel) {
    while (!channelRecord(channel).media->decoderOpen(VideoCodec::kMjpeg)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const long total = static_cast<long>(layout.channels) * framesPerChannel;
  const PhaseClock clock;
  // One feeder stands in for the stream workers. It gives a channel its next frame once the
  // channel has shown the one before, as a camera whose next picture is not there yet: the
  // pipeline is measured doing its work, not catching up (which would skip pictures). It
  // sleeps until a picture is handed over.
  std::vector<int> pushed(static_cast<std::size_t>(layout.channels), 0);
  long remaining = total;
  while (remaining > 0) {
    for (int channel = 0; channel < layout.channels; ++channel) {
      int& count = pushed[static_cast<std::size_t>(channel)];
      const PictureCounters& counters = channelRecord(channel).pictureCounters;
      const auto settled = static_cast<int>(counters.shown.load() + counters.dropped.load());
      if (count < framesPerChannel && settled >= count &&
          channelRecord(channel).stream.videoQueue.push(frameFor(frames, channel, count))) {
        ++count;
        --remaining;
      }
    }
    std::unique_lock lock(ui.mutex);
    ui.handedOver.wait_for(lock, std::chrono::milliseconds(1));
  }
  const auto deadline = std::chrono::steady_clock::now() + kPipelineTimeout;
  const auto settled = [&] {
    std::uint64_t done = 0;
    for (int channel = 0; channel < layout.channels; ++channel) {
      const PictureCounters& counters = channelRecord(channel).pictureCounters;
      done += counters.shown.load() + counters.dropped.load();
    }
    return static_cast<long>(done) >= total;
  };
  bool complete = true;
  while (!settled()) {
    if (std::chrono::steady_clock::now() > deadline) {
      complete = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const PhaseResult result = clock.stop(ui.presented.load());

  std::uint64_t dropped = 0;
  for (int channel = 0; channel < layout.channels; ++channel) {
    dropped += channelRecord(channel).pictureCounters.dropped.load();
    stopStreamDecodeThread(channelRecord(channel));
  }
  attachUi(nullptr);
  if (!complete || ui.messages.load() != 0 || dropped != 0) {
    std::fprintf(stderr, "pipeline: %ld of %ld pictures presented, %llu dropped, %d messages\n",
                 ui.presented.load(), total, static_cast<unsigned long long>(dropped),
                 ui.messages.load());
    return std::nullopt;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// The bare libraries

// What the bare phase does after decoding.
enum class BareJob {
  kDecode,         // nothing: the full-size decode alone
  kTurboScaled,    // libjpeg-turbo instead, at the scale the tile asks for, into RGB32
  kConvertFull,    // the (w-1)x(h-1) top left scaled to w x h: what the viewer used to do
  kConvertToTile,  // the (w-1)x(h-1) top left scaled to the tile in one call
};

// One channel's worth of decoder and converter, set up the way the program sets up its own:
// a single-threaded low-delay decoder, and a fast bilinear converter into RGB32 with the
// source marked full range.
struct BareChannel {
  CodecContextPtr decoder;
  FramePtr picture;
  PacketPtr packet;
  SwsPtr converter;
  std::vector<std::uint8_t> rgb;
  std::unique_ptr<void, int (*)(tjhandle)> turbo{tjInitDecompress(), tjDestroy};
  long done = 0;
  bool failed = false;

  // libjpeg-turbo straight into RGB32 at 1/2^shift: the least the viewer's decode can cost.
  bool decodeWithTurbo(const Frame& frame, std::size_t length, int shift) {
    int width = 0;
    int height = 0;
    int sampling = 0;
    int colours = 0;
    if (tjDecompressHeader3(turbo.get(), frame.data(), length, &width, &height, &sampling,
                            &colours) != 0) {
      return false;
    }
    const tjscalingfactor factor{1, 1 << shift};
    const int w = TJSCALED(width, factor);
    const int h = TJSCALED(height, factor);
    rgb.resize(static_cast<std::size_t>(w) * h * 4);
    return tjDecompress2(turbo.get(), frame.data(), length, rgb.data(), w, w * 4, h, TJPF_BGRX,
                         0) == 0;
  }

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

  bool convert(int targetWidth, int targetHeight) {
    const int width = picture->width;
    const int height = picture->height;
    if (!converter) {
      AVPixelFormat format = static_cast<AVPixelFormat>(picture->format);
      if (format == AV_PIX_FMT_YUVJ420P) format = AV_PIX_FMT_YUV420P;
      if (format == AV_PIX_FMT_YUVJ422P) format = AV_PIX_FMT_YUV422P;
      converter.reset(sws_getContext(width - 1, height - 1, format, targetWidth, targetHeight,
                                     AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr, nullptr,
                                     nullptr));
      if (!converter) return false;
      int* inverseTable = nullptr;
      int* table = nullptr;
      int sourceRange = 0;
      int targetRange = 0;
      int brightness = 0;
      int contrast = 0;
      int saturation = 0;
      if (sws_getColorspaceDetails(converter.get(), &inverseTable, &sourceRange, &table,
                                   &targetRange, &brightness, &contrast, &saturation) >= 0) {
        sws_setColorspaceDetails(converter.get(), inverseTable, 1, table, targetRange, brightness,
                                 contrast, saturation);
      }
      rgb.resize(static_cast<std::size_t>(targetWidth) * targetHeight * 4 + 64);
    }
    std::uint8_t* const target[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int targetStride[4] = {targetWidth * 4, 0, 0, 0};
    return sws_scale(converter.get(), picture->data, picture->linesize, 0, height - 1, target,
                     targetStride) > 0;
  }

  // `padded` frames carry the decoder's zeroed tail already.
  void run(const std::vector<Frame>& padded, std::size_t paddedBy, int channel, int count,
           BareJob job, int frameWidth, int frameHeight, int tileWidth, int tileHeight) {
    for (int number = 0; number < count && !failed; ++number) {
      const Frame& frame = frameFor(padded, channel, number);
      if (job == BareJob::kTurboScaled) {
        const int shift = decodeShift(frameWidth, frameHeight,
                                      TileTarget{TileTarget::Kind::kShown, tileWidth, tileHeight});
        if (!decodeWithTurbo(frame, frame.size() - paddedBy, shift)) failed = true;
        if (!failed) ++done;
        continue;
      }
      packet->data = const_cast<std::uint8_t*>(frame.data());
      packet->size = static_cast<int>(frame.size() - paddedBy);
      const int sent = avcodec_send_packet(decoder.get(), packet.get());
      packet->data = nullptr;
      packet->size = 0;
      if (sent < 0 || avcodec_receive_frame(decoder.get(), picture.get()) != 0) {
        failed = true;
        break;
      }
      bool ok = true;
      if (job == BareJob::kConvertFull) ok = convert(picture->width, picture->height);
      if (job == BareJob::kConvertToTile) ok = convert(tileWidth, tileHeight);
      if (!ok) {
        failed = true;
        break;
      }
      ++done;
    }
  }
};

std::optional<PhaseResult> runBare(const std::vector<Frame>& frames, int framesPerChannel,
                                   int channelCount, BareJob job, int frameWidth, int frameHeight,
                                   int tileWidth, int tileHeight) {
  std::vector<Frame> padded;
  for (const Frame& frame : frames) {
    Frame copy(frame);
    copy.resize(frame.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    padded.push_back(std::move(copy));
  }
  std::vector<BareChannel> channels(static_cast<std::size_t>(channelCount));
  for (BareChannel& channel : channels) {
    if (!channel.open()) {
      std::fprintf(stderr, "bare: the Motion JPEG decoder did not open\n");
      return std::nullopt;
    }
  }

  const PhaseClock clock;
  std::vector<std::thread> threads;
  for (int channel = 0; channel < channelCount; ++channel) {
    threads.emplace_back([&, channel] {
      channels[static_cast<std::size_t>(channel)].run(padded, AV_INPUT_BUFFER_PADDING_SIZE, channel,
                                                      framesPerChannel, job, frameWidth,
                                                      frameHeight, tileWidth, tileHeight);
    });
  }
  for (std::thread& thread : threads) thread.join();
  long done = 0;
  for (const BareChannel& channel : channels) done += channel.done;
  const PhaseResult result = clock.stop(done);

  const long total = static_cast<long>(channelCount) * framesPerChannel;
  if (done != total) {
    std::fprintf(stderr, "bare: %ld of %ld pictures done\n", done, total);
    return std::nullopt;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------

void printPhase(const char* name, const PhaseResult& result, double reference) {
  std::printf("  %-44s %6ld pictures %7.2f s CPU %7.3f ms/picture %6.3fx\n", name, result.frames,
              result.cpuSeconds, result.msPerFrame(),
              reference > 0 ? result.msPerFrame() / reference : 1.0);
}

struct Source {
  const char* name;
  int width;
  int height;
  int sampling;  // -1: the simulated camera's own pictures (4:2:0)
};

std::vector<Frame> picturesOf(const Source& source) {
  if (source.sampling >= 0) {
    return encodePictures(source.width, source.height, kDistinctFrames, source.sampling);
  }
  std::vector<Frame> frames;
  for (const std::string& picture :
       camsim::encodeTestPictures(static_cast<std::uint32_t>(source.width),
                                  static_cast<std::uint32_t>(source.height), kDistinctFrames)) {
    frames.emplace_back(picture.begin(), picture.end());
  }
  return frames;
}

bool runSource(const Source& source, int framesAt640, int rounds) {
  const std::vector<Frame> frames = picturesOf(source);
  if (frames.size() != kDistinctFrames) {
    std::fprintf(stderr, "encoding %s failed\n", source.name);
    return false;
  }
  std::size_t bytes = 0;
  for (const Frame& frame : frames) bytes += frame.size();
  const int framesPerChannel =
      std::max(kMinimumFramesPerChannel,
               static_cast<int>(static_cast<long>(framesAt640) * 640 * 480 /
                                (static_cast<long>(source.width) * source.height)));
  std::printf("\n%s %dx%d Motion JPEG, %zu kB a picture, %d per channel, %d rounds\n", source.name,
              source.width, source.height, bytes / frames.size() / 1024, framesPerChannel, rounds);

  const Layout layouts[] = {{"16-tile layout (160x120 tiles)", kChannelCount, 160, 120},
                            {"one-tile layout (640x480 tile)", 1, 640, 480}};
  for (const Layout& layout : layouts) {
    PhaseResult decode;
    PhaseResult turbo;
    PhaseResult full;
    PhaseResult toTile;
    PhaseResult pipeline;
    // The phases take turns, so a neighbour's load on a shared machine falls on all of them.
    for (int round = 0; round < rounds; ++round) {
      const auto bare = [&](BareJob job) {
        return runBare(frames, framesPerChannel, layout.channels, job, source.width, source.height,
                       layout.tileWidth, layout.tileHeight);
      };
      const auto bareDecode = bare(BareJob::kDecode);
      const auto bareTurbo = bare(BareJob::kTurboScaled);
      const auto bareFull = bare(BareJob::kConvertFull);
      const auto bareTile = bare(BareJob::kConvertToTile);
      const auto viewer = runPipeline(frames, framesPerChannel, layout);
      if (!bareDecode || !bareTurbo || !bareFull || !bareTile || !viewer) return false;
      decode += *bareDecode;
      turbo += *bareTurbo;
      full += *bareFull;
      toTile += *bareTile;
      pipeline += *viewer;
    }
    const double reference = layout.channels == 1 ? toTile.msPerFrame() : decode.msPerFrame();
    std::printf(
        " %s, %d channel%s; ratios to %s\n", layout.name, layout.channels,
        layout.channels == 1 ? "" : "s",
        layout.channels == 1 ? "bare decode + conversion to the tile" : "bare full-size decode");
    printPhase("bare libavcodec decode, full size", decode, reference);
    printPhase("bare libjpeg-turbo decode at the tile's scale", turbo, reference);
    printPhase("bare decode + libswscale to full size", full, reference);
    printPhase("bare decode + libswscale to the tile", toTile, reference);
    printPhase("viewer: queue, decode, convert, hand over", pipeline, reference);
    std::printf("  => viewer / %s: %.3f (goal %s)\n",
                layout.channels == 1 ? "bare decode + conversion" : "bare decode",
                pipeline.msPerFrame() / reference, layout.channels == 1 ? "<= 1.1" : "<= 0.6");
    std::fflush(stdout);
  }
  return true;
}

}  // namespace
}  // namespace ipcam::bench

int main(int argc, char** argv) {
  int framesPerChannel = ipcam::bench::kDefaultFramesPerChannel;
  int rounds = ipcam::bench::kDefaultRounds;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      framesPerChannel = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--frames N] [--rounds R]\n"
                   "  N frames per channel at 640x480 (default %d), R turns (default %d)\n",
                   argv[0], ipcam::bench::kDefaultFramesPerChannel, ipcam::bench::kDefaultRounds);
      return 2;
    }
  }
  if (framesPerChannel < 1 || rounds < 1) {
    std::fprintf(stderr, "--frames and --rounds want positive counts\n");
    return 2;
  }
  std::printf("CPU time of the process per picture; %u hardware threads\n",
              std::thread::hardware_concurrency());
  const ipcam::bench::Source sources[] = {
      {"4:2:2", 640, 480, TJSAMP_422},   {"4:2:0", 640, 480, TJSAMP_420},
      {"4:2:0", 1280, 1024, TJSAMP_420}, {"4:2:0", 1920, 1080, TJSAMP_420},
      {"camsim's", 640, 480, -1},        {"camsim's", 1280, 1024, -1},
  };
  for (const auto& source : sources) {
    if (!ipcam::bench::runSource(source, framesPerChannel, rounds)) return 1;
  }
  return 0;
}
