#include "ui/layout_geometry.h"

#include <algorithm>
#include <array>
#include <span>

namespace ipcam::ui {
namespace {

// A tile's cell in the grid: column, row, and its size in cells.
struct Cell {
  int column;
  int row;
  int columns = 1;
  int rows = 1;
};

constexpr std::array kSixTiles{Cell{0, 0, 2, 2}, Cell{2, 0}, Cell{2, 1},
                               Cell{0, 2},       Cell{1, 2}, Cell{2, 2}};
constexpr std::array kEightTiles{Cell{0, 0, 3, 3}, Cell{3, 0}, Cell{3, 1}, Cell{3, 2},
                                 Cell{0, 3},       Cell{1, 3}, Cell{2, 3}, Cell{3, 3}};
constexpr std::array kTenTiles{Cell{0, 0, 2, 2}, Cell{2, 0, 2, 2}, Cell{0, 2}, Cell{1, 2},
                               Cell{2, 2},       Cell{3, 2},       Cell{0, 3}, Cell{1, 3},
                               Cell{2, 3},       Cell{3, 3}};
constexpr std::array kThirteenTiles{
    Cell{0, 0, 2, 2}, Cell{2, 0}, Cell{3, 0}, Cell{2, 1}, Cell{3, 1}, Cell{0, 2}, Cell{1, 2},
    Cell{2, 2},       Cell{3, 2}, Cell{0, 3}, Cell{1, 3}, Cell{2, 3}, Cell{3, 3}};

// Cells per side of the grid.
int gridSize(int tiles) {
  switch (tiles) {
    case 4:
      return 2;
    case 6:
    case 9:
      return 3;
    default:
      return 4;
  }
}

std::vector<Cell> cells(int tiles) {
  const auto from = [](std::span<const Cell> table) {
    return std::vector<Cell>(table.begin(), table.end());
  };
  switch (tiles) {
    case 6:
      return from(kSixTiles);
    case 8:
      return from(kEightTiles);
    case 10:
      return from(kTenTiles);
    case 13:
      return from(kThirteenTiles);
    default: {
      // The even grids: 4, 9 and 16 tiles, row by row.
      const int k = gridSize(tiles);
      std::vector<Cell> grid;
      for (int i = 0; i < tiles; ++i) grid.push_back(Cell{i % k, i / k});
      return grid;
    }
  }
}

}  // namespace

bool isLayoutTileCount(int tiles) {
  return std::ranges::find(kLayoutTileCounts, tiles) != std::end(kLayoutTileCounts);
}

std::vector<TileRect> layoutRects(int tiles, int width, int height) {
  if (!isLayoutTileCount(tiles)) return {};
  if (tiles == 1) return {TileRect{kVideoAreaLeft, kVideoAreaTop, width, height}};
  const int k = gridSize(tiles);
  const int w = width / k;
  const int h = height / k;
  std::vector<TileRect> rects;
  for (const Cell& cell : cells(tiles)) {
    rects.push_back(TileRect{kVideoAreaLeft + cell.column * w, kVideoAreaTop + cell.row * h,
                             cell.columns * w, cell.rows * h});
  }
  return rects;
}

}  // namespace ipcam::ui
