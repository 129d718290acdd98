#pragma once

#include <ctime>
#include <string>

namespace ipcam {

struct ChannelRecord;

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

// The camera refused the log-in (wrong user name or password): the tile says so in words with
// the status `code` (0: unchanged), and the event log gets one line with the camera's name.
// Called once per refused attempt; the roads pace their attempts, so the log does not flood.
void reportLoginRefused(int channel, int code);

// The tile text "no picture since hh:mm:ss" for a picture shown at `shownAt` (local time).
std::string noPictureSinceText(std::time_t shownAt);

// Whether a channel's pictures come (ChannelRecord::pictureFlow).
enum PictureFlow : int {
  kPicturesNotYet = 0,  // none since the channel was (re)started by the user
  kPicturesComing = 1,
  kPicturesLost = 2,  // the stream was lost after pictures came, and the log said so
};

// The decoding thread, for every picture shown: after a loss the event log says that the
// camera is back ("reconnected", with its name).
void notePictureShown(ChannelRecord& record);
// A stream that delivered pictures is gone: once per loss, the event log says so, with the
// time the last picture came. Later failed attempts of the same loss say nothing more here.
void reportPicturesLost(ChannelRecord& record);
// The user restarted the channel or changed its camera: what comes next is a fresh start, not
// a comeback.
void forgetPictures(ChannelRecord& record);

}  // namespace ipcam
