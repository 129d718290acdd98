#pragma once

#include <cstdint>
#include <ctime>

namespace ipcam {

// What the tile draws over a picture.
struct PictureOverlay {
  bool motion = false;     // the camera reported motion a few frames ago
  bool timeStamp = false;  // camera types 9 and 10 get the local time written on them
  bool recording = false;  // one of the channel's recorders is writing
  // When the picture was decoded, for the time stamp: a picture that stopped coming keeps the
  // time it came, so its time stamp never ticks on.
  std::time_t decodedAt = 0;
};

// A picture in RGB32 (one 32-bit 0xffRRGGBB word per pixel), valid only inside the call that
// hands it out. `width` x `height` pixels at `data` are what is shown, stretched to the whole
// tile; they may be fewer than the camera sent (a picture converted at the tile's size, or
// decoded at a fraction of its size). The overlays are laid out for the camera's own picture
// size, `pictureWidth` x `pictureHeight`, and stretched with it.
struct PictureView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per line
  PictureOverlay overlay;
  int pictureWidth = 0;
  int pictureHeight = 0;
};

}  // namespace ipcam
