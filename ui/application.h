#pragma once

class QApplication;

namespace ipcam::ui {

// Makes SIGTERM, SIGINT and SIGHUP close the main window the orderly way (settings saved,
// threads stopped). Call before the QApplication exists; the signals are then remembered until
// the event loop can act on them.
void installTerminationSignals();

// Creates the main window, runs its start-up and the event loop; returns the exit code.
int runViewer(QApplication& app);

}  // namespace ipcam::ui
