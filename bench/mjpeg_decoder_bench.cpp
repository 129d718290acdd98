// Which Motion JPEG decoder the live view should use: libavcodec (at full size and with its
// `lowres` 1..3) against libjpeg-turbo's TurboJPEG API (with its scaling factors), each
// followed by the one libswscale call that brings the picture to the tile's size with the
// last row and column cropped. CPU time of the measuring thread per picture, one thread, the
// same pictures for every path.
//
//   mjpeg_decoder_bench [--pictures N] [--rounds R]
//     N pictures per measurement (default 200); R measurements, the median is shown (default 5)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "bench/bench_pictures.h"

namespace ipcam::bench {
namespace {

constexpr int kDistinctPictures = 25;

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct TjDeleter {
  void operator()(void* h) const { tjDestroy(h); }
};

AVPixelFormat plainFormat(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    default:
      return format;
  }
}

// A converter that takes the (w-1)x(h-1) top left of a source and scales it to the target;
// made once per source format and size, as the program keeps its converters.
class Converter {
 public:
  bool convert(AVPixelFormat format, bool fullRange, const std::uint8_t* const planes[4],
               const int strides[4], int width, int height, int targetWidth, int targetHeight) {
    if (!context_ || format != format_ || width != width_ || height != height_ ||
        targetWidth != targetWidth_ || targetHeight != targetHeight_) {
      context_.reset(sws_getContext(width - 1, height - 1, format, targetWidth, targetHeight,
                                    AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr, nullptr,
                                    nullptr));
      if (!context_) return false;
      if (fullRange) {
        int* inverse = nullptr;
        int* table = nullptr;
        int sourceRange = 0;
        int targetRange = 0;
        int brightness = 0;
        int contrast = 0;
        int saturation = 0;
        sws_getColorspaceDetails(context_.get(), &inverse, &sourceRange, &table, &targetRange,
                                 &brightness, &contrast, &saturation);
        sws_setColorspaceDetails(context_.get(), inverse, 1, table, targetRange, brightness,
                                 contrast, saturation);
      }
      format_ = format;
      width_ = width;
      height_ = height;
      targetWidth_ = targetWidth;
      targetHeight_ = targetHeight;
      rgb_.resize(static_cast<std::size_t>(targetWidth) * targetHeight * 4 + 64);
    }
    std::uint8_t* const target[4] = {rgb_.data(), nullptr, nullptr, nullptr};
    const int targetStride[4] = {targetWidth * 4, 0, 0, 0};
    return sws_scale(context_.get(), planes, strides, 0, height - 1, target, targetStride) > 0;
  }

 private:
  std::unique_ptr<SwsContext, SwsDeleter> context_;
  AVPixelFormat format_ = AV_PIX_FMT_NONE;
  int width_ = 0;
  int height_ = 0;
  int targetWidth_ = 0;
  int targetHeight_ = 0;
  std::vector<std::uint8_t> rgb_;
};

// The output of a path: at the tile's size when the tile is smaller than the decoded picture
// in either direction, else the decoded picture less its last row and column.
void outputSize(int decodedWidth, int decodedHeight, int tileWidth, int tileHeight, int& width,
                int& height) {
  if (tileWidth < decodedWidth - 1 || tileHeight < decodedHeight - 1) {
    width = tileWidth;
    height = tileHeight;
  } else {
    width = decodedWidth - 1;
    height = decodedHeight - 1;
  }
}

class Libavcodec {
 public:
  explicit Libavcodec(int lowres) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    context_.reset(avcodec_alloc_context3(codec));
    picture_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    context_->thread_count = 1;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context_->lowres = lowres;
    ok_ = avcodec_open2(context_.get(), codec, nullptr) == 0;
  }
  // `frame` carries the decoder's zeroed tail; `length` is without it.
  const AVFrame* decode(const Frame& frame, std::size_t length) {
    if (!ok_) return nullptr;
    packet_->data = const_cast<std::uint8_t*>(frame.data());
    packet_->size = static_cast<int>(length);
    const int sent = avcodec_send_packet(context_.get(), packet_.get());
    packet_->data = nullptr;
    packet_->size = 0;
    if (sent < 0 || avcodec_receive_frame(context_.get(), picture_.get()) != 0) return nullptr;
    return picture_.get();
  }

 private:
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
  std::unique_ptr<AVFrame, FrameDeleter> picture_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  bool ok_ = false;
};

using Path = std::function<bool(int index)>;

struct Case {
  const char* name;
  int width;
  int height;
  int sampling;
};

double medianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Milliseconds of thread CPU per picture, the median of `rounds` measurements.
double measure(const Path& path, int pictures, int rounds) {
  for (int i = 0; i < kDistinctPictures; ++i) {
    if (!path(i)) return -1;  // warms caches and makes the converters
  }
  std::vector<double> perPicture;
  for (int round = 0; round < rounds; ++round) {
    const double start = threadCpuSeconds();
    for (int i = 0; i < pictures; ++i) {
      if (!path(i % kDistinctPictures)) return -1;
    }
    perPicture.push_back((threadCpuSeconds() - start) * 1000.0 / pictures);
  }
  return medianOf(perPicture);
}

int scaleShiftFor(int width, int height, int tileWidth, int tileHeight) {
  int shift = 0;
  while (shift < 3 && (width >> (shift + 1)) >= tileWidth && (height >> (shift + 1)) >= tileHeight)
    ++shift;
  return shift;
}

void runCase(const Case& c, int tileWidth, int tileHeight, int pictures, int rounds) {
  const std::vector<Frame> jpegs = encodePictures(c.width, c.height, kDistinctPictures, c.sampling);
  if (jpegs.size() != kDistinctPictures) {
    std::printf("%s: encoding failed\n", c.name);
    return;
  }
  std::vector<Frame> padded;
  std::size_t bytes = 0;
  for (const Frame& jpeg : jpegs) {
    Frame copy(jpeg);
    copy.resize(jpeg.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    padded.push_back(std::move(copy));
    bytes += jpeg.size();
  }
  const int shift = scaleShiftFor(c.width, c.height, tileWidth, tileHeight);
  std::printf("\n%s %dx%d (%zu kB per picture) in a %dx%d tile: scale 1/%d\n", c.name, c.width,
              c.height, bytes / jpegs.size() / 1024, tileWidth, tileHeight, 1 << shift);

  const auto show = [&](const char* name, double ms, double reference) {
    if (ms < 0) {
      std::printf("  %-46s failed\n", name);
    } else {
      std::printf("  %-46s %7.3f ms  %5.2fx\n", name, ms, reference > 0 ? ms / reference : 1.0);
    }
  };

  // The reference: libavcodec at full size, nothing more.
  Libavcodec full(0);
  const double bare = measure(
      [&](int i) {
        return full.decode(padded[static_cast<std::size_t>(i)],
                           jpegs[static_cast<std::size_t>(i)].size()) != nullptr;
      },
      pictures, rounds);
  show("libavcodec full-size decode (reference)", bare, bare);

  Converter oldConverter;
  show("libavcodec full + swscale crop->full (old path)",
       measure(
           [&](int i) {
             const AVFrame* p = full.decode(padded[static_cast<std::size_t>(i)],
                                            jpegs[static_cast<std::size_t>(i)].size());
             return p != nullptr &&
                    oldConverter.convert(plainFormat(static_cast<AVPixelFormat>(p->format)), true,
                                         p->data, p->linesize, p->width, p->height, p->width,
                                         p->height);
           },
           pictures, rounds),
       bare);

  for (int lowres = 0; lowres <= 3; ++lowres) {
    Libavcodec reduced(lowres);
    Converter converter;
    const std::string name = "libavcodec lowres " + std::to_string(lowres) + " + swscale to tile";
    show(name.c_str(),
         measure(
             [&](int i) {
               const AVFrame* p = reduced.decode(padded[static_cast<std::size_t>(i)],
                                                 jpegs[static_cast<std::size_t>(i)].size());
               if (p == nullptr) return false;
               int w = 0;
               int h = 0;
               outputSize(p->width, p->height, tileWidth, tileHeight, w, h);
               return converter.convert(plainFormat(static_cast<AVPixelFormat>(p->format)), true,
                                        p->data, p->linesize, p->width, p->height, w, h);
             },
             pictures, rounds),
         bare);
  }

  std::unique_ptr<void, TjDeleter> tj(tjInitDecompress());
  int factorCount = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&factorCount);
  for (int s = 0; s <= 3; ++s) {
    tjscalingfactor factor{1, 1 << s};
    bool known = false;
    for (int f = 0; f < factorCount; ++f) {
      known = known || (factors[f].num == factor.num && factors[f].denom == factor.denom);
    }
    if (!known) continue;
    const int dw = TJSCALED(c.width, factor);
    const int dh = TJSCALED(c.height, factor);
    std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(dw) * dh * 4);
    Converter rgbConverter;
    const std::string name = "TurboJPEG 1/" + std::to_string(1 << s) + " -> BGRX + swscale to tile";
    show(name.c_str(),
         measure(
             [&](int i) {
               const Frame& jpeg = jpegs[static_cast<std::size_t>(i)];
               if (tjDecompress2(tj.get(), jpeg.data(), jpeg.size(), bgrx.data(), dw, dw * 4, dh,
                                 TJPF_BGRX, 0) != 0) {
                 return false;
               }
               int w = 0;
               int h = 0;
               outputSize(dw, dh, tileWidth, tileHeight, w, h);
               if (w == dw - 1 && h == dh - 1) return true;  // shown as a crop, no conversion
               const std::uint8_t* planes[4] = {bgrx.data(), nullptr, nullptr, nullptr};
               const int strides[4] = {dw * 4, 0, 0, 0};
               return rgbConverter.convert(AV_PIX_FMT_BGR0, false, planes, strides, dw, dh, w, h);
             },
             pictures, rounds),
         bare);

    // Straight to the planes, and the planes through the same converter as libavcodec's.
    const int sampling = c.sampling;
    std::vector<std::uint8_t> yuv(tjBufSizeYUV2(dw, 1, dh, sampling));
    const int chromaWidth = tjPlaneWidth(1, dw, sampling);
    const int chromaHeight = tjPlaneHeight(1, dh, sampling);
    std::uint8_t* planes[3] = {yuv.data(), yuv.data() + static_cast<std::size_t>(dw) * dh,
                               yuv.data() + static_cast<std::size_t>(dw) * dh +
                                   static_cast<std::size_t>(chromaWidth) * chromaHeight};
    int strides[3] = {dw, chromaWidth, chromaWidth};
    Converter yuvConverter;
    const std::string yuvName =
        "TurboJPEG 1/" + std::to_string(1 << s) + " -> YUV planes + swscale";
    const AVPixelFormat format =
        sampling == TJSAMP_422 ? AV_PIX_FMT_YUV422P
                               : (sampling == TJSAMP_444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P);
    show(yuvName.c_str(),
         measure(
             [&](int i) {
               const Frame& jpeg = jpegs[static_cast<std::size_t>(i)];
               if (tjDecompressToYUVPlanes(tj.get(), jpeg.data(), jpeg.size(), planes, dw, strides,
                                           dh, 0) != 0) {
                 return false;
               }
               int w = 0;
               int h = 0;
               outputSize(dw, dh, tileWidth, tileHeight, w, h);
               const std::uint8_t* in[4] = {planes[0], planes[1], planes[2], nullptr};
               const int inStrides[4] = {strides[0], strides[1], strides[2], 0};
               return yuvConverter.convert(format, true, in, inStrides, dw, dh, w, h);
             },
             pictures, rounds),
         bare);
  }
}

}  // namespace
}  // namespace ipcam::bench

int main(int argc, char** argv) {
  int pictures = 200;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pictures") == 0 && i + 1 < argc) {
      pictures = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--pictures N] [--rounds R]\n", argv[0]);
      return 2;
    }
  }
  if (pictures < 1 || rounds < 1) return 2;
  using ipcam::bench::Case;
  const Case cases[] = {
      {"4:2:2", 640, 480, TJSAMP_422},
      {"4:2:0", 640, 480, TJSAMP_420},
      {"4:2:0", 1280, 1024, TJSAMP_420},
      {"4:2:0", 1920, 1080, TJSAMP_420},
  };
  std::printf("ms of thread CPU per picture (median of %d x %d pictures); ratio to the reference\n",
              rounds, pictures);
  for (const Case& c : cases) {
    ipcam::bench::runCase(c, 160, 120, pictures, rounds);
    ipcam::bench::runCase(c, 640, 480, pictures, rounds);
  }
  return 0;
}
