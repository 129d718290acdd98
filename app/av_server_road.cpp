#include "app/av_server_road.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "app/connection_worker.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/reconnect_pace.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "media/av_server_decode_thread.h"
#include "media/channel_media.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"
#include "protocols/client_io.h"

namespace ipcam {
namespace {

constexpr auto kWorkerHandOverWait = std::chrono::milliseconds(2000);
constexpr auto kWorkerHandOverPoll = std::chrono::milliseconds(10);

// Fills the channel's rings from the data loop; a full ring drops the frame rather than hold
// up the receiver.
class RingFeed final : public AvsFrameHandler {
 public:
  RingFeed(ChannelRecord& record, ChannelMedia& media, const AvServerClient& client)
      : record_(record), media_(media), client_(client) {}

  void motion() override {
    std::int32_t idle = 0;
    record_.motionFlag.compare_exchange_strong(idle, 1);
  }
  void dataArrived() override {
    // Data flows: a later loss reconnects. The budget of passes starts afresh only once the
    // stream has run, so a camera whose stream fails at once still spends it.
    record_.mpeg4Reconnect.store(true);
    if (streamRun_.delivered()) {
      record_.mpeg4ReconnectCount.store(0);
      record_.mpeg4LastError.store(0);
    }
  }
  void video(std::span<const std::uint8_t> frame, std::uint16_t width,
             std::uint16_t height) override {
    std::lock_guard lock(media_.lock());
    if (media_.videoRing().count() < FrameRing::kSlotCount)
      media_.pushVideoFrame(frame, width, height);
  }
  void audio(std::span<const std::uint8_t> frame) override {
    std::lock_guard lock(media_.lock());
    if (media_.audioRing().count() < FrameRing::kSlotCount) media_.audioRing().push(frame, 0, 0);
  }
  bool connected() const override { return client_.connected(); }
  const ServerStreamRun& streamRun() const { return streamRun_; }

 private:
  ServerStreamRun streamRun_;
  ChannelRecord& record_;
  ChannelMedia& media_;
  const AvServerClient& client_;
};

void clearRings(ChannelMedia& media) {
  std::lock_guard lock(media.lock());
  for (FrameRing* ring : {&media.videoRing(), &media.audioRing()}) {
    while (ring->pop({})) {
    }
  }
}

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
    std::this_thread::sleep_for(kWorkerHandOverPoll);
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
  if (!record.avClient || !record.media) return false;
  // The thread that lost the previous connection started this pass and is on its way out.
  if (record.threads.mpeg4Data.running()) record.threads.mpeg4Data.stop();
  return record.threads.mpeg4Data.start(
      record.mpeg4DataRunning,
      [&record](const platform::ThreadRun& run) { AvsDataThread(record, run); });
}

void AvsDataThread(ChannelRecord& record, const platform::ThreadRun& run,
                   const AvsDataLimits& limits) {
  // Shared ownership: a thread given up on at a stop never outlives what it uses.
  const std::shared_ptr<AvServerClient> client = record.avClient;
  const std::shared_ptr<ChannelMedia> media = record.media;
  if (!client || !media) return;
  TcpSocket socket(client->takeDataSocket());

  clearRings(*media);
  startAvServerDecodeThread(record, [client] { return client->connected(); });
  if (hasCameraAudioType(cameraSnapshot(record.channel).type)) startRingAudioPlayback(record);
  std::vector<std::uint8_t> buffer(kAvsLargestPayload);
  record.motionFlag.store(0);

  AvsDataEnd end = AvsDataEnd::kLost;
  int lastError = 0;
  RingFeed feed(record, *media, *client);
  if (socket.valid()) {
    end = runAvsDataLoop(socket.get(), run, feed, buffer, limits);
    lastError = errno;
  }
  // A thread the slot gave up on leaves the channel to whoever owns it now.
  if (run.abandoned()) return;
  stopAvServerDecodeThread(record);
  stopRingAudioPlayback(record);
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
