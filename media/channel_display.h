#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
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

// The drawing surface of one channel: the newest decoded picture in RGB32 at its own size,
// with the overlay state it was decoded with. Created once at start-up for every channel and
// kept until exit.
//
// Two buffers: the channel's decoding thread converts into the back one without any lock and
// swaps it to the front under a short lock; the tile paints the front one under the same
// lock. Only one thread decodes for a channel at a time, so the back buffer and the
// converters have one user. Both buffers grow to the largest picture seen and then stay.
class ChannelDisplay {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ChannelDisplay(int channel);
  ~ChannelDisplay();
  ChannelDisplay(const ChannelDisplay&) = delete;
  ChannelDisplay& operator=(const ChannelDisplay&) = delete;

  // Prepares the surfaces for the channel's tile. False when that fails; start-up goes on.
  bool setUp();
  // Forgets the last picture, so the tile stops showing a stale image while reconnecting.
  void discardPicture();
  // Forgets the picture; the buffers and converters stay for a decoding thread that may still
  // be on its way out and go with the object. Safe to call twice.
  void close();

  int channel() const { return channel_; }
  OverlayColour overlayTextColour() const { return overlayTextColour_; }

  // Decoding thread: scales the (width - 1) x (height - 1) top left of the decoded picture to
  // width x height into the back buffer. False (nothing converted) for a size outside
  // isShownPictureSize or a format the converter cannot read. A converter is made the first
  // time a format and size are seen and then kept (the few most recent ones), never per
  // picture.
  bool convertPicture(PictureFormat format, const PicturePlanes& planes, int width, int height);
  // Decoding thread: the picture last converted, for a snapshot before it is shown.
  PictureView convertedPicture() const;
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
    int width = 0;
    int height = 0;
    PictureOverlay overlay;
    bool shown = false;
    PictureView view() const;
  };
  struct SwsDeleter {
    void operator()(SwsContext* context) const;
  };
  struct ConverterKey {
    PictureFormat format;
    int width = 0;
    int height = 0;
    bool operator==(const ConverterKey&) const = default;
  };
  struct Converter {
    ConverterKey key;
    std::unique_ptr<SwsContext, SwsDeleter> context;
    std::uint64_t lastUse = 0;
  };
  // A camera that changes its size or format now and then finds its converters again; one
  // that never stops changing costs at most this many.
  static constexpr std::size_t kConverterCacheSize = 8;

  SwsContext* converterFor(PictureFormat format, int width, int height);

  const int channel_;
  const OverlayColour overlayTextColour_ = kOverlayGreen;

  // Decoding thread only.
  Picture back_;
  std::vector<Converter> converters_;  // at most kConverterCacheSize, reserved up front
  std::uint64_t conversions_ = 0;      // orders the converters by their last use

  mutable std::mutex frontMutex_;
  Picture front_;  // guarded by frontMutex_

  // Steady-clock ticks of the last showConvertedPicture, 0 before the first; atomic: written
  // by the decoding thread, read by the tile.
  std::atomic<Clock::rep> lastShownTicks_{0};
};

}  // namespace ipcam
