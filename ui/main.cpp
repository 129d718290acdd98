#include <QApplication>
#include <cstdio>

#include "platform/single_instance.h"
#include "ui/application.h"

int main(int argc, char* argv[]) {
  // Help, version and a bad command line are answered before any window, lock or thread.
  if (const auto exitCode = ipcam::ui::handleCommandLine(argc, argv, stdout, stderr)) {
    return *exitCode;
  }

  // One viewer at a time: a second start ends silently and leaves the running one alone.
  const ipcam::platform::SingleInstance instance("IP Camera 16CH Viewer");
  if (!instance.acquired()) return 0;

  ipcam::ui::installTerminationSignals();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("IP Camera Surveillance Software"));
  return ipcam::ui::runViewer(app);
}
