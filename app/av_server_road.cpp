#include "app/av_server_road.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/connection_worker.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/reconnect_pace.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"
#include "protocols/client_io.h"

namespace ipcam {
namespace {

constexpr auto kWorkerHandOverWait = std::chrono::milliseconds(2000);

bool usesLongForm(const ChannelRecord& record) {
  return avsUsesLongForm(record.modelId.load());
}

// The worker that started this thread may not quite have ended yet when a stream is lost at
// once; it is given a moment, so that the reconnect is not refused for it. A worker that is
// still there after that is someone else's (the user's "Connect") and owns the channel.
void restartConnectionWorker(ChannelRecord& record, const platform::ThreadRun& run) {
  const auto giveUp = std::chrono::steady_clock::now() + kWorkerHandOverWait;
  while (!startConnectionWorker(record)) {
    if (!run.running() || std::chrono::steady_clock::now() >= giveUp) {
      platform::trace("Camera %d: a connection worker is running; no reconnect started",
                      record.channel + 1);
      return;
    }
    // Asleep until that worker ends; a start can still be refused if another came first.
    record.threads.connect.waitUntilEnded(giveUp, run.stopToken());
  }
  // A channel stop that came meanwhile may already have passed the connection slot.
  if (!run.running() || !record.mpeg4Reconnect.load()) record.threads.connect.requestStop();
}

// The stream is gone: either the connection worker tries again, or the tile says the
// channel is disconnected.
void afterStreamEnd(ChannelRecord& record, const platform::ThreadRun& run, AvsDataEnd end,
                    int lastError, const ServerStreamRun& streamRun) {
  const int channel = record.channel;
  const bool error = end != AvsDataEnd::kStopped;
  if (error) reportPicturesLost(record);
  // A stop that came while the stream was being lost wins: the channel's stop has already
  // passed the connection slot and would leave a new worker running.
  if (error && record.mpeg4Reconnect.load() && run.running()) {
    platform::trace("Camera %d: server stream lost (error %d); reconnecting without a message",
                    channel + 1, lastError);
    // The picture on the tile is no longer live while the camera is asked again.
    showTileText(channel, kStatusConnecting, "Message_Connecting");
    record.serverReopen.openAt(streamRun.reopenAt());
    armReconnect(record, ReconnectBudget::kKept);
    record.mpeg4LastError.store(lastError);
    restartConnectionWorker(record, run);
    return;
  }
  logChannelEvent(channel, "Disconnected");
  if (isCameraConfigured(cameraSnapshot(channel)) != 0) {
    showTileText(channel, kStatusDisconnected, "Message_Disconnected");
  } else {
    showTileText(channel, kStatusNoSignal, "Message_NoSignal");
  }
}

}  // namespace

int avsConnectAndLogin(ChannelRecord& record, const std::string& ip, std::uint16_t controlPort) {
  if (!record.avClient) return 0;
  AvServerClient& client = *record.avClient;
  const bool longForm = usesLongForm(record);
  client.setLoginRefused(false);
  if (AvsConnect(ip, controlPort, client, longForm) != 1) return 0;
  const ChannelCredentials credentials = record.credentials();
  return AvsLogin(client, credentials.login, credentials.password, longForm);
}

int avsOpenData(ChannelRecord& record, const std::string& ip, std::uint16_t dataPort) {
  if (!record.avClient) return 0;
  return AvsOpenDataConnection(ip, dataPort, *record.avClient);
}

bool startAvsDataThread(ChannelRecord& record) {
  if (!record.avClient) return false;
  // The thread that lost the previous connection started this pass and is on its way out.
  if (record.threads.mpeg4Data.running()) record.threads.mpeg4Data.stop();
  return record.threads.mpeg4Data.start(
      record.mpeg4DataRunning,
      [&record](const platform::ThreadRun& run) { AvsDataThread(record, run); },
      "avs " + std::to_string(record.channel + 1));
}

void AvsDataThread(ChannelRecord& record, const platform::ThreadRun& run,
                   const AvsDataLimits& limits) {
  // Shared ownership: a thread given up on at a stop never outlives what it uses.
  const std::shared_ptr<AvServerClient> client = record.avClient;
  if (!client) return;
  TcpSocket socket(client->takeDataSocket());

  AvsQueueFeed feed(record, *client);
  feed.prepareQueues();
  const bool withAudio = hasCameraAudioType(cameraSnapshot(record.channel).type);
  channelEvents().streamOpened(record);
  if (withAudio) channelEvents().audioOpened(record);
  std::vector<std::uint8_t> buffer(kAvsLargestPayload);
  record.motionFlag.store(0);

  AvsDataEnd end = AvsDataEnd::kLost;
  int lastError = 0;
  if (socket.valid()) {
    end = runAvsDataLoop(socket.get(), run, feed, buffer, limits);
    lastError = errno;
  }
  // A thread the slot gave up on leaves the channel to whoever owns it now.
  if (run.abandoned()) return;
  if (run.running()) {
    channelEvents().streamLost(record);
  } else {
    channelEvents().streamStopped(record);
  }
  if (withAudio) channelEvents().audioLost(record);
  socket.reset();
  client->setConnected(false);
  // Only real silence is a time-out; a camera that closed or broke its stream is simply
  // asked again. The box is posted: nothing here waits for the user.
  if (run.running() && end == AvsDataEnd::kIdle) {
    showCameraMessage(record.channel, "Message_ReceivingDataTimeout");
  }
  if (run.abandoned()) return;
  afterStreamEnd(record, run, run.running() ? end : AvsDataEnd::kStopped, lastError,
                 feed.streamRun());
}

}  // namespace ipcam
