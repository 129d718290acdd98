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
// A buffer this many times larger than its picture is given back (the tile got smaller).
constexpr std::size_t kShrinkFactor = 4;

// The tile's target in one word: the kind in the top byte, then 28 bits each of width and
// height.
constexpr int kTargetSideBits = 28;
constexpr std::uint64_t kTargetSideMask = (std::uint64_t{1} << kTargetSideBits) - 1;
constexpr int kTargetKindShift = 2 * kTargetSideBits;

std::uint64_t packTarget(TileTarget target) {
  return (static_cast<std::uint64_t>(target.kind) << kTargetKindShift) |
         ((static_cast<std::uint64_t>(target.width) & kTargetSideMask) << kTargetSideBits) |
         (static_cast<std::uint64_t>(target.height) & kTargetSideMask);
}

TileTarget unpackTarget(std::uint64_t packed) {
  TileTarget target;
  target.kind = static_cast<TileTarget::Kind>(packed >> kTargetKindShift);
  target.width = static_cast<int>((packed >> kTargetSideBits) & kTargetSideMask);
  target.height = static_cast<int>(packed & kTargetSideMask);
  return target;
}

int clampSide(int side) {
  return std::clamp(side, 1, static_cast<int>(kTargetSideMask));
}

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

int decodeShift(int pictureWidth, int pictureHeight, TileTarget target) {
  switch (target.kind) {
    case TileTarget::Kind::kUnknown:
      return 0;
    case TileTarget::Kind::kHidden:
      return kMaxDecodeShift;
    case TileTarget::Kind::kShown:
      break;
  }
  int shift = 0;
  while (shift < kMaxDecodeShift && reducedSide(pictureWidth, shift + 1) >= target.width &&
         reducedSide(pictureHeight, shift + 1) >= target.height) {
    ++shift;
  }
  return shift;
}

ConversionPlan planConversion(int decodedWidth, int decodedHeight, TileTarget target) {
  switch (target.kind) {
    case TileTarget::Kind::kUnknown:
      return {decodedWidth, decodedHeight, false};
    case TileTarget::Kind::kHidden:
      return {decodedWidth, decodedHeight, true};
    case TileTarget::Kind::kShown:
      break;
  }
  if (target.width < decodedWidth || target.height < decodedHeight) {
    return {target.width, target.height, false};
  }
  const bool whole = target.width == decodedWidth && target.height == decodedHeight;
  return {decodedWidth, decodedHeight, true, whole};
}

void ChannelDisplay::SwsDeleter::operator()(SwsContext* context) const {
  sws_freeContext(context);
}

PictureView ChannelDisplay::Picture::view() const {
  PictureView view;
  view.data = pixels.data();
  view.width = width;
  view.height = height;
  view.stride = stride;
  view.overlay = overlay;
  view.pictureWidth = pictureWidth;
  view.pictureHeight = pictureHeight;
  return view;
}

void ChannelDisplay::Picture::reserve(std::size_t bytes) {
  if (pixels.size() < bytes) {
    pixels.resize(bytes);
  } else if (pixels.size() > bytes * kShrinkFactor) {
    std::vector<std::uint8_t>(bytes).swap(pixels);
  }
}

ChannelDisplay::ChannelDisplay(int channel) : channel_(channel) {
  routeDecoderLogToTrace();
  converters_.reserve(kConverterCacheSize);
}

ChannelDisplay::~ChannelDisplay() = default;

void ChannelDisplay::discardPicture() {
  std::lock_guard lock(frontMutex_);
  front_.shown = false;
}

void ChannelDisplay::close() {
  discardPicture();
}

void ChannelDisplay::setTileSize(int width, int height) {
  tileTarget_.store(packTarget({TileTarget::Kind::kShown, clampSide(width), clampSide(height)}));
}

void ChannelDisplay::setTileHidden() {
  tileTarget_.store(packTarget({TileTarget::Kind::kHidden, 0, 0}));
}

TileTarget ChannelDisplay::tileTarget() const {
  return unpackTarget(tileTarget_.load());
}

SwsContext* ChannelDisplay::converterFor(const ConverterKey& key) {
  ++conversions_;
  const auto found = std::find_if(converters_.begin(), converters_.end(),
                                  [&key](const Converter& c) { return c.key == key; });
  if (found != converters_.end()) {
    found->lastUse = conversions_;
    return found->context.get();
  }

  const auto source = static_cast<AVPixelFormat>(key.format.pixelFormat);
  std::unique_ptr<SwsContext, SwsDeleter> context(
      sws_getContext(key.sourceWidth, key.sourceHeight, source, key.targetWidth, key.targetHeight,
                     AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
  if (!context) {
    platform::trace("Camera %d: no converter for %s %dx%d to %dx%d", channel_ + 1,
                    av_get_pix_fmt_name(source), key.sourceWidth, key.sourceHeight, key.targetWidth,
                    key.targetHeight);
    return nullptr;
  }
  if (hasYuvSamples(source)) setSourceRange(context.get(), key.format.fullRange);

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

// One pass of the scaler: the top left sourceWidth x sourceHeight of the planes, in colour,
// scaled to targetWidth x targetHeight (or not scaled at all, when the sizes are equal).
bool ChannelDisplay::convertInto(Picture& picture, PictureFormat format,
                                 const PicturePlanes& planes, int sourceWidth, int sourceHeight,
                                 int targetWidth, int targetHeight) {
  if (sourceWidth < 1 || sourceHeight < 1 || targetWidth < 1 || targetHeight < 1) return false;
  SwsContext* converter =
      converterFor({format, sourceWidth, sourceHeight, targetWidth, targetHeight});
  if (converter == nullptr) return false;

  const std::size_t size = static_cast<std::size_t>(targetWidth) *
                           static_cast<std::size_t>(targetHeight) * kBytesPerPixel;
  picture.reserve(size + kBufferSlack);
  picture.width = targetWidth;
  picture.height = targetHeight;
  picture.stride = targetWidth * kBytesPerPixel;

  std::uint8_t* const target[4] = {picture.pixels.data(), nullptr, nullptr, nullptr};
  const int targetStride[4] = {picture.stride, 0, 0, 0};
  return sws_scale(converter, planes.data.data(), planes.stride.data(), 0, sourceHeight, target,
                   targetStride) > 0;
}

bool ChannelDisplay::convertPicture(PictureFormat format, const PicturePlanes& planes,
                                    int decodedWidth, int decodedHeight, int pictureWidth,
                                    int pictureHeight, const ConversionPlan& plan) {
  if (!isShownPictureSize(pictureWidth, pictureHeight) || !isConvertibleFormat(format.pixelFormat))
    return false;
  bool converted = false;
  if (plan.cropAtPaint) {
    converted = convertInto(back_, format, planes, decodedWidth, decodedHeight, decodedWidth,
                            decodedHeight);
    cropForPaint(back_, plan);
  } else {
    converted = convertInto(back_, format, planes, std::max(1, decodedWidth - 1),
                            std::max(1, decodedHeight - 1), plan.width, plan.height);
  }
  back_.pictureWidth = pictureWidth;
  back_.pictureHeight = pictureHeight;
  convertedFormat_ = format;
  return converted;
}

bool ChannelDisplay::convertPicture(PictureFormat format, const PicturePlanes& planes, int width,
                                    int height) {
  return convertPicture(format, planes, width, height, width, height,
                        planConversion(width, height, TileTarget{}));
}

std::span<std::uint8_t> ChannelDisplay::directPicture(int width, int height) {
  const std::size_t size =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kBytesPerPixel;
  back_.reserve(size);
  return std::span(back_.pixels.data(), size);
}

void ChannelDisplay::cropForPaint(Picture& picture, const ConversionPlan& plan) {
  if (plan.wholeAtPaint) return;
  // The last row and column stay in the buffer; the tile leaves them out.
  picture.width = std::max(1, picture.width - 1);
  picture.height = std::max(1, picture.height - 1);
}

void ChannelDisplay::finishDirectPicture(const ConversionPlan& plan, int pictureWidth,
                                         int pictureHeight) {
  back_.stride = plan.width * kBytesPerPixel;
  back_.width = plan.width;
  back_.height = plan.height;
  cropForPaint(back_, plan);
  back_.pictureWidth = pictureWidth;
  back_.pictureHeight = pictureHeight;
  convertedFormat_ = PictureFormat{AV_PIX_FMT_BGR0, true};
}

std::optional<PictureView> ChannelDisplay::convertFullPicture(PictureFormat format,
                                                              const PicturePlanes& planes,
                                                              int width, int height) {
  if (!isShownPictureSize(width, height) || !isConvertibleFormat(format.pixelFormat)) {
    return std::nullopt;
  }
  if (!convertInto(full_, format, planes, width - 1, height - 1, width, height)) {
    return std::nullopt;
  }
  full_.pictureWidth = width;
  full_.pictureHeight = height;
  return full_.view();
}

void ChannelDisplay::releaseFullPicture() {
  std::vector<std::uint8_t>().swap(full_.pixels);
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
