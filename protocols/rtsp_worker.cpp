#include "protocols/rtsp_worker.h"

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "platform/thread_slot.h"
#include "protocols/rtsp_client.h"
#include "protocols/stream_worker_loop.h"

namespace ipcam {
namespace {

using platform::ThreadRun;

constexpr std::uint32_t kRtspTimeoutMs = 10000;
// Read results that mean the connection itself is gone (not connected, no socket, closed by
// the camera, a receive error): the worker opens the stream again at once instead of waiting
// out the silence limit. A refused packet costs only that packet.
constexpr std::array kConnectionLost = {-2001, -2011, -2014, -2015, -2031, -2034, -2035};

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

void reportLost(ChannelRecord& record) {
  channelEvents().streamLost(record);
  channelEvents().audioLost(record);
}

}  // namespace

void rtspWorker(ChannelRecord& record, const ThreadRun& thread) {
  const int channel = record.channel;
  StreamContext& stream = record.stream;
  const StreamContext::Setup setup = stream.setup();

  // Not zero-filled: its pages cost memory only as far as frames reach.
  const auto videoStorage = std::make_unique_for_overwrite<std::uint8_t[]>(kRtspVideoBufferBytes);
  const std::span<std::uint8_t> video(videoStorage.get(), kRtspVideoBufferBytes);
  std::vector<std::uint8_t> audio(kRtspAudioBufferBytes);
  RtspClient client;
  client.setRunFlag(&thread.flag());
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

  // A refused log-in stays on the tile through the attempts that follow, until one succeeds.
  bool loginRefused = false;
  StreamWorkerSteps steps;
  steps.connecting = [&] {
    if (!loginRefused) showTileText(channel, kStatusConnecting, "Message_Connecting");
    reportLost(record);
    record.motionFlag.store(0);
  };
  steps.open = [&] {
    int enable = 0;
    // The camera refuses wrong credentials at its parameter list already, before any RTSP.
    const bool listRefused =
        QueryRtspParameters(stream, request.rtspPort, request.streamPath, enable,
                            request.streamKind, &thread.flag()) == kRtspParametersUnauthorized;
    const int result = run(request, client, RtspRequest::kOpen);
    loginRefused = result != 0 && (listRefused || request.rtspStatus == kLoginRefusedStatus);
    if (loginRefused) reportLoginRefused(channel, kStatusConnecting);
    if (result == 0) return StreamOpen::kOpened;
    return request.rtspStatus == kServerBusyStatus ? StreamOpen::kServerBusy : StreamOpen::kFailed;
  };
  steps.opened = [&] {
    setChannelStatus(channel, kStatusLive, std::string());
    if (request.streamKind == RtspRequest::kH264) {
      stream.videoQueue.setParameterSets(
          std::string(reinterpret_cast<const char*>(request.parameterSets.data()),
                      request.parameterSetsLength));
    }
    channelEvents().streamOpened(record);
    channelEvents().audioOpened(record);
  };
  steps.read = [&] {
    const int result = run(request, client, RtspRequest::kRead);
    if (result != 0) {
      return isOneOf(result, kConnectionLost) ? StreamRead::kLost : StreamRead::kRefused;
    }
    if (request.mediaKind == RtspRequest::kVideo && request.frameContinues == 0) {
      if (request.motionByte != 0) record.motionFlag.store(1);
      stream.videoQueue.push(std::span(video).first(request.videoLength));
    } else if (request.mediaKind == RtspRequest::kAudio &&
               request.audioLength % kAlawBlockBytes == 0) {
      stream.audioQueue.push(std::span(audio).first(request.audioLength));
    }
    return StreamRead::kData;
  };
  steps.lost = [&] { reportStreamLost(record); };
  const bool serverBusy = runStreamWorker(thread, steps);

  // Close-all sends the prepared TEARDOWN.
  RunRtspRequest(nullptr, client);
  // A worker the slot gave up on leaves the channel alone: a newer one may own it by now.
  if (thread.abandoned()) return;
  if (serverBusy) showTileText(channel, kStatusDisconnected, "Message_ServerBusy");
  if (thread.running()) {
    reportLost(record);
  } else {
    channelEvents().streamStopped(record);
    channelEvents().audioLost(record);
  }
  if (!serverBusy) showTileText(channel, kStatusDisconnected, "Message_Disconnected");
  logChannelEvent(channel, "Disconnected");
}

}  // namespace ipcam
