#pragma once

#include <cstdint>

namespace ipcam {

// The picture sizes a channel decodes and shows; anything outside is dropped.
inline constexpr int kMinPictureSide = 16;
inline constexpr int kMaxPictureSide = 4096;
bool isShownPictureSize(int width, int height);

// The widths whose overlay geometry is laid down; every other width borrows the geometry of
// the nearest of them, scaled (overlayLayout).
inline constexpr int kOverlayTableWidths[] = {160, 176, 320, 640, 1024, 1280};

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

// The table's geometry for its own widths. Any other width takes the row of the nearest
// table width (the narrower one on a tie) scaled by width / table width: fonts, pens and the
// time stamp's distance from the top-left corner grow with it, and "Rec" keeps its scaled
// distance from the right and bottom edges (never left of or above the picture's origin).
// Scaled values are rounded to the nearest pixel; fonts are at least one pixel, and pens an
// even width of at least two, so that a frame centred on its outline stays in the picture.
OverlayLayout overlayLayout(int width, int height);

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
