#pragma once

#include <string>

namespace ipcam {

// What a channel's threads tell the user, in one place: the event log, the tile's status and
// text, and message boxes about a camera. Each does nothing while no main window is attached.

// One line in the event log for `channel` (-1: without the camera prefix).
void logChannelEvent(int channel, const std::string& text);

// The tile takes the status `code` (0: unchanged) and the language text `key` of the tile
// section ("ViewerElement").
void showTileText(int channel, int code, const char* key);

// A message box "Camera %d: " followed by the language text `key` of the message section,
// posted: the calling thread goes on at once.
void showCameraMessage(int channel, const char* key);

// The language text `key` of the tile section, as the tiles show it.
std::string tileLanguageText(const char* key);

}  // namespace ipcam
