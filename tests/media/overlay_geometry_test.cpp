#include "media/overlay_geometry.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace ipcam {
namespace {

struct GeometryCase {
  int width;
  int height;
  int timeStampFont;
  OverlayPoint timeStamp;
  int recFont;
  OverlayPoint rec;
  OverlayFrame motion;
  OverlayFrame selection;
};

void expectLayout(const GeometryCase& c) {
  SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
  const OverlayLayout layout = overlayLayout(c.width, c.height);
  EXPECT_EQ(layout.timeStampFontHeight, c.timeStampFont);
  EXPECT_EQ(layout.timeStamp, c.timeStamp);
  EXPECT_EQ(layout.recFontHeight, c.recFont);
  EXPECT_EQ(layout.rec, c.rec);
  EXPECT_EQ(layout.motionFrame, c.motion);
  EXPECT_EQ(layout.selectionFrame, c.selection);
}

TEST(OverlayGeometry, SizesAndPlacesEveryOverlayByPictureWidth) {
  const GeometryCase cases[] = {
      {160, 120, 11, {10, 10}, 10, {135, 105}, {2, 2, 159, 119, 4}, {1, 1, 160, 120, 2}},
      {176, 144, 11, {10, 10}, 10, {151, 129}, {2, 2, 175, 143, 4}, {1, 1, 176, 144, 2}},
      {320, 240, 22, {10, 10}, 20, {245, 190}, {2, 2, 319, 239, 4}, {1, 1, 320, 240, 2}},
      {640, 480, 44, {10, 10}, 40, {565, 430}, {4, 4, 637, 477, 8}, {2, 2, 639, 479, 4}},
      {1024, 768, 66, {20, 20}, 60, {874, 668}, {8, 8, 1017, 761, 16}, {4, 4, 1021, 765, 8}},
      {1280, 1024, 88, {25, 25}, 80, {1092, 899}, {12, 12, 1269, 1013, 24}, {6, 6, 1275, 1019, 12}},
      // A table width with another height keeps its row; only the edges move.
      {640, 360, 44, {10, 10}, 40, {565, 310}, {4, 4, 637, 357, 8}, {2, 2, 639, 359, 4}},
  };
  for (const GeometryCase& c : cases) expectLayout(c);
}

// Other widths scale the nearest table row by width / table width: fonts, pens (kept even, so
// a frame stays inside the picture) and the time stamp's offset grow, and "Rec" keeps its
// scaled distance from the right and bottom edges.
TEST(OverlayGeometry, OtherWidthsScaleTheNearestRow) {
  const GeometryCase cases[] = {
      // 320 row, x1.1
      {352, 288, 24, {11, 11}, 22, {269, 233}, {2, 2, 351, 287, 4}, {1, 1, 352, 288, 2}},
      // 1280 row, x1.5
      {1920,
       1080,
       132,
       {38, 38},
       120,
       {1639, 892},
       {18, 18, 1903, 1063, 36},
       {9, 9, 1912, 1072, 18}},
      // 1280 row, x2.1
      {2688,
       1520,
       185,
       {53, 53},
       168,
       {2294, 1257},
       {25, 25, 2664, 1496, 50},
       {13, 13, 2676, 1508, 26}},
      // 1280 row, x3
      {3840,
       2160,
       264,
       {75, 75},
       240,
       {3277, 1785},
       {36, 36, 3805, 2125, 72},
       {18, 18, 3823, 2143, 36}},
      // 160 row, x0.1: every size at least a pixel, every pen at least two
      {16, 16, 1, {1, 1}, 1, {13, 14}, {1, 1, 16, 16, 2}, {1, 1, 16, 16, 2}},
  };
  for (const GeometryCase& c : cases) expectLayout(c);
}

TEST(OverlayGeometry, ShownSizesRunFrom16To4096EachWay) {
  for (auto [width, height] : {std::pair{16, 16}, std::pair{4096, 4096}, std::pair{16, 4096}}) {
    EXPECT_TRUE(isShownPictureSize(width, height)) << width << "x" << height;
  }
  for (auto [width, height] : {std::pair{15, 16}, std::pair{16, 15}, std::pair{4097, 16},
                               std::pair{16, 4097}, std::pair{0, 0}, std::pair{-320, 240}}) {
    EXPECT_FALSE(isShownPictureSize(width, height)) << width << "x" << height;
  }
}

}  // namespace
}  // namespace ipcam
