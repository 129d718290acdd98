#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "core/picture.h"
#include "media/overlay_geometry.h"

struct SwsContext;

namespace ipcam {

// How a decoded picture's samples are laid out: the decoder library's pixel format (an
// AVPixelFormat value) and whether luma and chroma use the full 0..255 range (JPEG) rather
// than the video range 16..235.
struct PictureFormat {
  int pixelFormat = -1;
  bool fullRange = false;
  bool operator==(const PictureFormat&) const = default;
};

// The format of a picture as the decoder left it (its AVPixelFormat and AVColorRange). The
// old "J" formats and a range the decoder marked as full both count as full range; grey
// pictures of unknown range are full range, as JPEG pictures are.
PictureFormat pictureFormatOf(int pixelFormat, int colourRange);
// Whether the converter reads pictures of that pixel format at all.
bool isConvertibleFormat(int pixelFormat);

// The planes of a decoded picture as the decoder left them.
struct PicturePlanes {
  std::array<const std::uint8_t*, 4> data{};
  std::array<int, 4> stride{};
};

// Where the channel's tile is, as far as the decode thread needs to know.
struct TileTarget {
  enum class Kind {
    kUnknown,  // no tile has said: pictures are converted at their own size
    kHidden,   // the tile is not on screen
    kShown,    // the tile shows the channel at width x height pixels
  };
  Kind kind = Kind::kUnknown;
  int width = 0;
  int height = 0;
  bool operator==(const TileTarget&) const = default;
};

// The largest reduction a Motion JPEG decoder is asked for: 1/8 per side.
inline constexpr int kMaxDecodeShift = 3;

// A picture side decoded at 1/2^shift, as the JPEG decoders round it: up.
constexpr int reducedSide(int side, int shift) {
  return (side + (1 << shift) - 1) >> shift;
}

// How far below its own size (1/2^shift per side) a picture is decoded for the tile: as far
// as it goes while the decoded picture still covers the tile's pixels in both directions, so
// nothing is shown blurred. A hidden tile gets the smallest picture; no tile, the whole one.
int decodeShift(int pictureWidth, int pictureHeight, TileTarget target);

// What one decoded picture is converted to.
struct ConversionPlan {
  // Pixels converted.
  int width = 0;
  int height = 0;
  // True: the picture is converted at the size it was decoded at, without scaling, and the
  // tile shows all of it but the last row and column, stretched to its own size. False: the
  // decoded picture less its last row and column is scaled to width x height in the same
  // pass, and the tile shows every converted pixel.
  bool cropAtPaint = false;
  // With cropAtPaint, a tile exactly the decoded size: it shows every converted pixel as it
  // is. Stretching all but the last row and column would move the picture by less than a
  // pixel and cost a scaled draw of every picture.
  bool wholeAtPaint = false;
  bool operator==(const ConversionPlan&) const = default;
};

// A tile smaller than the decoded picture in either direction gets the picture converted at
// its own pixel size; a tile at least as large gets the decoded picture as it is (the paint
// stretches it, as it would any converted picture, or copies it when the sizes are equal),
// and so does a hidden one. Without a tile the picture is converted at the size it was
// decoded at, stretched by one pixel each way.
ConversionPlan planConversion(int decodedWidth, int decodedHeight, TileTarget target);

// The drawing surface of one channel: the newest picture in RGB32 with the overlay state it
// was decoded with, and the size of the tile that shows it. Created once at start-up for
// every channel and kept until exit.
//
// Two buffers: the channel's decoding thread converts into the back one without any lock and
// swaps it to the front under a short lock; the tile paints the front one under the same
// lock. Only one thread decodes for a channel at a time, so the back buffer and the
// converters have one user. The buffers follow the size the tile shows, not the camera's.
class ChannelDisplay {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ChannelDisplay(int channel);
  ~ChannelDisplay();
  ChannelDisplay(const ChannelDisplay&) = delete;
  ChannelDisplay& operator=(const ChannelDisplay&) = delete;

  // Forgets the last picture, so the tile stops showing a stale image while reconnecting.
  void discardPicture();
  // Forgets the picture; the buffers and converters stay for a decoding thread that may still
  // be on its way out and go with the object. Safe to call twice.
  void close();

  int channel() const { return channel_; }
  OverlayColour overlayTextColour() const { return overlayTextColour_; }

  // The tile, whenever its size or visibility changes: the next picture is decoded and
  // converted for that. Sizes are in device pixels; 0 or less counts as 1.
  void setTileSize(int width, int height);
  void setTileHidden();
  // The decoding thread, once per picture.
  TileTarget tileTarget() const;

  // Decoding thread: converts a decoded picture of decodedWidth x decodedHeight (of a camera
  // picture of pictureWidth x pictureHeight) into the back buffer by `plan`, in one pass of
  // the converter. False (nothing converted) for a size outside isShownPictureSize or a
  // format the converter cannot read. A converter is made the first time a format and its
  // sizes are seen and then kept (the few most recent ones), never per picture.
  bool convertPicture(PictureFormat format, const PicturePlanes& planes, int decodedWidth,
                      int decodedHeight, int pictureWidth, int pictureHeight,
                      const ConversionPlan& plan);
  // The same for a picture decoded at its own size, without a tile: the documented
  // conversion of its (width - 1) x (height - 1) top left to width x height.
  bool convertPicture(PictureFormat format, const PicturePlanes& planes, int width, int height);
  // Decoding thread: for a decoder that writes RGB32 itself (plans with cropAtPaint only).
  // The back buffer as width x height pixels of 4 bytes, lines width * 4 bytes apart; once
  // the decoder has filled it, finishDirectPicture makes it the converted picture.
  std::span<std::uint8_t> directPicture(int width, int height);
  void finishDirectPicture(const ConversionPlan& plan, int pictureWidth, int pictureHeight);
  // Decoding thread: the layout the last picture was converted from (AV_PIX_FMT_BGR0, RGB32
  // in memory order, when the decoder wrote it itself).
  PictureFormat convertedFormat() const { return convertedFormat_; }
  // Decoding thread: the decoded picture at its full size by the documented conversion, for a
  // snapshot, whatever size the tile shows; nullopt when it cannot be converted. Valid until
  // the next call. Its memory is let go by releaseFullPicture.
  std::optional<PictureView> convertFullPicture(PictureFormat format, const PicturePlanes& planes,
                                                int width, int height);
  void releaseFullPicture();
  // Decoding thread: makes the converted picture the one the tile shows.
  void showConvertedPicture(const PictureOverlay& overlay);

  // When the last picture was shown (steady clock); nullopt before the first. Any thread.
  std::optional<Clock::time_point> lastPictureTime() const;

  // Calls `paint(const PictureView&)` with the front picture under the display lock and
  // returns true, or returns false without calling when there is no picture. Keep `paint`
  // short: the decoding thread waits for it before it can show the next picture.
  template <class F>
  bool withFrontPicture(F&& paint) const {
    std::lock_guard lock(frontMutex_);
    if (!front_.shown) return false;
    paint(front_.view());
    return true;
  }

 private:
  struct Picture {
    std::vector<std::uint8_t> pixels;
    int width = 0;   // shown pixels
    int height = 0;  // shown lines
    int stride = 0;
    int pictureWidth = 0;
    int pictureHeight = 0;
    PictureOverlay overlay;
    bool shown = false;
    PictureView view() const;
    // Room for `bytes`; grows, and shrinks once far too large (after a tile got smaller).
    void reserve(std::size_t bytes);
  };
  struct SwsDeleter {
    void operator()(SwsContext* context) const;
  };
  struct ConverterKey {
    PictureFormat format;
    int sourceWidth = 0;
    int sourceHeight = 0;
    int targetWidth = 0;
    int targetHeight = 0;
    bool operator==(const ConverterKey&) const = default;
  };
  struct Converter {
    ConverterKey key;
    std::unique_ptr<SwsContext, SwsDeleter> context;
    std::uint64_t lastUse = 0;
  };
  // A camera that changes its size or format now and then, or a tile that changes its size,
  // finds its converters again; one that never stops changing costs at most this many.
  static constexpr std::size_t kConverterCacheSize = 8;

  // The part of a picture converted by a cropAtPaint plan that the tile shows.
  static void cropForPaint(Picture& picture, const ConversionPlan& plan);
  SwsContext* converterFor(const ConverterKey& key);
  bool convertInto(Picture& picture, PictureFormat format, const PicturePlanes& planes,
                   int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);

  const int channel_;
  const OverlayColour overlayTextColour_ = kOverlayGreen;

  // The tile's target packed into one word (kind, width, height), so the decoding thread
  // never reads a width of one size and a height of another; atomic: the tile writes, the
  // decoding thread reads.
  std::atomic<std::uint64_t> tileTarget_{0};

  // Decoding thread only.
  Picture back_;
  Picture full_;                       // the snapshot's full-size picture
  std::vector<Converter> converters_;  // at most kConverterCacheSize, reserved up front
  std::uint64_t conversions_ = 0;      // orders the converters by their last use
  PictureFormat convertedFormat_;

  mutable std::mutex frontMutex_;
  Picture front_;  // guarded by frontMutex_

  // Steady-clock ticks of the last showConvertedPicture, 0 before the first; atomic: written
  // by the decoding thread, read by the tile.
  std::atomic<Clock::rep> lastShownTicks_{0};
};

}  // namespace ipcam
