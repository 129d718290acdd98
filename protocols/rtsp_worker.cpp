#include "protocols/rtsp_worker.h"

#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/multi_language.h"
#include "app/viewer_ui.h"
#include "media/audio_player.h"
#include "media/stream_decode_thread.h"
#include "platform/run_wait.h"
#include "protocols/rtsp_client.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kReopenWait = 5000ms;
constexpr std::uint32_t kRtspTimeoutMs = 10000;
// A stream that has delivered no good packet for this long is reopened.
constexpr auto kSilenceLimit = std::chrono::milliseconds(kRtspTimeoutMs);
constexpr auto kPassPause = 1ms;
constexpr int kServerBusy = 406;
// The camera hung up: nothing more comes on that connection, so waiting out the silence
// limit would only delay the reconnect.
constexpr int kPeerClosedHeader = -2014;
constexpr int kPeerClosedPayload = -2034;

void logEvent(int channel, const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->logEvent(channel, text);
}

void tileText(int channel, int code, const char* key) {
  setChannelStatus(channel, code, CMultiLanguage::instance().text("ViewerElement", key));
}

// The video queue's codec for the context's stream kind (1 MPEG-4, 2 H.264, 3 Motion JPEG).
int codecKindOf(int streamKind) {
  switch (streamKind) {
    case 1:
      return MediaQueue::kMpeg4;
    case 2:
      return MediaQueue::kH264;
    default:
      return MediaQueue::kJpeg;
  }
}

int run(RtspRequest& request, RtspClient& client, std::uint8_t command) {
  request.command = command;
  return RunRtspRequest(&request, client);
}

void stopMedia(ChannelRecord& record) {
  stopStreamDecodeThread(record);
  stopAudioPlayback(record);
}

}  // namespace

void rtspWorker(ChannelRecord& record) {
  const int channel = record.channel;
  StreamContext& stream = record.stream;
  const HttpRunFlag& running = stream.rtspRunning;
  const StreamContext::Setup setup = stream.setup();

  std::vector<std::uint8_t> video(kRtspVideoBufferBytes);
  std::vector<std::uint8_t> audio(kRtspAudioBufferBytes);
  RtspClient client;
  client.setRunFlag(&running);
  RtspRequest request;
  request.timeoutMs = kRtspTimeoutMs;
  request.user = setup.user;
  request.password = setup.password;
  request.host = setup.host;
  request.videoBuffer = video;
  request.audioBuffer = audio;
  request.streamKind = static_cast<std::uint8_t>(setup.kind - 1);
  stream.videoQueue.setCodecKind(codecKindOf(setup.kind));
  stream.videoQueue.setCamera(channel);
  stream.audioQueue.setSampleFormat(0);
  stream.audioQueue.setCamera(channel);

  Clock::time_point lastPacket = Clock::now();
  while (running.load() != 0) {
    if (request.connected == 0) {
      tileText(channel, kStatusConnecting, "Message_Connecting");
      stopMedia(record);
      record.motionFlag.store(0);
      int enable = 0;
      QueryRtspParameters(stream, request.rtspPort, request.streamPath, enable, request.streamKind,
                          &running);
      if (run(request, client, RtspRequest::kOpen) < 0) {
        if (request.rtspStatus == kServerBusy) {
          tileText(channel, kStatusDisconnected, "Message_ServerBusy");
          stream.rtspRunning.store(0);
          break;
        }
        platform::sleepWhileRunning(running, kReopenWait);
      } else {
        lastPacket = Clock::now();
        setChannelStatus(channel, kStatusLive, std::string());
        if (request.streamKind == RtspRequest::kH264) {
          stream.videoQueue.setParameterSets(
              std::string(reinterpret_cast<const char*>(request.parameterSets.data()),
                          request.parameterSetsLength));
        }
        if (!streamDecodeThreadRunning(record)) startStreamDecodeThread(record);
        if (!stream.audioPlayerThread.running()) startAudioPlayback(record);
      }
    } else if (const int result = run(request, client, RtspRequest::kRead); result == 0) {
      lastPacket = Clock::now();
      if (request.mediaKind == RtspRequest::kVideo && request.frameContinues == 0) {
        if (request.motionByte != 0) record.motionFlag.store(1);
        stream.videoQueue.push(std::span(video).first(request.videoLength));
      } else if (request.mediaKind == RtspRequest::kAudio &&
                 request.audioLength % kAlawBlockBytes == 0) {
        stream.audioQueue.push(std::span(audio).first(request.audioLength));
      }
      // The next packet is read at once: RTP arrives in bursts.
      continue;
    } else if (result == kPeerClosedHeader || result == kPeerClosedPayload ||
               Clock::now() - lastPacket >= kSilenceLimit) {
      request.connected = 0;
    }
    if (running.load() != 0 && request.connected == 0) logEvent(channel, "Reconnect...");
    std::this_thread::sleep_for(kPassPause);
  }

  stopMedia(record);
  if (request.rtspStatus != kServerBusy) {
    tileText(channel, kStatusDisconnected, "Message_Disconnected");
  }
  logEvent(channel, "Disconnected");
  RunRtspRequest(nullptr, client);
}

}  // namespace ipcam
