#pragma once

#include <string>

namespace ipcam {

// The pan/tilt query for a click at (x, y) into a tile of width by height: the tile is split
// into thirds, and each outer cell moves towards its side. "" for the centre cell.
std::string ptzQueryForClick(int width, int height, int x, int y);

// The pan/tilt query of a main-window button 1182..1190 for a camera of `cameraType`; "" for
// any other button.
std::string ptzQueryForButton(int buttonId, int cameraType);

// Sends "http://<ip>:<webPort>/camera-cgi/com/ptz.cgi?<query>" to the channel's camera with its
// credentials, on a thread of its own so that a silent camera (3000 ms) never holds up the
// caller. The answer is not looked at. An empty query sends nothing. True when a request went
// out.
bool sendPtzCommand(int channel, const std::string& query);

// A main-window pan/tilt button for the channel: nothing unless the channel is live and its
// camera can pan and tilt. True when a request went out.
bool sendPtzButtonCommand(int channel, int buttonId);

// A left click into the channel's tile (click-to-move): nothing while the channel is being
// reconnected, or unless it is live and its camera can pan and tilt. True when a request went
// out.
bool ptzClickToMove(int channel, int width, int height, int x, int y);

}  // namespace ipcam
