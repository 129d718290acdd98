#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/overlay_geometry.h"

struct SwsContext;

namespace ipcam {

// Source layouts the decoders hand over; the names follow the decoder library's formats.
enum class PictureFormat : int {
  kYuv420Full = 0,  // planar 4:2:0, full range (JPEG)
  kYuv420 = 1,      // planar 4:2:0, video range (MPEG)
  kYuv422Full = 2,  // planar 4:2:2, full range (JPEG)
};
inline constexpr int kPictureFormatCount = 3;

// The three planes of a decoded picture as the decoder left them.
struct PicturePlanes {
  std::array<const std::uint8_t*, 3> data{};
  std::array<int, 3> stride{};
};

// What the tile draws over a picture.
struct PictureOverlay {
  bool motion = false;     // the camera reported motion a few frames ago
  bool timeStamp = false;  // camera types 9 and 10 get the local time written on them
  bool recording = false;  // one of the channel's recorders is writing
};

// A picture in RGB32 (one 32-bit 0xffRRGGBB word per pixel), valid only inside the call that
// hands it out.
struct PictureView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per line
  PictureOverlay overlay;
};

// The drawing surface of one channel: the newest decoded picture in RGB32 at its own size,
// with the overlay state it was decoded with. Created once at start-up for every channel and
// kept until exit.
//
// Two buffers: the channel's decoding thread converts into the back one without any lock and
// swaps it to the front under a short lock; the tile paints the front one under the same
// lock. Only one thread decodes for a channel at a time, so the back buffer and the
// converters have one user.
class ChannelDisplay {
 public:
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
  // width x height into the back buffer. False (nothing converted) for a size that is not
  // shown. Buffers and converters are made when a size is first seen, never per picture.
  bool convertPicture(PictureFormat format, const PicturePlanes& planes, int width, int height);
  // Decoding thread: the picture last converted, for a snapshot before it is shown.
  PictureView convertedPicture() const;
  // Decoding thread: makes the converted picture the one the tile shows.
  void showConvertedPicture(const PictureOverlay& overlay);

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
  using Converter = std::unique_ptr<SwsContext, SwsDeleter>;

  SwsContext* converterFor(PictureFormat format, int width, int height);

  const int channel_;
  const OverlayColour overlayTextColour_ = kOverlayGreen;

  // Decoding thread only.
  Picture back_;
  std::array<Converter, kPictureFormatCount * std::size(kPictureWidths)> converters_;

  mutable std::mutex frontMutex_;
  Picture front_;  // guarded by frontMutex_
};

}  // namespace ipcam
