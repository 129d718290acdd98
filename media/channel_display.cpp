#include "media/channel_display.h"

#include <algorithm>
#include <iterator>
#include <utility>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "media/channel_media.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

constexpr int kBytesPerPixel = 4;
// The tallest picture of the shown sizes; anything taller is not a picture we show.
constexpr int kMaxPictureHeight = 1024;
// The scaler's vector code may store a little past the last pixel of a line.
constexpr std::size_t kBufferSlack = 64;

AVPixelFormat sourceFormat(PictureFormat format) {
  return format == PictureFormat::kYuv422Full ? AV_PIX_FMT_YUV422P : AV_PIX_FMT_YUV420P;
}

// The range goes to the scaler as a detail of the context, not as the old "J" formats that it
// only accepts with a warning.
void setSourceRange(SwsContext* context, PictureFormat format) {
  int* inverseTable = nullptr;
  int* table = nullptr;
  int sourceRange = 0;
  int targetRange = 0;
  int brightness = 0;
  int contrast = 0;
  int saturation = 0;
  if (sws_getColorspaceDetails(context, &inverseTable, &sourceRange, &table, &targetRange,
                               &brightness, &contrast, &saturation) < 0) {
    return;
  }
  sourceRange = format == PictureFormat::kYuv420 ? 0 : 1;
  sws_setColorspaceDetails(context, inverseTable, sourceRange, table, targetRange, brightness,
                           contrast, saturation);
}

int widthIndex(int width) {
  const auto found = std::find(std::begin(kPictureWidths), std::end(kPictureWidths), width);
  if (found == std::end(kPictureWidths)) return -1;
  return static_cast<int>(found - std::begin(kPictureWidths));
}

}  // namespace

void ChannelDisplay::SwsDeleter::operator()(SwsContext* context) const {
  sws_freeContext(context);
}

PictureView ChannelDisplay::Picture::view() const {
  return {pixels.data(), width, height, width * kBytesPerPixel, overlay};
}

ChannelDisplay::ChannelDisplay(int channel) : channel_(channel) {
  routeDecoderLogToTrace();
}

ChannelDisplay::~ChannelDisplay() = default;

// The surfaces are plain memory pictures drawn by the tile, so there is nothing that can fail
// before the first picture arrives.
bool ChannelDisplay::setUp() {
  return true;
}

void ChannelDisplay::discardPicture() {
  std::lock_guard lock(frontMutex_);
  front_.shown = false;
}

void ChannelDisplay::close() {
  discardPicture();
}

SwsContext* ChannelDisplay::converterFor(PictureFormat format, int width, int height) {
  const int sizeIndex = widthIndex(width);
  if (sizeIndex < 0) return nullptr;
  const auto slot = static_cast<std::size_t>(static_cast<int>(format)) * std::size(kPictureWidths) +
                    static_cast<std::size_t>(sizeIndex);
  Converter& converter = converters_[slot];
  // The same context comes back while the size stays; a new height makes a new one.
  SwsContext* const previous = converter.release();
  SwsContext* context =
      sws_getCachedContext(previous, width - 1, height - 1, sourceFormat(format), width, height,
                           AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
  if (context == nullptr) {
    platform::trace("Camera %d: no converter for %dx%d", channel_ + 1, width, height);
  } else if (context != previous) {
    setSourceRange(context, format);
  }
  converter.reset(context);
  return context;
}

bool ChannelDisplay::convertPicture(PictureFormat format, const PicturePlanes& planes, int width,
                                    int height) {
  if (!isPictureWidth(width) || height < 2 || height > kMaxPictureHeight) return false;
  SwsContext* converter = converterFor(format, width, height);
  if (converter == nullptr) return false;

  const std::size_t size =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kBytesPerPixel;
  // Grows only: after the largest size has been seen once nothing is allocated any more.
  if (back_.pixels.size() < size + kBufferSlack) back_.pixels.resize(size + kBufferSlack);
  back_.width = width;
  back_.height = height;

  std::uint8_t* const target[4] = {back_.pixels.data(), nullptr, nullptr, nullptr};
  const int targetStride[4] = {width * kBytesPerPixel, 0, 0, 0};
  const int lines = sws_scale(converter, planes.data.data(), planes.stride.data(), 0, height - 1,
                              target, targetStride);
  return lines > 0;
}

PictureView ChannelDisplay::convertedPicture() const {
  return back_.view();
}

void ChannelDisplay::showConvertedPicture(const PictureOverlay& overlay) {
  back_.overlay = overlay;
  back_.shown = true;
  {
    std::lock_guard lock(frontMutex_);
    std::swap(front_, back_);
  }
  back_.shown = false;
}

}  // namespace ipcam
