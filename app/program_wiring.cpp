#include "app/program_wiring.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <string>

#include "app/av_server_road.h"
#include "app/channel_pipeline.h"
#include "app/connection_worker.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"
#include "protocols/av_server_client.h"
#include "protocols/camera_queries.h"
#include "protocols/http_workers.h"
#include "protocols/legacy_server.h"

namespace ipcam {
namespace {

constexpr auto kWorkerHandOverWait = std::chrono::milliseconds(2000);

int privateVideoPort(int channel) {
  std::uint32_t port = 0;
  const int result = queryPrivateVideoPort(channel, port);
  if (result != kQueryOk) return result;
  return port > static_cast<std::uint32_t>(INT_MAX) ? kQueryFieldsMissing : static_cast<int>(port);
}

// The legacy camera serves its pictures on its private video port. The worker does not ask
// for it on this road, so it is asked here, right before the connection; a camera that does
// not answer is tried on the port it gave last time (the camera's "Port").
void refreshLegacyVideoPort(ChannelRecord& record) {
  const int port = privateVideoPort(record.channel);
  if (port <= 0 || port > 65535) return;
  record.port.store(static_cast<std::uint16_t>(port));
  std::lock_guard lock(settingsMutex());
  liveSettings().camera[static_cast<std::size_t>(record.channel)].port =
      static_cast<std::uint16_t>(port);
}

bool startLegacyData(ChannelRecord& record) {
  LegacyThreadHooks hooks;
  hooks.restartConnection = [](ChannelRecord& lost) {
    armReconnect(lost, ReconnectBudget::kKept);
    // The worker that started this thread may not quite have ended yet when the first
    // picture already failed; it is waited for, else the reconnect would be refused for it.
    const platform::ThreadRun* run = platform::currentThreadRun();
    const std::stop_token stop = run != nullptr ? run->stopToken() : std::stop_token();
    const auto giveUp = std::chrono::steady_clock::now() + kWorkerHandOverWait;
    bool started = false;
    while (!(started = startConnectionWorker(lost)) && std::chrono::steady_clock::now() < giveUp &&
           lost.threads.connect.waitUntilEnded(giveUp, stop)) {
    }
    // A channel stop that came meanwhile may already have passed the connection slot.
    if (started && (stop.stop_requested() || !lost.legacyReconnect.load())) {
      lost.threads.connect.requestStop();
    }
  };
  hooks.cameraConfigured = [](int channel) { return isCameraConfigured(channel, false) != 0; };
  // A data thread that just restarted the worker may still be on its way out of the slot.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  do {
    if (record.threads.legacyData.start(
            record.legacyDataRunning,
            [&record, hooks](const platform::ThreadRun& run) {
              LegacyServerThread(record, run, hooks);
            },
            "legacy " + std::to_string(record.channel + 1))) {
      return true;
    }
    // Asleep until that thread ends. The caller's stop does not cut this short: a worker that
    // gave up here would report the channel disconnected over a restart in progress.
  } while (record.threads.legacyData.waitUntilEnded(deadline, std::stop_token()) &&
           std::chrono::steady_clock::now() < deadline);
  return false;
}

void wireLegacyServer(ConnectionServices& services) {
  services.legacyConnect = [](ChannelRecord& record) {
    if (!record.avClient) return -1;
    refreshLegacyVideoPort(record);
    return LegacyServerConnect(record, *record.avClient);
  };
  services.legacyLogin = [](ChannelRecord& record) {
    if (!record.avClient) return 0;
    LegacyDescription description{};
    return LegacyServerLogin(record, *record.avClient, description);
  };
  services.startLegacyDataThread = startLegacyData;
}

void wireConnectionServices(ConnectionServices& services) {
  services = unavailableConnectionServices();
  services.queryFirmware = queryFirmware;
  services.queryFirmwareXml = queryFirmwareXml;
  services.queryUserCounts = queryUserCounts;
  services.queryPrivateVideoPort = privateVideoPort;
  services.startStream = startStreamWorkers;
  services.mpeg4Login = avsConnectAndLogin;
  services.mpeg4OpenData = avsOpenData;
  services.startMpeg4DataThread = startAvsDataThread;
  wireLegacyServer(services);
}

}  // namespace

void wireProgram() {
  wireConnectionServices(connectionServices());
  setChannelEventSink(&channelPipeline());
}

}  // namespace ipcam
