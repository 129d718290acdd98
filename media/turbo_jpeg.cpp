#include "media/turbo_jpeg.h"

#include <turbojpeg.h>

#include <bit>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace ipcam {
namespace {

// RGB32 (0xffRRGGBB words) in memory order; libjpeg-turbo sets the pad byte to 0xff.
constexpr int kRgb32 = std::endian::native == std::endian::little ? TJPF_BGRX : TJPF_XRGB;

// TurboJPEG reports a picture it could decode despite damage as a warning; its pixels are
// all there (a short picture's missing part is filled in).
bool decodedDespite(tjhandle handle, int result) {
  return result == 0 || tjGetErrorCode(handle) == TJERR_WARNING;
}

int planeFormat(int sampling) {
  switch (sampling) {
    case TJSAMP_444:
      return AV_PIX_FMT_YUV444P;
    case TJSAMP_422:
      return AV_PIX_FMT_YUV422P;
    case TJSAMP_420:
      return AV_PIX_FMT_YUV420P;
    case TJSAMP_GRAY:
      return AV_PIX_FMT_GRAY8;
    case TJSAMP_440:
      return AV_PIX_FMT_YUV440P;
    case TJSAMP_411:
      return AV_PIX_FMT_YUV411P;
    default:
      return AV_PIX_FMT_NONE;
  }
}

}  // namespace

TurboJpegDecoder::TurboJpegDecoder() : handle_(tjInitDecompress()) {}

TurboJpegDecoder::~TurboJpegDecoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::optional<JpegHeader> TurboJpegDecoder::readHeader(std::span<const std::uint8_t> jpeg) {
  if (handle_ == nullptr || jpeg.empty()) return std::nullopt;
  JpegHeader header;
  if (tjDecompressHeader3(handle_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                          &header.width, &header.height, &header.sampling,
                          &header.colourSpace) != 0) {
    return std::nullopt;
  }
  // Headers cut short end in a warning with nothing read.
  if (header.width <= 0 || header.height <= 0) return std::nullopt;
  return header;
}

bool TurboJpegDecoder::decodesToRgb32(const JpegHeader& header) {
  return header.colourSpace == TJCS_YCbCr || header.colourSpace == TJCS_GRAY ||
         header.colourSpace == TJCS_RGB;
}

bool TurboJpegDecoder::decodesToPlanes(const JpegHeader& header) {
  return (header.colourSpace == TJCS_YCbCr || header.colourSpace == TJCS_GRAY) &&
         planeFormat(header.sampling) != AV_PIX_FMT_NONE;
}

bool TurboJpegDecoder::decodeToRgb32(std::span<const std::uint8_t> jpeg, const JpegHeader& header,
                                     int shift, std::span<std::uint8_t> target, int stride) {
  if (handle_ == nullptr || !decodesToRgb32(header)) return false;
  const tjscalingfactor factor{1, 1 << shift};
  const int width = TJSCALED(header.width, factor);
  const int height = TJSCALED(header.height, factor);
  if (stride < width * 4 ||
      target.size() < static_cast<std::size_t>(stride) * static_cast<std::size_t>(height)) {
    return false;
  }
  const int result = tjDecompress2(handle_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                                   target.data(), width, stride, height, kRgb32, 0);
  return decodedDespite(handle_, result);
}

bool TurboJpegDecoder::decodeToPlanes(std::span<const std::uint8_t> jpeg, const JpegHeader& header,
                                      int shift, PicturePlanes& planes, PictureFormat& format) {
  if (handle_ == nullptr || !decodesToPlanes(header)) return false;
  const tjscalingfactor factor{1, 1 << shift};
  const int width = TJSCALED(header.width, factor);
  const int height = TJSCALED(header.height, factor);
  const int components = header.sampling == TJSAMP_GRAY ? 1 : 3;

  std::array<int, 3> strides{};
  std::array<std::size_t, 3> sizes{};
  std::size_t total = 0;
  for (int c = 0; c < components; ++c) {
    strides[static_cast<std::size_t>(c)] = tjPlaneWidth(c, width, header.sampling);
    const int lines = tjPlaneHeight(c, height, header.sampling);
    if (strides[static_cast<std::size_t>(c)] <= 0 || lines <= 0) return false;
    sizes[static_cast<std::size_t>(c)] =
        static_cast<std::size_t>(strides[static_cast<std::size_t>(c)]) *
        static_cast<std::size_t>(lines);
    total += sizes[static_cast<std::size_t>(c)];
  }
  if (planes_.size() < total) planes_.resize(total);

  std::array<unsigned char*, 3> targets{};
  std::size_t offset = 0;
  for (int c = 0; c < components; ++c) {
    targets[static_cast<std::size_t>(c)] = planes_.data() + offset;
    offset += sizes[static_cast<std::size_t>(c)];
  }
  const int result =
      tjDecompressToYUVPlanes(handle_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                              targets.data(), width, strides.data(), height, 0);
  if (!decodedDespite(handle_, result)) return false;

  planes = PicturePlanes{};
  for (int c = 0; c < components; ++c) {
    planes.data[static_cast<std::size_t>(c)] = targets[static_cast<std::size_t>(c)];
    planes.stride[static_cast<std::size_t>(c)] = strides[static_cast<std::size_t>(c)];
  }
  format = PictureFormat{planeFormat(header.sampling), true};
  return true;
}

const char* TurboJpegDecoder::lastError() const {
  return handle_ != nullptr ? tjGetErrorStr2(handle_) : "no TurboJPEG decompressor";
}

}  // namespace ipcam
