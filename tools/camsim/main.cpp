#include <signal.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "tools/camsim/command_line.h"
#include "tools/camsim/server.h"

int main(int argc, char** argv) {
  using namespace ipcam::camsim;
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const CommandLine commandLine = parseCommandLine(arguments);
  if (!commandLine.error.empty()) {
    std::fprintf(stderr, "camsim: %s\n\n%s", commandLine.error.c_str(), usageText().c_str());
    return 2;
  }
  if (commandLine.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }

  // Blocked before any thread starts, so that every thread inherits the mask and the signals
  // wait for sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Server server(commandLine.options);
  if (!server.start()) {
    std::fprintf(stderr, "camsim: cannot listen: %s\n", server.lastError().c_str());
    return 1;
  }
  std::printf("camsim listening on http://127.0.0.1:%u/\n", static_cast<unsigned>(server.port()));
  if (server.rtspPort() != 0)
    std::printf("camsim RTSP on rtsp://127.0.0.1:%u/\n", static_cast<unsigned>(server.rtspPort()));
  if (server.legacyPort() != 0)
    std::printf("camsim legacy pictures on 127.0.0.1:%u\n",
                static_cast<unsigned>(server.legacyPort()));
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  server.stop();
  return 0;
}
