#pragma once

namespace ipcam {

class ViewerUi;

// The parts of the main window's start-up and shutdown that do not touch the screen. The
// user interface calls them in this order:
//
//   loadConfiguration      settings paths, the settings file, the recording directories
//   createChannelObjects   every per-channel object, for all 16 channels
//   startChannels          channel records, tile texts, a connection worker per camera
//   startStorageMonitor    (recording/storage.h)
//   ...the program runs...
//   shutdownCore           saves the settings, stops every thread, releases the objects
//
// `ui` becomes the process-wide main window reference before anything else happens.
void attachUi(ViewerUi* ui);
void loadConfiguration(ViewerUi& ui);
void createChannelObjects(ViewerUi& ui);
void startChannels(ViewerUi& ui);

// Safe to call when start-up ended early (the settings are then not saved, since no settings
// path is known yet) and safe to call twice. Afterwards the core no longer calls the UI.
void shutdownCore();

// The tile texts again in the current language, for channels in state 5, 10 or 20; other
// states clear the text.
void refreshTileTexts();

}  // namespace ipcam
