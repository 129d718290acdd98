#include "platform/jpeg_image.h"

#include <turbojpeg.h>

#include <bit>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

#include "platform/trace.h"

namespace ipcam::platform {
namespace {

// 0xffRRGGBB words in memory order.
constexpr int kRgb32 = std::endian::native == std::endian::little ? TJPF_BGRX : TJPF_XRGB;
// Pictures beyond this many pixels a side are refused rather than allocated.
constexpr int kLargestSide = 16384;

struct HandleDeleter {
  void operator()(void* handle) const {
    if (handle != nullptr) tjDestroy(handle);
  }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

struct TurboBufferDeleter {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

bool sensibleSize(int width, int height) {
  return width > 0 && height > 0 && width <= kLargestSide && height <= kLargestSide;
}

}  // namespace

RgbImage::RgbImage(int w, int h)
    : width(w), height(h), pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4) {}

std::optional<RgbImage> decodeJpeg(std::span<const std::uint8_t> jpeg) {
  if (jpeg.empty() || jpeg.size() > std::numeric_limits<unsigned long>::max()) return std::nullopt;
  const Handle handle(tjInitDecompress());
  if (!handle) return std::nullopt;
  int width = 0;
  int height = 0;
  int sampling = 0;
  int colourSpace = 0;
  if (tjDecompressHeader3(handle.get(), jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                          &width, &height, &sampling, &colourSpace) != 0 ||
      !sensibleSize(width, height)) {
    return std::nullopt;
  }
  RgbImage image(width, height);
  if (tjDecompress2(handle.get(), jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                    image.pixels.data(), width, image.stride(), height, kRgb32, 0) != 0 &&
      tjGetErrorCode(handle.get()) == TJERR_FATAL) {
    trace("JPEG decode failed: %s", tjGetErrorStr2(handle.get()));
    return std::nullopt;
  }
  return image;
}

std::optional<RgbImage> loadJpegFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  return decodeJpeg(bytes);
}

std::optional<std::vector<std::uint8_t>> encodeJpeg(const RgbImage& image, int quality) {
  if (!sensibleSize(image.width, image.height) ||
      image.pixels.size() < static_cast<std::size_t>(image.stride()) * image.height) {
    return std::nullopt;
  }
  const Handle handle(tjInitCompress());
  if (!handle) return std::nullopt;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int result = tjCompress2(handle.get(), image.pixels.data(), image.width, image.stride(),
                                 image.height, kRgb32, &out, &size, TJSAMP_420, quality, 0);
  const std::unique_ptr<unsigned char, TurboBufferDeleter> owned(out);
  if (result != 0 || out == nullptr) {
    trace("JPEG encode failed: %s", tjGetErrorStr2(handle.get()));
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(out, out + size);
}

}  // namespace ipcam::platform
