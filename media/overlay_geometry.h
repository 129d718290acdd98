#pragma once

#include <cstdint>
#include <optional>

namespace ipcam {

// The widths a channel shows; every other width is refused.
inline constexpr int kPictureWidths[] = {640, 320, 160, 176, 1024, 1280};
bool isPictureWidth(int width);
// MPEG-4 and H.264 pictures come in every displayed width but 176.
bool isMpegPictureWidth(int width);

struct OverlayPoint {
  int x = 0;
  int y = 0;
  bool operator==(const OverlayPoint&) const = default;
};

// A frame outline in the rectangle convention of the drawing code it was laid out for: the
// pen of width `penWidth` is centred on the outline from (left, top) to (right - 1,
// bottom - 1), so the frame lies exactly inside the picture.
struct OverlayFrame {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int penWidth = 0;
  bool operator==(const OverlayFrame&) const = default;
};

// Where the overlays of one picture go, in picture pixels. They are drawn at picture
// resolution and stretched with the picture, so they keep their share of the tile.
struct OverlayLayout {
  int timeStampFontHeight = 0;
  OverlayPoint timeStamp;  // top left of the text
  int recFontHeight = 0;
  OverlayPoint rec;  // top left of the text
  OverlayFrame motionFrame;
  OverlayFrame selectionFrame;
  bool operator==(const OverlayLayout&) const = default;
};

// nullopt for a width that is not shown.
std::optional<OverlayLayout> overlayLayout(int width, int height);

struct OverlayColour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const OverlayColour&) const = default;
};

inline constexpr OverlayColour kOverlayGreen{0, 255, 0};
inline constexpr OverlayColour kOverlayRed{255, 0, 0};
inline constexpr const char* kTimeStampFormat = "%Y.%m.%d %H:%M:%S";
inline constexpr const char* kRecText = "Rec";
inline constexpr int kRecFontWeight = 600;

}  // namespace ipcam
