#include "media/channel_display.h"

#include <algorithm>
#include <utility>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "media/channel_media.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

constexpr int kBytesPerPixel = 4;
// The scaler's vector code may store a little past the last pixel of a line.
constexpr std::size_t kBufferSlack = 64;

// The old "J" formats are the plain ones in full range; the scaler takes them only with a
// warning, so it gets the plain format and the range as a detail of the context.
AVPixelFormat withoutJpegAlias(AVPixelFormat format, bool& fullRange) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      fullRange = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      fullRange = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      fullRange = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      fullRange = true;
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      fullRange = true;
      return AV_PIX_FMT_YUV411P;
    default:
      return format;
  }
}

// Luma and chroma (or luma alone): the formats whose range means something to the scaler.
bool hasYuvSamples(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  return descriptor != nullptr &&
         (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0;
}

bool isGrey(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  return descriptor != nullptr && hasYuvSamples(format) && descriptor->nb_components <= 2;
}

void setSourceRange(SwsContext* context, bool fullRange) {
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
  sws_setColorspaceDetails(context, inverseTable, fullRange ? 1 : 0, table, targetRange, brightness,
                           contrast, saturation);
}

}  // namespace

PictureFormat pictureFormatOf(int pixelFormat, int colourRange) {
  bool fullRange = colourRange == AVCOL_RANGE_JPEG;
  const AVPixelFormat format = withoutJpegAlias(static_cast<AVPixelFormat>(pixelFormat), fullRange);
  if (colourRange == AVCOL_RANGE_UNSPECIFIED && isGrey(format)) fullRange = true;
  return {static_cast<int>(format), fullRange};
}

bool isConvertibleFormat(int pixelFormat) {
  const auto format = static_cast<AVPixelFormat>(pixelFormat);
  return av_pix_fmt_desc_get(format) != nullptr && sws_isSupportedInput(format) > 0;
}

void ChannelDisplay::SwsDeleter::operator()(SwsContext* context) const {
  sws_freeContext(context);
}

PictureView ChannelDisplay::Picture::view() const {
  return {pixels.data(), width, height, width * kBytesPerPixel, overlay};
}

ChannelDisplay::ChannelDisplay(int channel) : channel_(channel) {
  routeDecoderLogToTrace();
  converters_.reserve(kConverterCacheSize);
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
  const ConverterKey key{format, width, height};
  ++conversions_;
  const auto found = std::find_if(converters_.begin(), converters_.end(),
                                  [&key](const Converter& c) { return c.key == key; });
  if (found != converters_.end()) {
    found->lastUse = conversions_;
    return found->context.get();
  }

  const auto source = static_cast<AVPixelFormat>(format.pixelFormat);
  std::unique_ptr<SwsContext, SwsDeleter> context(
      sws_getContext(width - 1, height - 1, source, width, height, AV_PIX_FMT_RGB32,
                     SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
  if (!context) {
    platform::trace("Camera %d: no converter for %s %dx%d", channel_ + 1,
                    av_get_pix_fmt_name(source), width, height);
    return nullptr;
  }
  if (hasYuvSamples(source)) setSourceRange(context.get(), format.fullRange);

  Converter* slot = nullptr;
  if (converters_.size() < kConverterCacheSize) {
    slot = &converters_.emplace_back();
  } else {
    slot = &*std::min_element(
        converters_.begin(), converters_.end(),
        [](const Converter& a, const Converter& b) { return a.lastUse < b.lastUse; });
  }
  slot->key = key;
  slot->context = std::move(context);
  slot->lastUse = conversions_;
  return slot->context.get();
}

bool ChannelDisplay::convertPicture(PictureFormat format, const PicturePlanes& planes, int width,
                                    int height) {
  if (!isShownPictureSize(width, height) || !isConvertibleFormat(format.pixelFormat)) return false;
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
  lastShownTicks_.store(Clock::now().time_since_epoch().count());
}

std::optional<ChannelDisplay::Clock::time_point> ChannelDisplay::lastPictureTime() const {
  const Clock::rep ticks = lastShownTicks_.load();
  if (ticks == 0) return std::nullopt;
  return Clock::time_point(Clock::duration(ticks));
}

}  // namespace ipcam
