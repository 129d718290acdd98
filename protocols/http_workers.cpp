#include "protocols/http_workers.h"

#include <charconv>
#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/multi_language.h"
#include "app/viewer_settings.h"
#include "app/viewer_ui.h"
#include "media/audio_player.h"
#include "media/stream_decode_thread.h"
#include "platform/run_wait.h"
#include "protocols/http_camera_client.h"
#include "protocols/rtsp_worker.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kReopenWait = 5000ms;
// A stream that has delivered nothing good for this long is reopened.
constexpr auto kSilenceLimit = std::chrono::milliseconds(kHttpTimeoutMs);
constexpr auto kPassPause = 1ms;
constexpr int kServerBusy = 406;
// The camera closed the stream (while a part header or picture was being read): nothing more
// can come on that connection, so there is no point in waiting out the silence limit.
constexpr int kPeerClosedHeader = -2014;
constexpr int kPeerClosedPicture = -2024;
constexpr int kPeerClosedAudio = -2034;

bool peerClosed(int result) {
  return result == kPeerClosedHeader || result == kPeerClosedPicture;
}

void logEvent(int channel, const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->logEvent(channel, text);
}

void tileText(int channel, int code, const char* key) {
  setChannelStatus(channel, code, CMultiLanguage::instance().text("ViewerElement", key));
}

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

// After a failed open: the rest of the 5 seconds since the attempt, or until stopped.
void waitBeforeReopen(const HttpRunFlag& running, Clock::time_point attempt) {
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - attempt);
  if (waited < kReopenWait) platform::sleepWhileRunning(running, kReopenWait - waited);
}

}  // namespace

void httpVideoWorker(ChannelRecord& record) {
  const int channel = record.channel;
  StreamContext& stream = record.stream;
  const HttpRunFlag& running = stream.httpVideoRunning;

  std::vector<std::uint8_t> buffer(kVideoReceiveBytes);
  CameraHttpClient client;
  client.setRunFlag(&running);
  CameraHttpRequest request = workerRequest(stream, CameraHttpRequest::kVideo, buffer);
  stream.videoQueue.setCodecKind(MediaQueue::kJpeg);
  stream.videoQueue.setCamera(channel);

  bool serverBusy = false;
  Clock::time_point lastPicture = Clock::now();
  while (running.load() != 0) {
    if (request.connected == 0) {
      tileText(channel, kStatusConnecting, "Message_Connecting");
      stopStreamDecodeThread(record);
      record.motionFlag.store(0);
      const Clock::time_point attempt = Clock::now();
      if (run(request, client, CameraHttpRequest::kOpen) < 0) {
        if (request.httpStatus == kServerBusy) {
          serverBusy = true;
          break;
        }
        waitBeforeReopen(running, attempt);
      } else {
        setChannelStatus(channel, kStatusLive, std::string());
        if (!streamDecodeThreadRunning(record)) startStreamDecodeThread(record);
      }
    } else if (const int result = run(request, client, CameraHttpRequest::kTransfer); result == 0) {
      lastPicture = Clock::now();
      if (request.motionEvent == 1) record.motionFlag.store(1);
      stream.videoQueue.push(std::span(buffer).first(request.receivedLength));
    } else if (request.httpStatus == kServerBusy) {
      serverBusy = true;
      break;
    } else if (peerClosed(result) || Clock::now() - lastPicture >= kSilenceLimit) {
      request.connected = 0;
    }
    if (running.load() != 0 && request.connected == 0) logEvent(channel, "Reconnect...");
    std::this_thread::sleep_for(kPassPause);
  }

  // A busy camera ends the worker for good; the slot clears the rest when the thread ends.
  if (serverBusy) {
    tileText(channel, kStatusDisconnected, "Message_ServerBusy");
    stream.httpVideoRunning.store(0);
  }
  stopStreamDecodeThread(record);
  if (request.httpStatus != kServerBusy) {
    tileText(channel, kStatusDisconnected, "Message_Disconnected");
  }
  logEvent(channel, "Disconnected");
  RunHttpRequest(nullptr, client);
}

void httpAudioWorker(ChannelRecord& record) {
  const int channel = record.channel;
  StreamContext& stream = record.stream;
  const HttpRunFlag& running = stream.httpAudioRunning;

  std::vector<std::uint8_t> buffer(kAudioReceiveBytes);
  CameraHttpClient client;
  client.setRunFlag(&running);
  CameraHttpRequest request = workerRequest(stream, CameraHttpRequest::kAudioReceive, buffer);
  stream.audioQueue.setSampleFormat(1);
  stream.audioQueue.setCamera(channel);

  Clock::time_point lastBlock = Clock::now();
  while (running.load() != 0) {
    if (request.connected == 0) {
      stopAudioPlayback(record);
      const Clock::time_point attempt = Clock::now();
      if (run(request, client, CameraHttpRequest::kOpen) < 0) {
        waitBeforeReopen(running, attempt);
      } else if (!stream.audioPlayerThread.running()) {
        startAudioPlayback(record);
      }
    } else if (const int result = run(request, client, CameraHttpRequest::kTransfer); result == 0) {
      lastBlock = Clock::now();
      stream.audioQueue.push(std::span(buffer).first(request.receivedLength));
    } else if (result == kPeerClosedAudio || Clock::now() - lastBlock >= kSilenceLimit) {
      request.connected = 0;
    }
    std::this_thread::sleep_for(kPassPause);
  }
  stopAudioPlayback(record);
  RunHttpRequest(nullptr, client);
}

bool startStreamWorkers(ChannelRecord& record, StreamKind kind) {
  StreamContext& stream = record.stream;
  if (stream.anyWorkerRunning()) return true;
  // Written once: a decode thread left over from an earlier run may still read it.
  if (stream.record != &record) stream.record = &record;
  // The record lives until process exit, so the workers may keep a plain reference.
  if (kind != StreamKind::Http) {
    return stream.rtspWorker.start(stream.rtspRunning, [&record] { rtspWorker(record); });
  }
  if (!stream.httpVideoWorker.start(stream.httpVideoRunning,
                                    [&record] { httpVideoWorker(record); })) {
    return false;
  }
  if (hasCameraAudio(record.channel, false)) {
    stream.httpAudioWorker.start(stream.httpAudioRunning, [&record] { httpAudioWorker(record); });
  }
  return true;
}

void useHttpStreams(ConnectionServices& services) {
  services.startStream = startStreamWorkers;
}

}  // namespace ipcam
