#include "media/channel_display.h"

namespace ipcam {

// The surfaces are plain memory pictures drawn by the tile, so there is nothing that can fail
// before the first picture arrives.
bool ChannelDisplay::setUp() {
  return true;
}

void ChannelDisplay::discardPicture() {}

void ChannelDisplay::close() {}

}  // namespace ipcam
