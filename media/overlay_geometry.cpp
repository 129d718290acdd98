#include "media/overlay_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace ipcam {
namespace {

struct SizeRow {
  int width;
  int timeStampFont;
  int timeStampOffset;
  int recFont;
  double recRight;  // distance of the text's left edge from the right edge
  int recBottom;
  int motionPen;
  int selectionPen;
};

// One row per table width. "Rec" at 1280 sits 187.5 pixels from the right edge, truncated.
constexpr SizeRow kRows[] = {
    {160, 11, 10, 10, 25, 15, 4, 2},     {176, 11, 10, 10, 25, 15, 4, 2},
    {320, 22, 10, 20, 75, 50, 4, 2},     {640, 44, 10, 40, 75, 50, 8, 4},
    {1024, 66, 20, 60, 150, 100, 16, 8}, {1280, 88, 25, 80, 187.5, 125, 24, 12},
};

const SizeRow& nearestRow(int width) {
  // The rows are in ascending width, so on a tie the narrower row is found first.
  return *std::min_element(std::begin(kRows), std::end(kRows),
                           [width](const SizeRow& a, const SizeRow& b) {
                             return std::abs(a.width - width) < std::abs(b.width - width);
                           });
}

OverlayFrame frameFor(int penWidth, int width, int height) {
  const int half = penWidth / 2;
  return {half, half, width - half + 1, height - half + 1, penWidth};
}

}  // namespace

bool isShownPictureSize(int width, int height) {
  return width >= kMinPictureSide && width <= kMaxPictureSide && height >= kMinPictureSide &&
         height <= kMaxPictureSide;
}

OverlayLayout overlayLayout(int width, int height) {
  const SizeRow& row = nearestRow(width);
  // Exactly 1 for the table's own widths, which therefore keep their values to the pixel.
  const double scale = static_cast<double>(width) / row.width;
  const auto size = [scale](double value) {
    return std::max(1, static_cast<int>(std::lround(value * scale)));
  };
  // A pen is centred on its outline, so an even width keeps the frame exactly inside.
  const auto pen = [scale](double value) {
    return std::max(2, 2 * static_cast<int>(std::lround(value * scale / 2)));
  };
  // The distance is rounded, not the position: that is the table's 187.5 at 1280, too.
  const auto fromEdge = [scale](int edge, double distance) {
    return std::max(0, edge - static_cast<int>(std::lround(distance * scale)));
  };

  OverlayLayout layout;
  layout.timeStampFontHeight = size(row.timeStampFont);
  const int offset = static_cast<int>(std::lround(row.timeStampOffset * scale));
  layout.timeStamp = OverlayPoint{offset, offset};
  layout.recFontHeight = size(row.recFont);
  layout.rec = OverlayPoint{fromEdge(width, row.recRight), fromEdge(height, row.recBottom)};
  layout.motionFrame = frameFor(pen(row.motionPen), width, height);
  layout.selectionFrame = frameFor(pen(row.selectionPen), width, height);
  return layout;
}

}  // namespace ipcam
