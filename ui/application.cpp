#include "ui/application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <csignal>
#include <span>
#include <string_view>

#include "ipcam_version.h"
#include "ui/qt_viewer_ui.h"
#include "ui/tarsil_dlg.h"

namespace ipcam::ui {
namespace {

constexpr std::string_view kProgramName = "ipcam-viewer";
constexpr int kExitBadCommandLine = 2;

constexpr const char* kUsage =
    "Usage: ipcam-viewer [OPTION]\n"
    "Shows, records and plays back up to 16 IP cameras.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"
    "\n"
    "Qt's display options (-platform, -display, -style, ...) are passed on to Qt.\n"
    "\n"
    "Environment:\n"
    "  LC_ALL, LC_MESSAGES, LANG  the first one set picks the language at start-up\n"
    "  IPCAM_RESOURCES            folder of the images, language files and sounds\n"
    "  IPCAM_TRACE                when set, diagnostic lines go to standard error\n"
    "\n"
    "Settings are kept in $XDG_CONFIG_HOME/CORVEL IP Camera Viewer/avcln.ini\n"
    "(~/.config/... when XDG_CONFIG_HOME is not set).\n";

// Qt's own command-line options, which QApplication takes out of argv itself. A desktop
// session restarts its programs with -session, so these must get through.
constexpr std::array<std::string_view, 14> kQtOptionsWithValue = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "name",          "title"};
constexpr std::array<std::string_view, 6> kQtFlags = {"reverse", "widgetcount", "nograb",
                                                      "dograb",  "sync",        "qmljsdebugger"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::ranges::find(names, name) != names.end();
}

// How many arguments a Qt option at the front of `rest` takes up; 0 when it is none of Qt's.
std::size_t qtOptionLength(std::span<char* const> rest) {
  std::string_view option(rest.front());
  if (!option.starts_with('-')) return 0;
  option.remove_prefix(option.starts_with("--") ? 2 : 1);
  if (const auto equals = option.find('='); equals != std::string_view::npos) {
    const std::string_view name = option.substr(0, equals);
    return contains(kQtOptionsWithValue, name) || contains(kQtFlags, name) ? 1 : 0;
  }
  if (contains(kQtFlags, option)) return 1;
  // A value option without its value is left for the refusal below.
  if (contains(kQtOptionsWithValue, option) && rest.size() > 1) return 2;
  return 0;
}

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int /*signal*/) {
  const char byte = 1;
  // Nothing else is safe in a signal handler; the event loop reads the pipe.
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

std::optional<int> handleCommandLine(int argc, char* argv[], std::FILE* out, std::FILE* err) {
  const std::span<char* const> args(argv, static_cast<std::size_t>(std::max(argc, 0)));
  for (std::size_t i = 1; i < args.size();) {
    const std::string_view arg(args[i]);
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, out);
      return 0;
    }
    if (arg == "-v" || arg == "--version") {
      std::fprintf(out, "%.*s %s\n", static_cast<int>(kProgramName.size()), kProgramName.data(),
                   kVersionString);
      return 0;
    }
    if (const std::size_t taken = qtOptionLength(args.subspan(i)); taken > 0) {
      i += taken;
      continue;
    }
    const char* what = arg.starts_with('-') ? "unknown option" : "unexpected argument";
    std::fprintf(err, "%.*s: %s '%.*s'\nTry '%.*s --help' for more information.\n",
                 static_cast<int>(kProgramName.size()), kProgramName.data(), what,
                 static_cast<int>(arg.size()), arg.data(), static_cast<int>(kProgramName.size()),
                 kProgramName.data());
    return kExitBadCommandLine;
  }
  return std::nullopt;
}

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
