#include "ui/layout_geometry.h"

#include <gtest/gtest.h>

namespace ipcam::ui {
namespace {

struct LayoutCase {
  int tiles;
  int width;
  int height;
  int tile;
  TileRect expected;
};

TEST(LayoutGeometry, PlacesTilesOnTheGridOfTheVideoArea) {
  const LayoutCase cases[] = {
      {1, 640, 480, 0, {60, 60, 640, 480}},
      {4, 640, 480, 3, {380, 300, 320, 240}},
      // The big tile spans two of three cells; 640 / 3 leaves a pixel uncovered.
      {6, 640, 480, 0, {60, 60, 426, 320}},
      {6, 640, 480, 1, {486, 60, 213, 160}},
      {6, 640, 480, 3, {60, 380, 213, 160}},
      {6, 640, 480, 5, {486, 380, 213, 160}},
      {8, 640, 480, 0, {60, 60, 480, 360}},
      {8, 640, 480, 3, {540, 300, 160, 120}},
      {8, 640, 480, 4, {60, 420, 160, 120}},
      {9, 640, 480, 8, {486, 380, 213, 160}},
      {10, 640, 480, 0, {60, 60, 320, 240}},
      {10, 640, 480, 1, {380, 60, 320, 240}},
      {10, 640, 480, 2, {60, 300, 160, 120}},
      {10, 640, 480, 9, {540, 420, 160, 120}},
      {13, 640, 480, 0, {60, 60, 320, 240}},
      {13, 640, 480, 2, {540, 60, 160, 120}},
      {13, 640, 480, 5, {60, 300, 160, 120}},
      {16, 640, 480, 5, {220, 180, 160, 120}},
      {16, 640, 480, 15, {540, 420, 160, 120}},
      // Full screen on 1280 x 1024: the window sits at (-60, -60), so (60, 60) is the corner.
      {16, 1280, 1024, 0, {60, 60, 320, 256}},
      {16, 1280, 1024, 15, {1020, 828, 320, 256}},
      {1, 1280, 1024, 0, {60, 60, 1280, 1024}},
  };
  for (const LayoutCase& c : cases) {
    const std::vector<TileRect> rects = layoutRects(c.tiles, c.width, c.height);
    ASSERT_EQ(rects.size(), static_cast<std::size_t>(c.tiles)) << c.tiles << " tiles";
    EXPECT_EQ(rects[static_cast<std::size_t>(c.tile)], c.expected)
        << c.tiles << " tiles at " << c.width << "x" << c.height << ", tile " << c.tile;
  }
}

TEST(LayoutGeometry, TilesNeverOverlapAndOtherCountsHaveNoLayout) {
  for (const int tiles : kLayoutTileCounts) {
    const std::vector<TileRect> rects = layoutRects(tiles, 640, 480);
    long area = 0;
    for (std::size_t i = 0; i < rects.size(); ++i) {
      const TileRect& r = rects[i];
      for (std::size_t j = i + 1; j < rects.size(); ++j) {
        const TileRect& o = rects[j];
        const bool apart = r.left + r.width <= o.left || o.left + o.width <= r.left ||
                           r.top + r.height <= o.top || o.top + o.height <= r.top;
        EXPECT_TRUE(apart) << tiles << " tiles: " << i << " and " << j;
      }
      EXPECT_GE(r.left, 60);
      EXPECT_LE(r.left + r.width, 700) << tiles;
      EXPECT_LE(r.top + r.height, 540) << tiles;
      area += static_cast<long>(r.width) * r.height;
    }
    // Apart and together as large as the grid: the tiles cover it without a gap.
    const int k = tiles == 4 ? 2 : (tiles == 6 || tiles == 9) ? 3 : 4;
    EXPECT_EQ(area, tiles == 1 ? 640L * 480 : static_cast<long>(640 / k * k) * (480 / k * k))
        << tiles;
  }
  for (const int tiles : {0, 2, 12, 17}) EXPECT_TRUE(layoutRects(tiles, 640, 480).empty());
}

}  // namespace
}  // namespace ipcam::ui
