#pragma once

#include <vector>

namespace ipcam::ui {

// A tile's place in main-window coordinates.
struct TileRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;

  bool operator==(const TileRect&) const = default;
};

// Where the video area starts in the window. In full screen the window itself moves up and
// left by the same amount, so the area then starts at the screen's corner.
inline constexpr int kVideoAreaLeft = 60;
inline constexpr int kVideoAreaTop = 60;

// The tile counts of the eight layouts.
inline constexpr int kLayoutTileCounts[] = {1, 4, 6, 8, 9, 10, 13, 16};
bool isLayoutTileCount(int tiles);

// The rectangles of tiles 0..tiles-1 for a video area of width x height; empty for a tile
// count that is not one of the layouts. Cells are whole pixels, so the area's right and
// bottom remainder stay uncovered, as they always have.
std::vector<TileRect> layoutRects(int tiles, int width, int height);

}  // namespace ipcam::ui
