#include "ui/application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <csignal>

#include "ui/qt_viewer_ui.h"
#include "ui/tarsil_dlg.h"

namespace ipcam::ui {
namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int /*signal*/) {
  const char byte = 1;
  // Nothing else is safe in a signal handler; the event loop reads the pipe.
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

void installTerminationSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

int runViewer(QApplication& app) {
  // Never destroyed: a worker abandoned at shutdown may still report to it at exit.
  static auto* const viewerUi = new QtViewerUi();
  CTarsilDlg window(*viewerUi);

  // A signal that came during start-up leaves the pipe readable, so it is acted on as soon as
  // the event loop runs.
  if (signalPipe[0] >= 0) {
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
      char buffer[16];
      bool signalled = false;
      while (::read(signalPipe[0], buffer, sizeof buffer) > 0) signalled = true;
      if (signalled) window.requestClose();
    });
  }
  // The desktop session is ending: close as if the user had.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.requestClose(); });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, [&window] { window.shutdown(); });

  const QScreen* screen = QGuiApplication::primaryScreen();
  const QSize screenSize = screen != nullptr ? screen->size() : QSize();
  if (!window.initialize(screenSize)) {
    window.shutdown();
    return 0;
  }
  window.show();
  window.move((screenSize.width() - window.width()) / 2,
              (screenSize.height() - window.height()) / 2);
  app.setQuitOnLastWindowClosed(true);
  return app.exec();
}

}  // namespace ipcam::ui
