#include "app/connection_worker.h"

#include <chrono>
#include <thread>

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/multi_language.h"
#include "app/viewer_settings.h"
#include "app/viewer_ui.h"
#include "media/channel_display.h"
#include "platform/run_wait.h"
#include "platform/trace.h"
#include "protocols/av_server_client.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr auto kRetryWait = 5000ms;
constexpr auto kBusyWait = 3000ms;
// A legacy server that cannot even be prepared is tried again after this pause, rather than
// in a tight loop against the camera.
constexpr auto kLegacyPrepareRetryWait = 1000ms;

std::string languageText(const char* section, const char* key) {
  return CMultiLanguage::instance().text(section, key);
}

void logEvent(int channel, const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->logEvent(channel, text);
}

void cameraMessage(int channel, const char* key) {
  if (ViewerUi* ui = appState().ui.load()) {
    ui->messageBox("Camera " + std::to_string(channel + 1) + ": " + languageText("MessageBox", key),
                   kDefaultMessageTitle);
  }
}

void tileText(int channel, int code, const char* key) {
  setChannelStatus(channel, code, languageText("ViewerElement", key));
}

// The worker is done with the channel: the road's threads own it now, or it failed.
void endPass(ChannelRecord& record) {
  record.connectRunning.store(0);
}

void fail(ChannelRecord& record) {
  tileText(record.channel, kStatusDisconnected, "Message_Disconnected");
  endPass(record);
}

void disconnected(ChannelRecord& record) {
  tileText(record.channel, kStatusDisconnected, "Message_Disconnected");
  logEvent(record.channel, "Disconnected");
  endPass(record);
}

void stoppedFromOutside(ChannelRecord& record) {
  const CameraSettings camera = cameraSnapshot(record.channel);
  if (camera.restartPending != 1) logEvent(record.channel, "Disconnected");
  if (isCameraConfigured(camera) != 0) {
    tileText(record.channel, kStatusDisconnected, "Message_Disconnected");
  } else {
    tileText(record.channel, kStatusNoSignal, "Message_NoSignal");
  }
}

// Counts a pass against the reconnect budget of the armed family. False when it is spent.
bool countReconnectPass(ChannelRecord& record) {
  const bool legacy = record.legacyReconnect.load();
  const bool mpeg4 = record.mpeg4Reconnect.load();
  if (legacy == mpeg4) return true;
  auto& armed = legacy ? record.legacyReconnect : record.mpeg4Reconnect;
  auto& count = legacy ? record.legacyReconnectCount : record.mpeg4ReconnectCount;
  auto& lastError = legacy ? record.legacyLastError : record.mpeg4LastError;
  if (count.load() > kReconnectBudget) {
    armed.store(false);
    count.store(0);
    lastError.store(0);
    return false;
  }
  count.fetch_add(1);
  return true;
}

void storeFirmware(int channel, const FirmwareInfo& info) {
  std::lock_guard lock(settingsMutex());
  CameraSettings& camera = liveSettings().camera[static_cast<std::size_t>(channel)];
  camera.type = static_cast<std::int32_t>(info.modelId);
  camera.model = static_cast<std::int32_t>(info.vendorId);
}

void storePort(int channel, std::uint16_t port) {
  std::lock_guard lock(settingsMutex());
  liveSettings().camera[static_cast<std::size_t>(channel)].port = port;
}

// True when the worker is done; false to start the next pass.
bool streamRoad(ChannelRecord& record, const ConnectionServices& services,
                const CameraSettings& camera, StreamKind kind) {
  record.stream.configure({camera.login, camera.password, camera.ip, std::to_string(camera.webPort),
                           static_cast<int>(kind)});
  // The stream workers report connecting, live and lost themselves; a road that cannot even
  // start its workers is a failed connection.
  if (services.startStream && services.startStream(record, kind)) {
    endPass(record);
  } else {
    platform::trace("Camera %d: the stream workers could not be started", record.channel + 1);
    fail(record);
  }
  return true;
}

bool mpeg4Road(ChannelRecord& record, const ConnectionServices& services,
               const CameraSettings& camera) {
  const int channel = record.channel;
  if (record.avClient) record.avClient->setConnected(false);
  const int port = services.queryPrivateVideoPort ? services.queryPrivateVideoPort(channel) : -1;
  // The data connection is on port + 1, so the control port must leave room for it.
  if (port >= 0 && port < 65535) {
    const auto controlPort = static_cast<std::uint16_t>(port);
    record.port.store(controlPort);
    storePort(channel, controlPort);
    const bool connected =
        services.mpeg4Login && services.mpeg4Login(record, camera.ip, controlPort) == 1 &&
        services.mpeg4OpenData &&
        services.mpeg4OpenData(record, camera.ip, static_cast<std::uint16_t>(controlPort + 1)) == 1;
    if (connected && services.startMpeg4DataThread) {
      setChannelStatus(channel, kStatusLive, std::string());
      if (services.startMpeg4DataThread(record)) {
        endPass(record);
        return true;
      }
    }
    disconnected(record);
    return true;
  }
  if (port == -1 && record.mpeg4Reconnect.load()) {
    platform::sleepWhileRunning(record.connectRunning, kRetryWait);
    logEvent(channel, "Reconnect...");
    armReconnect(record);
    return false;
  }
  cameraMessage(channel, "Message_GetVideoPortFail");
  disconnected(record);
  return true;
}

bool legacyRoad(ChannelRecord& record, const ConnectionServices& services) {
  const int channel = record.channel;
  if (!services.legacyConnect || services.legacyConnect(record) != 1) {
    platform::sleepWhileRunning(record.connectRunning, kLegacyPrepareRetryWait);
    return false;
  }
  if (services.legacyLogin && services.legacyLogin(record) == 1) {
    if (record.avClient) record.avClient->setConnected(true);
    setChannelStatus(channel, kStatusLive, std::string());
    if (services.startLegacyDataThread && services.startLegacyDataThread(record)) {
      std::this_thread::sleep_for(10ms);
      endPass(record);
    } else {
      if (record.avClient) record.avClient->setConnected(false);
      fail(record);
    }
    return true;
  }
  UserCounts counts;
  const int result = services.queryUserCounts ? services.queryUserCounts(channel, counts) : -1;
  if (result == -1) {
    cameraMessage(channel, "Message_GetConnctNumbersFail");
    endPass(record);
    return true;
  }
  const bool refused =
      counts.current < counts.maximum || (counts.maximum == 0 && counts.current == 0);
  tileText(channel, 0, refused ? "Message_PasswordError" : "Message_ServerBusy");
  platform::sleepWhileRunning(record.connectRunning, kBusyWait);
  if (record.avClient) record.avClient->setConnected(false);
  return false;
}

}  // namespace

Road chooseRoad(int type, int videoFormat) {
  if (!isCgiCameraType(type)) return {Road::Kind::LegacyServer, StreamKind::Http};
  const auto stream = [](StreamKind kind) { return Road{Road::Kind::Stream, kind}; };
  const auto motionJpegChoice = [&] {
    return stream(prefersRtspType(type) ? StreamKind::RtspMjpeg : StreamKind::Http);
  };
  const bool setAOrB = isTypeSetA(type) || isTypeSetB(type);
  switch (videoFormat) {
    case 0:
      return motionJpegChoice();
    case 1:
      if (!hasVideoFormatChoiceType(type)) return motionJpegChoice();
      if (prefersRtspType(type)) return stream(StreamKind::RtspH264);
      if (setAOrB) return stream(StreamKind::RtspMpeg4);
      return {Road::Kind::Mpeg4Server, StreamKind::Http};
    case 2:
      return stream(setAOrB ? StreamKind::RtspH264 : StreamKind::Http);
    default:
      return stream(StreamKind::Http);
  }
}

ConnectionServices unavailableConnectionServices() {
  // Every road's starter fails until its protocol is built; the queries are wired at start-up.
  ConnectionServices services;
  services.queryFirmware = [](int, FirmwareInfo&) { return -1; };
  services.queryFirmwareXml = [](int, FirmwareInfo&) { return -1; };
  services.queryPrivateVideoPort = [](int) { return -1; };
  services.queryUserCounts = [](int, UserCounts&) { return -1; };
  services.startStream = [](ChannelRecord&, StreamKind) { return false; };
  services.mpeg4Login = [](ChannelRecord&, const std::string&, std::uint16_t) { return -1; };
  services.mpeg4OpenData = [](ChannelRecord&, const std::string&, std::uint16_t) { return -1; };
  services.startMpeg4DataThread = [](ChannelRecord&) { return false; };
  services.legacyConnect = [](ChannelRecord&) { return -1; };
  services.legacyLogin = [](ChannelRecord&) { return -1; };
  services.startLegacyDataThread = [](ChannelRecord&) { return false; };
  return services;
}

ConnectionServices& connectionServices() {
  static auto* const services = new ConnectionServices(unavailableConnectionServices());
  return *services;
}

void armReconnect(ChannelRecord& record) {
  const CameraSettings camera = cameraSnapshot(record.channel);
  if (isCgiCameraType(camera.type)) {
    // Only the MPEG-4 choice of the first CGI generation goes through the camera server.
    if (camera.type >= 11 && camera.type <= 18 && camera.videoFormat == 1) {
      platform::trace("In EnableReconnectState, Set RX52_MPEG4_AutoReConnect to true\r\n");
      record.mpeg4Reconnect.store(true);
      record.mpeg4ReconnectCount.store(0);
      record.mpeg4LastError.store(0);
    }
    return;
  }
  platform::trace("In EnableReconnectState, Set RX27_AutoReConnect to true\r\n");
  record.legacyReconnect.store(true);
  record.legacyReconnectCount.store(0);
  record.legacyLastError.store(0);
}

bool startConnectionWorker(ChannelRecord& record) {
  // The record lives until process exit, so the worker may keep a plain reference.
  return record.threads.connect.start(record.connectRunning,
                                      [&record] { connectionWorker(record); });
}

void connectionWorker(ChannelRecord& record) {
  const int channel = record.channel;
  // Copied once: the services are written before any worker starts.
  const ConnectionServices services = connectionServices();
  while (record.connectRunning.load() == 1) {
    if (record.display) record.display->discardPicture();

    if (!countReconnectPass(record)) {
      disconnected(record);
      return;
    }
    const CameraSettings camera = cameraSnapshot(channel);
    if (isCameraConfigured(camera) == 0) {
      endPass(record);
      return;
    }

    logEvent(channel, "Get FW Info");
    FirmwareInfo firmware;
    int result = services.queryFirmware(channel, firmware);
    if (result == -3) result = services.queryFirmwareXml(channel, firmware);
    if (result == -1) {
      platform::sleepWhileRunning(record.connectRunning, kRetryWait);
      continue;
    }
    if (result < 0) {
      if (result == -2) cameraMessage(channel, "Message_Username_Password_Wrong");
      if (result == -3) logEvent(channel, "FW Info Error");
      fail(record);
      return;
    }

    record.modelId.store(static_cast<std::int32_t>(firmware.modelId));
    storeFirmware(channel, firmware);
    const int type = static_cast<int>(firmware.modelId);
    const Road road = chooseRoad(type, camera.videoFormat);
    bool done = true;
    switch (road.kind) {
      case Road::Kind::Stream:
        done = streamRoad(record, services, camera, road.stream);
        break;
      case Road::Kind::Mpeg4Server:
        done = mpeg4Road(record, services, camera);
        break;
      case Road::Kind::LegacyServer:
        done = legacyRoad(record, services);
        break;
    }
    if (done) return;
  }
  stoppedFromOutside(record);
}

}  // namespace ipcam
