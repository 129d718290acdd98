#include "protocols/http_workers.h"

#include <array>
#include <charconv>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"
#include "protocols/http_camera_client.h"
#include "protocols/rtsp_worker.h"
#include "protocols/stream_worker_loop.h"

namespace ipcam {
namespace {

using platform::ThreadRun;

// Transfer results that mean the connection itself is gone (no socket, closed by the camera,
// a receive error): nothing more can come on it, so the worker opens the stream again rather
// than wait out the silence limit.
constexpr std::array kPictureConnectionLost = {-2001, -2011, -2014, -2015, -2021, -2024, -2025};
constexpr std::array kAudioConnectionLost = {-2001, -2031, -2034, -2035};

std::uint16_t portOf(const std::string& text) {
  int port = 0;
  std::from_chars(text.data(), text.data() + text.size(), port);
  return static_cast<std::uint16_t>(port);
}

// The request of a worker: the context's set-up as it was when the worker started.
CameraHttpRequest workerRequest(const StreamContext& stream, std::uint8_t channel,
                                std::span<std::uint8_t> buffer) {
  const StreamContext::Setup setup = stream.setup();
  CameraHttpRequest request;
  request.channel = channel;
  request.user = setup.user;
  request.password = setup.password;
  request.host = setup.host;
  request.port = portOf(setup.portText);
  request.timeoutMs = kHttpTimeoutMs;
  request.receiveBuffer = buffer;
  return request;
}

int run(CameraHttpRequest& request, CameraHttpClient& client, std::uint8_t command) {
  request.command = command;
  return RunHttpRequest(&request, client);
}

StreamOpen open(CameraHttpRequest& request, CameraHttpClient& client) {
  if (run(request, client, CameraHttpRequest::kOpen) == 0) return StreamOpen::kOpened;
  return request.httpStatus == kServerBusyStatus ? StreamOpen::kServerBusy : StreamOpen::kFailed;
}

StreamRead classify(int result, const CameraHttpRequest& request,
                    std::span<const int> connectionLost) {
  if (result == 0) return StreamRead::kData;
  if (request.httpStatus == kServerBusyStatus) return StreamRead::kServerBusy;
  return isOneOf(result, connectionLost) ? StreamRead::kLost : StreamRead::kRefused;
}

// A worker that was told to stop leaves the rest to whoever told it; one that gives up ends
// the channel's stream as a loss does.
void reportEnd(ChannelRecord& record, const ThreadRun& thread) {
  if (thread.running()) {
    channelEvents().streamLost(record);
  } else {
    channelEvents().streamStopped(record);
  }
}

}  // namespace

void httpVideoWorker(ChannelRecord& record, const ThreadRun& thread) {
  const int channel = record.channel;
  StreamContext& stream = record.stream;

  // Not zero-filled: its pages cost memory only as far as pictures reach.
  const auto storage = std::make_unique_for_overwrite<std::uint8_t[]>(kVideoReceiveBytes);
  const std::span<std::uint8_t> buffer(storage.get(), kVideoReceiveBytes);
  CameraHttpClient client;
  client.setRunFlag(&thread.flag());
  CameraHttpRequest request = workerRequest(stream, CameraHttpRequest::kVideo, buffer);
  stream.videoQueue.setCodecKind(MediaQueue::kJpeg);
  stream.videoQueue.setCamera(channel);

  // A refused log-in stays on the tile through the attempts that follow, until one succeeds.
  bool loginRefused = false;
  StreamWorkerSteps steps;
  steps.connecting = [&] {
    if (!loginRefused) showTileText(channel, kStatusConnecting, "Message_Connecting");
    channelEvents().streamLost(record);
    record.motionFlag.store(0);
  };
  steps.open = [&] {
    const StreamOpen opened = open(request, client);
    loginRefused = opened == StreamOpen::kFailed && request.httpStatus == kLoginRefusedStatus;
    if (loginRefused) reportLoginRefused(channel, kStatusConnecting);
    return opened;
  };
  steps.opened = [&] {
    setChannelStatus(channel, kStatusLive, std::string());
    channelEvents().streamOpened(record);
  };
  steps.read = [&] {
    const int result = run(request, client, CameraHttpRequest::kTransfer);
    if (result == 0) {
      if (request.motionEvent == 1) record.motionFlag.store(1);
      stream.videoQueue.push(std::span(buffer).first(request.receivedLength));
    }
    return classify(result, request, kPictureConnectionLost);
  };
  steps.lost = [&] { reportStreamLost(record); };
  const bool serverBusy = runStreamWorker(thread, steps);

  RunHttpRequest(nullptr, client);
  // A worker the slot gave up on leaves the channel alone: a newer one may own it by now.
  if (thread.abandoned()) return;
  // A busy camera ends the worker for good; the slot notices the thread end.
  if (serverBusy) showTileText(channel, kStatusDisconnected, "Message_ServerBusy");
  reportEnd(record, thread);
  if (!serverBusy) showTileText(channel, kStatusDisconnected, "Message_Disconnected");
  logChannelEvent(channel, "Disconnected");
}

void httpAudioWorker(ChannelRecord& record, const ThreadRun& thread) {
  const int channel = record.channel;
  StreamContext& stream = record.stream;

  std::vector<std::uint8_t> buffer(kAudioReceiveBytes);
  CameraHttpClient client;
  client.setRunFlag(&thread.flag());
  CameraHttpRequest request = workerRequest(stream, CameraHttpRequest::kAudioReceive, buffer);
  stream.audioQueue.setSampleFormat(1);
  stream.audioQueue.setCamera(channel);

  // The audio worker shows nothing and a busy camera does not end it: the pictures say so.
  StreamWorkerSteps steps;
  steps.connecting = [&] { channelEvents().audioLost(record); };
  steps.open = [&] {
    return run(request, client, CameraHttpRequest::kOpen) == 0 ? StreamOpen::kOpened
                                                               : StreamOpen::kFailed;
  };
  steps.opened = [&] { channelEvents().audioOpened(record); };
  steps.read = [&] {
    const int result = run(request, client, CameraHttpRequest::kTransfer);
    if (result != 0) {
      return isOneOf(result, kAudioConnectionLost) ? StreamRead::kLost : StreamRead::kRefused;
    }
    stream.audioQueue.push(std::span(buffer).first(request.receivedLength));
    return StreamRead::kData;
  };
  runStreamWorker(thread, steps);

  RunHttpRequest(nullptr, client);
  if (!thread.abandoned()) channelEvents().audioLost(record);
}

bool startStreamWorkers(ChannelRecord& record, StreamKind kind) {
  StreamContext& stream = record.stream;
  if (appState().shuttingDown.load()) return false;
  if (stream.anyWorkerRunning()) return true;
  // Written once: a decode thread left over from an earlier run may still read it.
  if (stream.record != &record) stream.record = &record;
  // The record lives until process exit, so the workers may keep a plain reference.
  if (kind != StreamKind::Http) {
    return stream.rtspWorker.start(
        stream.rtspRunning, [&record](const ThreadRun& run) { rtspWorker(record, run); },
        "rtsp " + std::to_string(record.channel + 1));
  }
  if (!stream.httpVideoWorker.start(
          stream.httpVideoRunning,
          [&record](const ThreadRun& run) { httpVideoWorker(record, run); },
          "http-v " + std::to_string(record.channel + 1))) {
    return false;
  }
  if (hasCameraAudio(record.channel, false)) {
    stream.httpAudioWorker.start(
        stream.httpAudioRunning, [&record](const ThreadRun& run) { httpAudioWorker(record, run); },
        "http-a " + std::to_string(record.channel + 1));
  }
  return true;
}

}  // namespace ipcam
