#include "tools/camsim/test_media.h"

#include <gsm.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <utility>

namespace ipcam::camsim {
namespace {

struct Colour {
  unsigned char r, g, b;
};

class Canvas {
 public:
  Canvas(std::uint32_t width, std::uint32_t height)
      : width_(width), height_(height), rgb_(std::size_t{width} * height * 3) {}

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  const unsigned char* data() const { return rgb_.data(); }
  std::vector<unsigned char> take() && { return std::move(rgb_); }

  // Fills [x0, x1) x [y0, y1), clipped to the picture.
  void fill(long x0, long y0, long x1, long y1, Colour colour) {
    x0 = std::clamp<long>(x0, 0, width_);
    x1 = std::clamp<long>(x1, 0, width_);
    y0 = std::clamp<long>(y0, 0, height_);
    y1 = std::clamp<long>(y1, 0, height_);
    for (long y = y0; y < y1; ++y) {
      unsigned char* pixel = rgb_.data() + (static_cast<std::size_t>(y) * width_ + x0) * 3;
      for (long x = x0; x < x1; ++x, pixel += 3) {
        pixel[0] = colour.r;
        pixel[1] = colour.g;
        pixel[2] = colour.b;
      }
    }
  }

 private:
  std::uint32_t width_;
  std::uint32_t height_;
  std::vector<unsigned char> rgb_;
};

// Digits 0-9 in a 3x5 grid, one row of three bits per line, top row first.
constexpr std::array<std::array<unsigned, 5>, 10> kDigits = {{
    {7, 5, 5, 5, 7},
    {2, 6, 2, 2, 7},
    {7, 1, 7, 4, 7},
    {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7},
    {7, 1, 1, 1, 1},
    {7, 5, 7, 5, 7},
    {7, 5, 7, 1, 7},
}};

void drawNumber(Canvas& canvas, std::size_t number, long cell) {
  std::string digits;  // at least two, most significant first
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + number % 10));
    number /= 10;
  } while (number != 0 || digits.size() < 2);
  const long left = cell * 2;
  const long top = cell * 2;
  canvas.fill(left - cell, top - cell, left + static_cast<long>(digits.size()) * 4 * cell,
              top + 6 * cell, {0, 0, 0});
  for (std::size_t d = 0; d < digits.size(); ++d) {
    const auto& glyph = kDigits[static_cast<std::size_t>(digits[d] - '0')];
    const long glyphLeft = left + static_cast<long>(d) * 4 * cell;
    for (long row = 0; row < 5; ++row) {
      for (long column = 0; column < 3; ++column) {
        if ((glyph[static_cast<std::size_t>(row)] >> (2 - column) & 1U) == 0) continue;
        const long x = glyphLeft + column * cell;
        const long y = top + row * cell;
        canvas.fill(x, y, x + cell, y + cell, {255, 255, 255});
      }
    }
  }
}

void drawPattern(Canvas& canvas, std::size_t index, std::size_t count) {
  constexpr std::array<Colour, 7> kBars = {{{235, 235, 235},
                                            {235, 235, 16},
                                            {16, 235, 235},
                                            {16, 235, 16},
                                            {235, 16, 235},
                                            {235, 16, 16},
                                            {16, 16, 235}}};
  const long width = canvas.width();
  const long height = canvas.height();
  const long barsBottom = height * 3 / 4;
  for (std::size_t bar = 0; bar < kBars.size(); ++bar) {
    const long x0 = width * static_cast<long>(bar) / 7;
    const long x1 = width * static_cast<long>(bar + 1) / 7;
    canvas.fill(x0, 0, x1, barsBottom, kBars[bar]);
  }
  for (long x = 0; x < width; ++x) {
    const auto grey = static_cast<unsigned char>(x * 255 / std::max(1L, width - 1));
    canvas.fill(x, barsBottom, x + 1, height, {grey, grey, grey});
  }

  const long side = std::max(4L, std::min(width, height) / 5);
  const long x = (width - side) * static_cast<long>(index) / static_cast<long>(count);
  const long y = (height - side) / 2;
  canvas.fill(x, y, x + side, y + side, {255, 255, 255});
  canvas.fill(x + side / 4, y + side / 4, x + side - side / 4, y + side - side / 4, {0, 0, 0});

  drawNumber(canvas, index, std::max(1L, height / 48));
}

struct CompressorDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct JpegBufferDeleter {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

}  // namespace

std::vector<std::string> encodeTestPictures(std::uint32_t width, std::uint32_t height,
                                            std::size_t count, int quality) {
  std::vector<std::string> pictures;
  if (width == 0 || height == 0 || count == 0) return pictures;
  const std::unique_ptr<void, CompressorDeleter> compressor(tjInitCompress());
  if (!compressor) return pictures;
  Canvas canvas(width, height);
  for (std::size_t index = 0; index < count; ++index) {
    drawPattern(canvas, index, count);
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(compressor.get(), canvas.data(), static_cast<int>(width), 0,
                                   static_cast<int>(height), TJPF_RGB, &output, &size, TJSAMP_420,
                                   quality, TJFLAG_FASTDCT);
    const std::unique_ptr<unsigned char, JpegBufferDeleter> owned(output);
    if (result != 0 || !owned) return {};
    pictures.emplace_back(reinterpret_cast<const char*>(owned.get()), size);
  }
  return pictures;
}

std::vector<unsigned char> drawTestPicture(std::uint32_t width, std::uint32_t height,
                                           std::size_t index, std::size_t count) {
  if (width == 0 || height == 0 || count == 0) return {};
  Canvas canvas(width, height);
  drawPattern(canvas, index % count, count);
  return std::move(canvas).take();
}

ToneEncoder::ToneEncoder(std::uint32_t hertz, int amplitude)
    : state_(gsm_create()),
      step_(2.0 * std::numbers::pi * static_cast<double>(hertz) / 8000.0),
      amplitude_(amplitude) {}

ToneEncoder::~ToneEncoder() {
  if (state_ != nullptr) gsm_destroy(state_);
}

std::string ToneEncoder::nextFrame() {
  if (state_ == nullptr) return {};
  std::array<gsm_signal, kFrameSamples> samples{};
  for (gsm_signal& sample : samples) {
    sample = static_cast<gsm_signal>(std::lround(amplitude_ * std::sin(phase_)));
    phase_ = std::fmod(phase_ + step_, 2.0 * std::numbers::pi);
  }
  std::array<gsm_byte, kFrameBytes> frame{};
  gsm_encode(state_, samples.data(), frame.data());
  return {reinterpret_cast<const char*>(frame.data()), frame.size()};
}

}  // namespace ipcam::camsim
