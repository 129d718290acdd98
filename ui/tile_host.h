#pragma once

namespace ipcam::ui {

// What a tile asks of the window that holds it. The main window implements it.
class TileHost {
 public:
  virtual ~TileHost() = default;

  // Makes `channel`'s tile the one selected tile (every other tile is deselected).
  virtual void selectTile(int channel) = 0;
  // The selected tile's channel, or -1.
  virtual int selectedChannel() const = 0;
  // Enables the pan/tilt buttons when the channel's camera can pan and tilt.
  virtual void updatePtzButtons(int channel) = 0;
  // The one-tile layout, then full screen (a double click on a tile).
  virtual void showOneTileFullScreen() = 0;
  virtual bool fullScreen() const = 0;
  // Exchanges the places of two tiles in the grid; the channels keep their numbers.
  virtual void swapTiles(int channelA, int channelB) = 0;
  // The tile's "configure camera" command: the main window's camera settings.
  virtual void configureCameras() = 0;
};

}  // namespace ipcam::ui
