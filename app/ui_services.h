#pragma once

#include <string>

// The value types the windows edit and show: the schedule forms and the settings copy's
// schedule table, the recording directory list and its rules, the rows of the playback
// search, the cameras the LAN search found. The windows include this header, never the
// recording or protocol headers themselves.
#include "protocols/camera_discovery.h"
#include "recording/playback_search.h"
#include "recording/record_dir_rules.h"
#include "recording/schedule.h"

namespace ipcam {

// What the windows ask of the camera protocols and the recorders at run time. Each call
// returns at once; whatever takes time runs on a thread of the layer below.

// --- LAN search, while the camera page is open ------------------------------------------------

void startCameraSearch();
// True when the search ended (or none ran), false when it was given up on after a second.
bool stopCameraSearch();
void refreshCameraSearch();
// The cameras found so far; `clearChanged` resets the list's changed flag.
DiscoverySnapshot foundCameras(bool clearChanged);
// The model name shown for a found camera.
std::string foundCameraModelName(int model, int vendor, int third);

// --- Pan and tilt ---------------------------------------------------------------------------

// A main-window pan/tilt button, for a live camera that can pan and tilt. True when a request
// went out.
bool panTiltButton(int channel, int buttonId);
// A left click into the channel's tile of width by height moves the camera towards that side.
bool panTiltClick(int channel, int width, int height, int x, int y);

// --- Recording storage ----------------------------------------------------------------------

// The storage monitor: free space and cycle recording, once a second until shutdown.
void startStorageMonitoring();

}  // namespace ipcam
