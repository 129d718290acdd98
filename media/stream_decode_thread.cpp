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

#include "core/channel_hooks.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "media/channel_media.h"
#include "media/key_frames.h"
#include "media/video_decode.h"
#include "platform/thread_slot.h"

namespace ipcam {
namespace {

// The largest frame the thread takes from the queue; longer ones are cut.
constexpr std::size_t kFrameBufferSize = kLargestFrameBytes;
// An idle thread sleeps on its queue; it still looks at its run flag this often.
constexpr auto kIdleWait = std::chrono::milliseconds(10);
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
           int motionFlag) {
  switch (codec) {
    case VideoCodec::kMjpeg:
      return decodeMjpeg(record, frame, motionFlag);
    case VideoCodec::kMpeg4:
      return decodeMpeg4(record, frame, motionFlag);
    case VideoCodec::kH264:
      return decodeH264(record, frame, motionFlag);
  }
  return kDecoderNotOpen;
}

void handToRecorders(const ChannelRecord& record, std::span<const std::uint8_t> frame,
                     bool keyFrame, std::string_view parameterSets) {
  for (const auto& recorder :
       {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
    if (recorder && recorder->recording()) recorder->writeFrame(frame, keyFrame, parameterSets);
  }
}

// Counts a shown motion indication up per frame and lets it go after ten. A new indication
// from the stream worker in between is kept.
void ageMotionFlag(ChannelRecord& record) {
  std::int32_t flag = record.motionFlag.load();
  if (flag == 0) return;
  const std::int32_t next = flag >= kMotionFrames ? 0 : flag + 1;
  record.motionFlag.compare_exchange_strong(flag, next);
}

void runStreamDecode(ChannelRecord& record, const platform::ThreadRun& run,
                     std::shared_ptr<ChannelMedia> media) {
  StreamContext& stream = record.stream;
  MediaQueue& queue = stream.videoQueue;

  record.pictureWidth.store(0);
  record.pictureHeight.store(0);
  media->beginStreamRun();

  callHook(channelHooks().startScheduleThread, record);
  if (record.manualRecord.load() != 0 && record.manualRecordRunning.load() == 0) {
    callHook(channelHooks().startManualRecordThread, record);
  }

  // Not zero-filled: its pages cost memory only as far as frames reach.
  const auto storage = std::make_unique_for_overwrite<std::uint8_t[]>(kFrameBufferSize);
  const std::span<std::uint8_t> buffer(storage.get(), kFrameBufferSize);
  std::string parameterSets = queue.parameterSets();

  while (run.running()) {
    queue.waitForEntry(kIdleWait);

    if (record.motionFlag.load() != 0 && record.motionRunning.load() == 0 &&
        motionRecordingEnabled(record.channel)) {
      callHook(channelHooks().startMotionThread, record);
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

    const std::optional<std::size_t> stored = queue.pop(buffer);
    if (!stored) continue;
    const std::span<const std::uint8_t> frame(buffer.data(), std::min(*stored, buffer.size()));

    const bool keyFrame = isKeyFrame(kind, frame);
    handToRecorders(
        record, frame, keyFrame,
        codec == VideoCodec::kH264 ? std::string_view(parameterSets) : std::string_view());

    if (keyFrame) media->setKeyFrameSeen();
    if (codec && media->keyFrameSeen()) {
      if (decode(*codec, record, frame, record.motionFlag.load()) >= 0) {
        record.pictureWidth.store(media->lastWidth(*codec));
        record.pictureHeight.store(media->lastHeight(*codec));
      }
    }
    ageMotionFlag(record);
  }

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
      [&record, media](const platform::ThreadRun& run) { runStreamDecode(record, run, media); });
}

void stopStreamDecodeThread(ChannelRecord& record) {
  record.stream.decodeThread.stop();
}

bool streamDecodeThreadRunning(const ChannelRecord& record) {
  return record.stream.decodeThread.running();
}

}  // namespace ipcam
