#include "media/stream_decode_thread.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "media/channel_media.h"
#include "media/key_frames.h"
#include "media/picture_stats.h"
#include "media/video_decode.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

// The largest frame the thread decodes or records; longer ones are cut.
constexpr std::size_t kFrameBufferSize = kLargestFrameBytes;
// A motion indication stays on the picture for about this many frames.
constexpr std::int32_t kMotionFrames = 10;

std::optional<VideoCodec> codecOfKind(int kind) {
  switch (kind) {
    case MediaQueue::kJpeg:
      return VideoCodec::kMjpeg;
    case MediaQueue::kMpeg4:
      return VideoCodec::kMpeg4;
    case MediaQueue::kH264:
      return VideoCodec::kH264;
    default:
      return std::nullopt;
  }
}

bool motionRecordingEnabled(int channel) {
  if (channel < 0 || channel >= kChannelCount) return false;
  std::lock_guard lock(settingsMutex());
  return liveSettings().camera[static_cast<std::size_t>(channel)].mrEnable != 0;
}

int decode(VideoCodec codec, ChannelRecord& record, std::span<const std::uint8_t> frame,
           int motionFlag, DecodeFor purpose) {
  switch (codec) {
    case VideoCodec::kMjpeg:
      return decodeMjpeg(record, frame, motionFlag);
    case VideoCodec::kMpeg4:
      return decodeMpeg4(record, frame, motionFlag, purpose);
    case VideoCodec::kH264:
      return decodeH264(record, frame, motionFlag, purpose);
  }
  return kDecoderNotOpen;
}

void handToRecorders(ChannelRecord& record, std::span<const std::uint8_t> frame, bool keyFrame,
                     std::string_view parameterSets) {
  bool recording = false;
  for (const auto& recorder :
       {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
    if (recorder && recorder->recording()) {
      recorder->writeFrame(frame, keyFrame, parameterSets);
      recording = true;
    }
  }
  // The pictures are the first to see a recording start: the files want the sound too.
  if (recording) audioRecorded(record);
}

// Counts a shown motion indication up per frame and lets it go after ten. A new indication
// from the stream worker in between is kept.
void ageMotionFlag(ChannelRecord& record) {
  std::int32_t flag = record.motionFlag.load();
  if (flag == 0) return;
  const std::int32_t next = flag >= kMotionFrames ? 0 : flag + 1;
  record.motionFlag.compare_exchange_strong(flag, next);
}

// What the live view does with a frame the recorders already have. A channel whose decoding
// fell behind (a newer frame already waits) goes to the newest picture instead of working
// through the backlog, so what the tile shows stays close to what the camera sees: a Motion
// JPEG picture is skipped, every one stands alone. The MPEG codecs skip to a key frame when
// one waits; until one comes they decode every picture, since the later ones refer to them,
// but convert only the last one and leave out what nothing refers to. No picture is shown
// that is missing what it refers to.
class CatchUp {
 public:
  enum class Step { kShow, kDecodeOnly, kSkip };

  Step next(int codecKind, std::span<const std::uint8_t> frame, bool keyFrame,
            const MediaQueue& queue) {
    const bool newerWaits = queue.size() > 0;
    if (codecKind == MediaQueue::kJpeg) return newerWaits ? Step::kSkip : Step::kShow;
    if (keyFrame) skippingToKeyFrame_ = false;
    if (!skippingToKeyFrame_ && newerWaits) {
      skippingToKeyFrame_ = queue.anyEntry([codecKind](std::span<const std::uint8_t> entry) {
        return isKeyFrame(codecKind, entry);
      });
    }
    if (skippingToKeyFrame_) {
      return hasStreamHeaders(codecKind, frame) ? Step::kDecodeOnly : Step::kSkip;
    }
    return newerWaits ? Step::kDecodeOnly : Step::kShow;
  }

 private:
  bool skippingToKeyFrame_ = false;
};

// A frame taken from the queue: counted, handed to the recorders, then decoded for the tile
// as far as the channel keeps up.
void handleFrame(ChannelRecord& record, ChannelMedia& media, int kind,
                 std::optional<VideoCodec> codec, std::span<const std::uint8_t> frame,
                 const std::string& parameterSets, CatchUp& catchUp, const MediaQueue& queue) {
  PictureCounters& counters = record.pictureCounters;
  counters.received.fetch_add(1, std::memory_order_relaxed);
  counters.receivedBytes.fetch_add(frame.size(), std::memory_order_relaxed);

  const bool keyFrame = isKeyFrame(kind, frame);
  handToRecorders(
      record, frame, keyFrame,
      codec == VideoCodec::kH264 ? std::string_view(parameterSets) : std::string_view());

  if (keyFrame) media.setKeyFrameSeen();
  if (!codec || !media.keyFrameSeen()) return;
  const CatchUp::Step step = catchUp.next(kind, frame, keyFrame, queue);
  if (step != CatchUp::Step::kShow) counters.dropped.fetch_add(1, std::memory_order_relaxed);
  if (step == CatchUp::Step::kSkip) return;
  const DecodeFor purpose =
      step == CatchUp::Step::kShow ? DecodeFor::kDisplay : DecodeFor::kCatchUp;
  if (decode(*codec, record, frame, record.motionFlag.load(), purpose) >= 0) {
    record.pictureWidth.store(media.lastWidth(*codec));
    record.pictureHeight.store(media.lastHeight(*codec));
  }
}

// Frames the queue refused while full never reach the thread; they count as received and
// dropped all the same.
void countRefusals(ChannelRecord& record, const MediaQueue& queue, std::uint64_t& refusedSeen) {
  const std::uint64_t refused = queue.refused();
  if (refused == refusedSeen) return;
  const std::uint64_t missed = refused - refusedSeen;
  refusedSeen = refused;
  record.pictureCounters.received.fetch_add(missed, std::memory_order_relaxed);
  record.pictureCounters.dropped.fetch_add(missed, std::memory_order_relaxed);
}

void keepRates(ChannelRecord& record, PictureRateMeter& meter) {
  const auto now = PictureRateMeter::Clock::now();
  meter.update(record.pictureCounters, now);
  PictureCounts period;
  double seconds = 0;
  if (platform::traceEnabled() && meter.traceDue(record.pictureCounters, now, period, seconds)) {
    platform::traceLine(pictureTraceLine(record.channel, record.pictureWidth.load(),
                                         record.pictureHeight.load(),
                                         readCounts(record.pictureCounters), period, seconds));
  }
}

void runStreamDecode(ChannelRecord& record, const platform::ThreadRun& run,
                     std::shared_ptr<ChannelMedia> media) {
  StreamContext& stream = record.stream;
  MediaQueue& queue = stream.videoQueue;

  record.pictureWidth.store(0);
  record.pictureHeight.store(0);
  record.pictureCounters.reset();
  media->beginStreamRun();

  // Holds one frame at a time, taken over from the queue as it is; no larger than it needs.
  std::vector<std::uint8_t> frame;
  std::string parameterSets = queue.parameterSets();
  std::uint64_t refusedSeen = queue.refused();
  PictureRateMeter meter(PictureRateMeter::Clock::now());
  CatchUp catchUp;
  bool pictureTaken = false;

  while (run.running()) {
    countRefusals(record, queue, refusedSeen);
    keepRates(record, meter);

    if (record.motionFlag.load() != 0 && record.motionRunning.load() == 0 &&
        motionRecordingEnabled(record.channel)) {
      channelEvents().motion(record);
    }

    const int kind = queue.codecKind();
    const std::optional<VideoCodec> codec = codecOfKind(kind);
    if (codec && !media->decoderOpen(*codec) && media->openDecoder(*codec) &&
        *codec == VideoCodec::kH264) {
      parameterSets = queue.parameterSets();
      if (!parameterSets.empty()) {
        decodeH264(record,
                   std::span(reinterpret_cast<const std::uint8_t*>(parameterSets.data()),
                             parameterSets.size()),
                   record.motionFlag.load());
      }
    }

    if (!queue.take(frame)) {
      // Asleep until a frame comes, or while the rates still move, until their next renewal.
      if (const auto due = meter.nextChange(record.pictureCounters)) {
        queue.waitForEntryUntil(run.stopToken(), *due);
      } else {
        queue.waitForEntry(run.stopToken());
      }
      continue;
    }
    if (!pictureTaken) {
      pictureTaken = true;
      channelEvents().firstPicture(record);
    }
    if (frame.size() > kFrameBufferSize) frame.resize(kFrameBufferSize);
    handleFrame(record, *media, kind, codec, frame, parameterSets, catchUp, queue);
    ageMotionFlag(record);
  }

  record.pictureCounters.clearRates();
  // A thread the slot gave up on leaves the queue and the decoders to the newer one.
  if (run.abandoned()) return;
  queue.clear();
  media->closeDecoders();
}

}  // namespace

void startStreamDecodeThread(ChannelRecord& record) {
  std::shared_ptr<ChannelMedia> media = record.media;
  if (!media) return;
  record.stream.decodeThread.start(
      record.stream.decodeRunning,
      [&record, media](const platform::ThreadRun& run) { runStreamDecode(record, run, media); },
      "decode " + std::to_string(record.channel + 1));
}

void stopStreamDecodeThread(ChannelRecord& record) {
  record.stream.decodeThread.stop();
}

bool streamDecodeThreadRunning(const ChannelRecord& record) {
  return record.stream.decodeThread.running();
}

}  // namespace ipcam
