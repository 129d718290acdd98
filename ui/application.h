#pragma once

#include <cstdio>
#include <optional>

class QApplication;

namespace ipcam::ui {

// The program's own options: --help and --version print to `out` and end the program;
// anything else that is not one of Qt's display options (-platform, -display, -session, ...,
// which QApplication takes) is refused with a message on `err`. Returns the exit code when the
// program must end here (0 after help or version, 2 for a bad command line), before any window
// or lock exists; nullopt to go on.
std::optional<int> handleCommandLine(int argc, char* argv[], std::FILE* out, std::FILE* err);

// Makes SIGTERM, SIGINT and SIGHUP close the main window the orderly way (settings saved,
// threads stopped). Call before the QApplication exists; the signals are then remembered until
// the event loop can act on them.
void installTerminationSignals();

// Creates the main window, runs its start-up and the event loop; returns the exit code.
int runViewer(QApplication& app);

}  // namespace ipcam::ui
