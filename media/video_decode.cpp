#include "media/video_decode.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "core/app_state.h"
#include "core/channel_hooks.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/key_frames.h"
#include "media/overlay_geometry.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

// What happened under the decoder lock; the user interface is told after the lock is let go.
struct Outcome {
  int result = 0;
  bool converted = false;  // a picture waits in the display's back buffer
  bool reopenFailed = false;
};

// Motion JPEG hands its compressed picture to a snapshot; the MPEG codecs hand over the
// converted picture.
enum class Codec { kJpeg, kMpeg };

// Sends one frame and takes the picture it gives, if any. Bytes used, or the decoder's
// negative error. The caller holds the decoder lock.
int runDecoder(VideoDecoder& decoder, std::span<const std::uint8_t> frame, bool& gotPicture) {
  gotPicture = false;
  if (!decoder.opened || !decoder.context) return kDecoderNotOpen;
  // The decoder may read a little past the end of its input, so it gets a copy with a zeroed
  // tail; the buffer grows to the largest frame and is then reused.
  const std::size_t needed = frame.size() + AV_INPUT_BUFFER_PADDING_SIZE;
  if (decoder.input.size() < needed) decoder.input.resize(needed);
  std::copy(frame.begin(), frame.end(), decoder.input.begin());
  std::memset(decoder.input.data() + frame.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);

  AVPacket* packet = decoder.packet.get();
  packet->data = decoder.input.data();
  packet->size = static_cast<int>(frame.size());
  int result = avcodec_send_packet(decoder.context.get(), packet);
  packet->data = nullptr;
  packet->size = 0;
  if (result >= 0) {
    result = avcodec_receive_frame(decoder.context.get(), decoder.picture.get());
    if (result == 0) {
      gotPicture = true;
    } else if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
      result = 0;
    }
  }
  decoder.lastWidth = decoder.context->width;
  decoder.lastHeight = decoder.context->height;
  if (result < 0) return result;
  return static_cast<int>(frame.size());
}

// Converts the decoder's picture into the display's back buffer. A size or a pixel format
// that cannot be shown drops the picture, with one trace line per stream run each: a camera
// keeps sending what it sends, and a line per picture would bury everything else.
bool convert(ChannelRecord& record, ChannelMedia& media, const AVFrame& picture) {
  if (!record.display) return false;
  if (!isShownPictureSize(picture.width, picture.height)) {
    if (media.firstSizeTrace()) {
      platform::trace("Camera %d: %dx%d pictures are not shown (sides %d to %d)",
                      record.channel + 1, picture.width, picture.height, kMinPictureSide,
                      kMaxPictureSide);
    }
    return false;
  }
  if (!isConvertibleFormat(picture.format)) {
    if (media.firstFormatTrace()) {
      const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture.format));
      platform::trace("Camera %d: pictures in pixel format %s cannot be converted",
                      record.channel + 1, name != nullptr ? name : "(unknown)");
    }
    return false;
  }
  PicturePlanes planes;
  for (std::size_t i = 0; i < planes.data.size(); ++i) {
    planes.data[i] = picture.data[i];
    planes.stride[i] = picture.linesize[i];
  }
  return record.display->convertPicture(pictureFormatOf(picture.format, picture.color_range),
                                        planes, picture.width, picture.height);
}

bool timeStampCamera(int channel) {
  if (channel < 0 || channel >= kChannelCount) return false;
  std::lock_guard lock(settingsMutex());
  const int type = liveSettings().camera[static_cast<std::size_t>(channel)].type;
  return type == 9 || type == 10;
}

bool anyRecorderRecording(const ChannelRecord& record) {
  for (const auto& recorder :
       {record.manualRecorder, record.motionRecorder, record.scheduleRecorder}) {
    if (recorder && recorder->recording()) return true;
  }
  return false;
}

// After the decoder lock: the snapshot and the hand-over to the tile.
int finish(ChannelRecord& record, ChannelMedia& media, const Outcome& outcome,
           std::span<const std::uint8_t> frame, int motionFlag, Codec codec) {
  if (outcome.reopenFailed) media.endAfterOpenFailure(VideoCodec::kMjpeg);
  if (!outcome.converted) return outcome.result;

  if (record.snapshotRequest.exchange(0) != 0) {
    if (codec == Codec::kJpeg) {
      callHook(channelHooks().saveJpegSnapshot, record, frame);
    } else {
      callHook(channelHooks().savePictureSnapshot, record, record.display->convertedPicture());
    }
  }
  PictureOverlay overlay;
  overlay.motion = motionFlag != 0;
  overlay.timeStamp = timeStampCamera(record.channel);
  overlay.recording = anyRecorderRecording(record);
  overlay.decodedAt = std::time(nullptr);
  record.display->showConvertedPicture(overlay);
  if (ViewerUi* ui = appState().ui.load()) ui->presentPicture(record.channel);
  return outcome.result;
}

}  // namespace

int decodeMjpeg(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag) {
  if (!record.media) return kDecoderNotOpen;
  ChannelMedia& media = *record.media;
  Outcome outcome;
  {
    std::lock_guard lock(media.decoderMutex());
    VideoDecoder& decoder = media.decoder(VideoCodec::kMjpeg);
    const int previousWidth = decoder.lastWidth;
    const int previousHeight = decoder.lastHeight;
    bool gotPicture = false;
    outcome.result = runDecoder(decoder, frame, gotPicture);
    if (gotPicture) {
      const AVFrame& picture = *decoder.picture;
      const int width = picture.width;
      const int height = picture.height;
      if (previousWidth != 0 && (width != previousWidth || height != previousHeight)) {
        // A new size starts on a fresh decoder; this picture is dropped.
        media.closeLocked(VideoCodec::kMjpeg);
        if (media.openLocked(VideoCodec::kMjpeg) == ChannelMedia::OpenResult::kFailed) {
          outcome.reopenFailed = true;
        }
        decoder.lastWidth = width;
        decoder.lastHeight = height;
      } else {
        outcome.converted = convert(record, media, picture);
      }
    }
  }
  return finish(record, media, outcome, frame, motionFlag, Codec::kJpeg);
}

int decodeMpeg4(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag) {
  if (frame.size() < 3 || frame[0] != 0x00 || frame[1] != 0x00 || frame[2] != 0x01) {
    return kMpeg4NoStartCode;
  }
  if (!record.media) return kDecoderNotOpen;
  ChannelMedia& media = *record.media;
  if (!media.mpeg4GateOpen()) {
    if (!isMpeg4KeyFrame(frame)) return kMpeg4GateClosed;
    media.openMpeg4Gate();
  }
  Outcome outcome;
  {
    std::lock_guard lock(media.decoderMutex());
    VideoDecoder& decoder = media.decoder(VideoCodec::kMpeg4);
    bool gotPicture = false;
    outcome.result = runDecoder(decoder, frame, gotPicture);
    if (gotPicture) outcome.converted = convert(record, media, *decoder.picture);
  }
  return finish(record, media, outcome, frame, motionFlag, Codec::kMpeg);
}

int decodeH264(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag) {
  if (!record.media) return kDecoderNotOpen;
  ChannelMedia& media = *record.media;
  Outcome outcome;
  {
    std::lock_guard lock(media.decoderMutex());
    VideoDecoder& decoder = media.decoder(VideoCodec::kH264);
    bool gotPicture = false;
    outcome.result = runDecoder(decoder, frame, gotPicture);
    if (gotPicture) {
      if (media.keyFrameSeen()) {
        outcome.converted = convert(record, media, *decoder.picture);
      } else if (isH264KeyFrame(frame)) {
        // Joined mid-stream: the first key frame only marks the start.
        media.setKeyFrameSeen();
      }
    }
  }
  return finish(record, media, outcome, frame, motionFlag, Codec::kMpeg);
}

}  // namespace ipcam
