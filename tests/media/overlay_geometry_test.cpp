#include "media/overlay_geometry.h"

#include <gtest/gtest.h>

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

TEST(OverlayGeometry, SizesAndPlacesEveryOverlayByPictureWidth) {
  const GeometryCase cases[] = {
      {160, 120, 11, {10, 10}, 10, {135, 105}, {2, 2, 159, 119, 4}, {1, 1, 160, 120, 2}},
      {176, 144, 11, {10, 10}, 10, {151, 129}, {2, 2, 175, 143, 4}, {1, 1, 176, 144, 2}},
      {320, 240, 22, {10, 10}, 20, {245, 190}, {2, 2, 319, 239, 4}, {1, 1, 320, 240, 2}},
      {640, 480, 44, {10, 10}, 40, {565, 430}, {4, 4, 637, 477, 8}, {2, 2, 639, 479, 4}},
      {1024, 768, 66, {20, 20}, 60, {874, 668}, {8, 8, 1017, 761, 16}, {4, 4, 1021, 765, 8}},
      {1280, 1024, 88, {25, 25}, 80, {1092, 899}, {12, 12, 1269, 1013, 24}, {6, 6, 1275, 1019, 12}},
  };
  for (const GeometryCase& c : cases) {
    SCOPED_TRACE(c.width);
    const std::optional<OverlayLayout> layout = overlayLayout(c.width, c.height);
    ASSERT_TRUE(layout.has_value());
    EXPECT_EQ(layout->timeStampFontHeight, c.timeStampFont);
    EXPECT_EQ(layout->timeStamp, c.timeStamp);
    EXPECT_EQ(layout->recFontHeight, c.recFont);
    EXPECT_EQ(layout->rec, c.rec);
    EXPECT_EQ(layout->motionFrame, c.motion);
    EXPECT_EQ(layout->selectionFrame, c.selection);
  }
}

TEST(OverlayGeometry, OtherWidthsAreNotShown) {
  for (int width : {0, 704, 720, 800, 1920}) {
    EXPECT_FALSE(overlayLayout(width, 480).has_value()) << width;
    EXPECT_FALSE(isPictureWidth(width)) << width;
  }
  EXPECT_TRUE(isPictureWidth(176));
  EXPECT_FALSE(isMpegPictureWidth(176));
  EXPECT_TRUE(isMpegPictureWidth(1280));
}

}  // namespace
}  // namespace ipcam
