#include "media/av_server_decode_thread.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "core/channel_hooks.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "media/channel_media.h"
#include "media/key_frames.h"
#include "media/video_decode.h"
#include "platform/thread_slot.h"

namespace ipcam {
namespace {

// An empty ring is looked at again after this pause.
constexpr auto kEmptyRingWait = std::chrono::milliseconds(10);

bool motionRecordingEnabled(int channel) {
  return cameraSnapshot(channel).mrEnable != 0;
}

// Takes the oldest frame out of the ring and gives it to every recorder that writes a file,
// all under the media lock, so that the recorders see the frames in ring order. Empty when
// the ring is.
std::optional<std::span<const std::uint8_t>> takeAndRecord(ChannelRecord& record,
                                                           ChannelMedia& media,
                                                           std::vector<std::uint8_t>& buffer) {
  std::lock_guard lock(media.lock());
  const std::optional<FrameRing::FrameInfo> info = media.videoRing().pop(buffer);
  if (!info) return std::nullopt;
  const std::span<const std::uint8_t> frame =
      std::span<const std::uint8_t>(buffer).first(std::min(info->length, buffer.size()));
  const bool keyFrame = isMpeg4KeyFrame(frame);
  for (const auto& recorder :
       {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
    if (recorder && recorder->recording()) recorder->writeFrame(frame, keyFrame, {});
  }
  return frame;
}

void runAvServerDecode(ChannelRecord& record, const platform::ThreadRun& run,
                       const std::shared_ptr<ChannelMedia>& media,
                       const std::function<bool()>& connected) {
  if (!media->openMpeg4Decoder()) {
    if (ViewerUi* ui = appState().ui.load())
      ui->postMessage("MPEG4 init failed!", kDefaultMessageTitle);
    return;
  }
  record.pictureWidth.store(0);
  record.pictureHeight.store(0);
  record.pictureCounters.reset();
  media->beginStreamRun();

  callHook(channelHooks().startScheduleThread, record);
  if (record.manualRecord.load() != 0 && record.manualRecordRunning.load() == 0) {
    callHook(channelHooks().startManualRecordThread, record);
  }

  // The ring's slot size: a frame is copied out whole.
  std::vector<std::uint8_t> buffer(FrameRing::kSlotSize);
  while (run.running()) {
    bool waiting = false;
    {
      std::lock_guard lock(media->lock());
      waiting = media->videoRing().count() > 0;
    }
    if (!waiting || !connected()) {
      std::this_thread::sleep_for(kEmptyRingWait);
      continue;
    }
    if (record.motionFlag.load() != 0 && record.motionRunning.load() == 0 &&
        motionRecordingEnabled(record.channel)) {
      callHook(channelHooks().startMotionThread, record);
    }
    const std::optional<std::span<const std::uint8_t>> frame =
        takeAndRecord(record, *media, buffer);
    if (!frame) continue;
    record.pictureCounters.received.fetch_add(1, std::memory_order_relaxed);
    record.pictureCounters.receivedBytes.fetch_add(frame->size(), std::memory_order_relaxed);
    if (isMpeg4KeyFrame(*frame)) media->setKeyFrameSeen();
    if (!media->keyFrameSeen()) continue;
    if (decodeMpeg4(record, *frame, record.motionFlag.load()) >= 0) {
      record.pictureWidth.store(media->lastWidth(VideoCodec::kMpeg4));
      record.pictureHeight.store(media->lastHeight(VideoCodec::kMpeg4));
    }
    record.motionFlag.store(0);
  }
  record.pictureCounters.clearRates();
  // A thread the slot gave up on leaves the decoder to the newer one.
  if (!run.abandoned()) media->closeDecoder(VideoCodec::kMpeg4);
}

}  // namespace

bool startAvServerDecodeThread(ChannelRecord& record, std::function<bool()> connected) {
  std::shared_ptr<ChannelMedia> media = record.media;
  if (!media) return false;
  if (!connected) connected = [] { return true; };
  return record.threads.mpeg4Decode.start(
      record.mpeg4DecodeRunning,
      [&record, media, connected = std::move(connected)](const platform::ThreadRun& run) {
        runAvServerDecode(record, run, media, connected);
      });
}

void stopAvServerDecodeThread(ChannelRecord& record) {
  record.threads.mpeg4Decode.stop();
}

}  // namespace ipcam
