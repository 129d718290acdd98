#include "app/connection_worker.h"

#include <chrono>

#include "core/app_state.h"
#include "core/camera_models.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/viewer_settings.h"
#include "media/channel_display.h"
#include "platform/run_wait.h"
#include "platform/trace.h"
#include "protocols/av_server_client.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::ThreadRun;

constexpr auto kRetryWait = 5000ms;
constexpr auto kBusyWait = 3000ms;

void fail(ChannelRecord& record) {
  showTileText(record.channel, kStatusDisconnected, "Message_Disconnected");
}

void disconnected(ChannelRecord& record) {
  showTileText(record.channel, kStatusDisconnected, "Message_Disconnected");
  logChannelEvent(record.channel, "Disconnected");
}

void stoppedFromOutside(ChannelRecord& record) {
  const CameraSettings camera = cameraSnapshot(record.channel);
  if (camera.restartPending != 1) logChannelEvent(record.channel, "Disconnected");
  if (isCameraConfigured(camera) != 0) {
    showTileText(record.channel, kStatusDisconnected, "Message_Disconnected");
  } else {
    showTileText(record.channel, kStatusNoSignal, "Message_NoSignal");
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

// Each road answers whether the worker is done with the channel, or starts another pass.
enum class Pass { kDone, kAgain };

Pass streamRoad(ChannelRecord& record, const ConnectionServices& services,
                const CameraSettings& camera, StreamKind kind) {
  record.stream.configure({camera.login, camera.password, camera.ip, std::to_string(camera.webPort),
                           static_cast<int>(kind)});
  // The stream workers report connecting, live and lost themselves; a road that cannot even
  // start its workers is a failed connection.
  if (!services.startStream || !services.startStream(record, kind)) {
    platform::trace("Camera %d: the stream workers could not be started", record.channel + 1);
    fail(record);
  }
  return Pass::kDone;
}

Pass mpeg4Road(ChannelRecord& record, const ThreadRun& run, const ConnectionServices& services,
               const CameraSettings& camera) {
  const int channel = record.channel;
  if (record.avClient) record.avClient->setConnected(false);
  const int port = services.queryPrivateVideoPort ? services.queryPrivateVideoPort(channel) : -1;
  if (!run.running()) return Pass::kAgain;
  // The data connection is on port + 1, so the control port must leave room for it.
  if (port >= 0 && port < 65535) {
    const auto controlPort = static_cast<std::uint16_t>(port);
    record.port.store(controlPort);
    storePort(channel, controlPort);
    const bool connected =
        services.mpeg4Login && services.mpeg4Login(record, camera.ip, controlPort) == 1 &&
        services.mpeg4OpenData &&
        services.mpeg4OpenData(record, camera.ip, static_cast<std::uint16_t>(controlPort + 1)) == 1;
    if (!run.running()) return Pass::kAgain;
    if (connected && services.startMpeg4DataThread) {
      setChannelStatus(channel, kStatusLive, std::string());
      if (services.startMpeg4DataThread(record)) return Pass::kDone;
    }
    if (!connected && record.avClient && record.avClient->loginRefused()) {
      reportLoginRefused(channel, kStatusDisconnected);
      logChannelEvent(channel, "Disconnected");
      return Pass::kDone;
    }
    disconnected(record);
    return Pass::kDone;
  }
  if (port == -1 && record.mpeg4Reconnect.load()) {
    if (!platform::sleepWhileRunning(run.flag(), kRetryWait)) return Pass::kAgain;
    logChannelEvent(channel, "Reconnect...");
    armReconnect(record, ReconnectBudget::kKept);
    return Pass::kAgain;
  }
  showCameraMessage(channel, "Message_GetVideoPortFail");
  if (run.abandoned()) return Pass::kDone;
  disconnected(record);
  return Pass::kDone;
}

Pass legacyRoad(ChannelRecord& record, const ThreadRun& run, const ConnectionServices& services) {
  const int channel = record.channel;
  if (!services.legacyConnect || services.legacyConnect(record) != 1) {
    // Each pass asks the camera's pages again: a server that cannot even be prepared is
    // tried at the pace of every other reconnect.
    platform::sleepWhileRunning(run.flag(), kReconnectPace);
    return Pass::kAgain;
  }
  if (services.legacyLogin && services.legacyLogin(record) == 1) {
    if (!run.running()) return Pass::kAgain;
    if (record.avClient) record.avClient->setConnected(true);
    setChannelStatus(channel, kStatusLive, std::string());
    if (services.startLegacyDataThread && services.startLegacyDataThread(record)) {
      platform::sleepWhileRunning(run.flag(), 10ms);
    } else {
      if (record.avClient) record.avClient->setConnected(false);
      fail(record);
    }
    return Pass::kDone;
  }
  UserCounts counts;
  const int result = services.queryUserCounts ? services.queryUserCounts(channel, counts) : -1;
  if (!run.running()) return Pass::kAgain;
  if (result == -1) {
    showCameraMessage(channel, "Message_GetConnctNumbersFail");
    return Pass::kDone;
  }
  const bool refused =
      counts.current < counts.maximum || (counts.maximum == 0 && counts.current == 0);
  if (!refused) {
    showTileText(channel, 0, "Message_ServerBusy");
  } else if (record.avClient && record.avClient->loginRefused()) {
    // The camera said no to these credentials, and it has room: that is the password.
    reportLoginRefused(channel, 0);
  } else {
    showTileText(channel, 0, "Message_PasswordError");
  }
  platform::sleepWhileRunning(run.flag(), kBusyWait);
  if (record.avClient) record.avClient->setConnected(false);
  return Pass::kAgain;
}

enum class Firmware { kKnown, kAskAgain, kFailed };

// The firmware information, from the anonymous page when the first lacks the fields. Tells
// the user what went wrong, and waits before a camera is asked again.
Firmware askFirmware(ChannelRecord& record, const ThreadRun& run,
                     const ConnectionServices& services, FirmwareInfo& firmware) {
  const int channel = record.channel;
  logChannelEvent(channel, "Get FW Info");
  int result = services.queryFirmware(channel, firmware);
  if (result == -3 && run.running()) result = services.queryFirmwareXml(channel, firmware);
  if (!run.running()) return Firmware::kAskAgain;
  switch (result) {
    case 0:
      return Firmware::kKnown;
    case -1:
      platform::sleepWhileRunning(run.flag(), kRetryWait);
      return Firmware::kAskAgain;
    case -2:
      showCameraMessage(channel, "Message_Username_Password_Wrong");
      if (!run.abandoned()) reportLoginRefused(channel, kStatusDisconnected);
      return Firmware::kFailed;
    case -3:
      // The tile says what happened while the worker waits to ask again; the channel still
      // counts as connecting, so "Disconnect" stops the worker.
      logChannelEvent(channel, "FW Info Error");
      setChannelStatus(channel, kStatusConnecting, std::string("FW Info Error"));
      if (platform::sleepWhileRunning(run.flag(), services.firmwareErrorRetryWait)) {
        showTileText(channel, kStatusConnecting, "Message_Connecting");
      }
      return Firmware::kAskAgain;
    default:
      break;
  }
  if (!run.abandoned()) fail(record);
  return Firmware::kFailed;
}

}  // namespace

Road chooseRoad(int type, int videoFormat) {
  const CameraModel& model = cameraModel(type);
  if (model.motionJpeg == CameraRoad::kLegacyServer) {
    return {Road::Kind::LegacyServer, StreamKind::Http};
  }
  const std::vector<StreamFormat> formats = offeredVideoFormats(type);
  StreamFormat codec = StreamFormat::kMotionJpeg;
  if (videoFormat >= 0 && static_cast<std::size_t>(videoFormat) < formats.size()) {
    codec = formats[static_cast<std::size_t>(videoFormat)];
  } else if (videoFormat != 1) {
    // A format the model does not offer (the camera behind the address changed, or the file
    // was edited): the HTTP picture stream, which every CGI camera serves. Index 1 has always
    // meant the model's own Motion JPEG road instead.
    return {Road::Kind::Stream, StreamKind::Http};
  }
  switch (roadOf(model, codec)) {
    case CameraRoad::kMpeg4Server:
      return {Road::Kind::Mpeg4Server, StreamKind::Http};
    case CameraRoad::kRtsp:
      switch (codec) {
        case StreamFormat::kMpeg4:
          return {Road::Kind::Stream, StreamKind::RtspMpeg4};
        case StreamFormat::kH264:
          return {Road::Kind::Stream, StreamKind::RtspH264};
        case StreamFormat::kMotionJpeg:
          return {Road::Kind::Stream, StreamKind::RtspMjpeg};
      }
      break;
    default:
      break;
  }
  return {Road::Kind::Stream, StreamKind::Http};
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

void armReconnect(ChannelRecord& record, ReconnectBudget budget) {
  const CameraSettings camera = cameraSnapshot(record.channel);
  const bool fresh = budget == ReconnectBudget::kFresh;
  if (isCgiCameraType(camera.type)) {
    // Only a camera on the camera server's road reconnects by itself.
    if (chooseRoad(camera.type, camera.videoFormat).kind == Road::Kind::Mpeg4Server) {
      platform::trace("Camera %d: server-road reconnect armed", record.channel + 1);
      record.mpeg4Reconnect.store(true);
      if (fresh) {
        record.mpeg4ReconnectCount.store(0);
        record.mpeg4LastError.store(0);
      }
    }
    return;
  }
  platform::trace("Camera %d: legacy-road reconnect armed", record.channel + 1);
  record.legacyReconnect.store(true);
  if (fresh) {
    record.legacyReconnectCount.store(0);
    record.legacyLastError.store(0);
  }
}

bool startConnectionWorker(ChannelRecord& record) {
  if (appState().shuttingDown.load()) return false;
  // The record lives until process exit, so the worker may keep a plain reference.
  return record.threads.connect.start(
      record.connectRunning, [&record](const ThreadRun& run) { connectionWorker(record, run); },
      "conn " + std::to_string(record.channel + 1));
}

void connectionWorker(ChannelRecord& record, const ThreadRun& run) {
  const int channel = record.channel;
  // Copied once: the services are written before any worker starts.
  const ConnectionServices services = connectionServices();
  // The tile keeps the channel's last picture through the passes, marked as old: it is the
  // user's "Connect" and a changed camera that start afresh (channel commands).
  while (run.running()) {
    // A data thread that lost a stream which never ran says when the camera may be asked
    // again; the wait ends at once when the channel is stopped.
    if (!record.serverReopen.waitWhileRunning(run.flag())) break;

    if (!countReconnectPass(record)) {
      disconnected(record);
      return;
    }
    const CameraSettings camera = cameraSnapshot(channel);
    if (isCameraConfigured(camera) == 0) return;

    FirmwareInfo firmware;
    const Firmware known = askFirmware(record, run, services, firmware);
    if (known == Firmware::kAskAgain) continue;
    if (known == Firmware::kFailed) return;

    record.modelId.store(static_cast<std::int32_t>(firmware.modelId));
    storeFirmware(channel, firmware);
    const int type = static_cast<int>(firmware.modelId);
    const Road road = chooseRoad(type, camera.videoFormat);
    Pass pass = Pass::kDone;
    switch (road.kind) {
      case Road::Kind::Stream:
        pass = streamRoad(record, services, camera, road.stream);
        break;
      case Road::Kind::Mpeg4Server:
        pass = mpeg4Road(record, run, services, camera);
        break;
      case Road::Kind::LegacyServer:
        pass = legacyRoad(record, run, services);
        break;
    }
    if (pass == Pass::kDone) return;
  }
  // A worker the slot gave up on says nothing: a newer one may own the channel by now.
  if (!run.abandoned()) stoppedFromOutside(record);
}

}  // namespace ipcam
