#pragma once

#include <chrono>
#include <functional>

namespace ipcam {

class ViewerUi;

// The parts of the main window's start-up and shutdown that do not touch the screen. The
// user interface calls them in this order:
//
//   loadConfiguration      settings paths, the settings file, the recording directories
//   createChannelObjects   every per-channel object, for all 16 channels
//   startChannels          channel records, tile texts, a connection worker per camera
//   startStorageMonitoring (app/ui_services.h)
//   ...the program runs...
//   beginCoreShutdown      saves the settings, then stops every thread and releases the
//                          objects off the calling thread (shutdownCore does both and waits)
//
// `ui` becomes the process-wide main window reference before anything else happens.
void attachUi(ViewerUi* ui);
void loadConfiguration(ViewerUi& ui);
void createChannelObjects(ViewerUi& ui);
void startChannels(ViewerUi& ui);

// Shutdown in two halves, so that the window keeps painting while the channels stop: the
// settings are saved at once on the calling thread, then a thread of its own tells every
// thread of the program to end, waits for each up to its limit, releases the channels'
// objects and calls `finished` (from that thread). Only the first call starts anything; later
// calls return false. Safe when start-up ended early (the settings are then not saved, since
// no settings path is known yet). Afterwards the core no longer calls the UI, and no channel
// thread can be started any more.
bool beginCoreShutdown(std::function<void()> finished = {});
bool coreShutdownFinished();
// Waits up to `limit` for the shutdown begun above; true when it has finished.
bool waitForCoreShutdown(std::chrono::milliseconds limit);
// Begins the shutdown (when nobody has) and waits for its end. Safe to call twice.
void shutdownCore();

// The tile texts again in the current language, for channels in state 5, 10 or 20; other
// states clear the text.
void refreshTileTexts();

}  // namespace ipcam
