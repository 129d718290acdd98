#include <signal.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "tools/camsim/av_server.h"
#include "tools/camsim/command_line.h"
#include "tools/camsim/server.h"

namespace {

// The search port both the viewer and the cameras take from the environment, unless the
// command line names one.
std::vector<std::string_view> withDiscoveryPortDefault(std::vector<std::string_view> arguments,
                                                       std::string& storage) {
  const char* port = std::getenv("IPCAM_DISCOVERY_PORT");
  if (port == nullptr || *port == '\0') return arguments;
  storage = std::string("--discovery-port=") + port;
  arguments.insert(arguments.begin(), storage);
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ipcam::camsim;
  std::string portArgument;
  const std::vector<std::string_view> arguments =
      withDiscoveryPortDefault(std::vector<std::string_view>(argv + 1, argv + argc), portArgument);
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
  if (const std::uint16_t control = server.avServer().controlPort(); control != 0) {
    std::printf("camsim AV server: control port %u, data port %u\n", static_cast<unsigned>(control),
                static_cast<unsigned>(control + 1));
  }

  std::unique_ptr<DiscoveryResponder> discovery;
  if (commandLine.options.discovery) {
    DiscoveryOptions answer = commandLine.options.discoveryAnswer;
    answer.httpPort = server.port();
    answer.detailPort = commandLine.options.privateVideoPort;
    if (!commandLine.options.discoveryModelGiven)
      answer.modelCode =
          static_cast<std::uint8_t>(std::min<std::uint32_t>(commandLine.options.modelId, 255));
    discovery = std::make_unique<DiscoveryResponder>(answer);
    if (!discovery->start()) {
      std::fprintf(stderr, "camsim: cannot answer the search: %s\n",
                   discovery->lastError().c_str());
      server.stop();
      return 1;
    }
    std::printf("camsim answers the search on UDP port %u\n", static_cast<unsigned>(answer.port));
  }
  if (server.legacyPort() != 0)
    std::printf("camsim legacy pictures on 127.0.0.1:%u\n",
                static_cast<unsigned>(server.legacyPort()));
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  if (discovery) discovery->stop();
  server.stop();
  return 0;
}
