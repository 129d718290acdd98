#include "media/overlay_geometry.h"

#include <algorithm>
#include <cmath>
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

// One row per shown width. "Rec" at 1280 sits 187.5 pixels from the right edge, truncated.
constexpr SizeRow kRows[] = {
    {160, 11, 10, 10, 25, 15, 4, 2},     {176, 11, 10, 10, 25, 15, 4, 2},
    {320, 22, 10, 20, 75, 50, 4, 2},     {640, 44, 10, 40, 75, 50, 8, 4},
    {1024, 66, 20, 60, 150, 100, 16, 8}, {1280, 88, 25, 80, 187.5, 125, 24, 12},
};

OverlayFrame frameFor(int penWidth, int width, int height) {
  const int half = penWidth / 2;
  return {half, half, width - half + 1, height - half + 1, penWidth};
}

}  // namespace

bool isPictureWidth(int width) {
  return std::find(std::begin(kPictureWidths), std::end(kPictureWidths), width) !=
         std::end(kPictureWidths);
}

bool isMpegPictureWidth(int width) {
  return width != 176 && isPictureWidth(width);
}

std::optional<OverlayLayout> overlayLayout(int width, int height) {
  const auto row = std::find_if(std::begin(kRows), std::end(kRows),
                                [width](const SizeRow& r) { return r.width == width; });
  if (row == std::end(kRows)) return std::nullopt;
  OverlayLayout layout;
  layout.timeStampFontHeight = row->timeStampFont;
  layout.timeStamp = OverlayPoint{row->timeStampOffset, row->timeStampOffset};
  layout.recFontHeight = row->recFont;
  layout.rec =
      OverlayPoint{static_cast<int>(std::trunc(width - row->recRight)), height - row->recBottom};
  layout.motionFrame = frameFor(row->motionPen, width, height);
  layout.selectionFrame = frameFor(row->selectionPen, width, height);
  return layout;
}

}  // namespace ipcam
