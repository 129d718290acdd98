#include "media/video_decode.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "core/app_state.h"
#include "core/camera_models.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/key_frames.h"
#include "media/overlay_geometry.h"
#include "media/turbo_jpeg.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

// What happened under the decoder lock; the user interface is told after the lock is let go.
struct Outcome {
  int result = 0;
  bool converted = false;  // a picture waits in the display's back buffer
  bool reopenFailed = false;
  // An MPEG snapshot converted at full size in the display, to be saved.
  std::optional<PictureView> snapshot;
};

// Motion JPEG hands its compressed picture to a snapshot; the MPEG codecs hand over the
// converted picture.
enum class Codec { kJpeg, kMpeg };

TileTarget tileTargetOf(const ChannelRecord& record) {
  return record.display ? record.display->tileTarget() : TileTarget{};
}

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

// A size that cannot be shown drops the picture, with one trace line per stream run: a
// camera keeps sending what it sends, and a line per picture would bury everything else.
bool shownSize(const ChannelRecord& record, ChannelMedia& media, int width, int height) {
  if (isShownPictureSize(width, height)) return true;
  if (media.firstSizeTrace()) {
    platform::trace("Camera %d: %dx%d pictures are not shown (sides %d to %d)", record.channel + 1,
                    width, height, kMinPictureSide, kMaxPictureSide);
  }
  return false;
}

// The same for a pixel format the converter cannot read.
bool convertibleFormat(const ChannelRecord& record, ChannelMedia& media, int pixelFormat) {
  if (isConvertibleFormat(pixelFormat)) return true;
  if (media.firstFormatTrace()) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(pixelFormat));
    platform::trace("Camera %d: pictures in pixel format %s cannot be converted",
                    record.channel + 1, name != nullptr ? name : "(unknown)");
  }
  return false;
}

PicturePlanes planesOf(const AVFrame& picture) {
  PicturePlanes planes;
  for (std::size_t i = 0; i < planes.data.size(); ++i) {
    planes.data[i] = picture.data[i];
    planes.stride[i] = picture.linesize[i];
  }
  return planes;
}

// Converts the decoder's picture, decoded at its full size, into the display's back buffer at
// the size the tile shows.
bool convert(ChannelRecord& record, ChannelMedia& media, const AVFrame& picture) {
  if (!record.display) return false;
  if (!shownSize(record, media, picture.width, picture.height) ||
      !convertibleFormat(record, media, picture.format)) {
    return false;
  }
  const ConversionPlan plan = planConversion(picture.width, picture.height, tileTargetOf(record));
  return record.display->convertPicture(pictureFormatOf(picture.format, picture.color_range),
                                        planesOf(picture), picture.width, picture.height,
                                        picture.width, picture.height, plan);
}

// The MPEG snapshot: the picture converted at its full size, whatever the tile shows, while
// the decoder's planes are still there. The request is taken (and so cleared) here.
std::optional<PictureView> takeMpegSnapshot(ChannelRecord& record, const AVFrame& picture) {
  if (record.snapshotRequest.exchange(0) == 0) return std::nullopt;
  return record.display->convertFullPicture(pictureFormatOf(picture.format, picture.color_range),
                                            planesOf(picture), picture.width, picture.height);
}

bool timeStampCamera(int channel) {
  if (channel < 0 || channel >= kChannelCount) return false;
  std::lock_guard lock(settingsMutex());
  return cameraModel(liveSettings().camera[static_cast<std::size_t>(channel)].type).timeStamp;
}

bool anyRecorderRecording(const ChannelRecord& record) {
  for (const auto& recorder :
       {record.manualRecorder, record.motionRecorder, record.scheduleRecorder}) {
    if (recorder && recorder->recording()) return true;
  }
  return false;
}

// After the decoder lock: the snapshot and the hand-over to the tile.
int finish(ChannelRecord& record, ChannelMedia& media, Outcome& outcome,
           std::span<const std::uint8_t> frame, int motionFlag, Codec codec) {
  if (outcome.reopenFailed) media.endAfterOpenFailure(VideoCodec::kMjpeg);
  if (outcome.snapshot) {
    channelEvents().pictureSnapshot(record, *outcome.snapshot);
    record.display->releaseFullPicture();
  }
  if (!outcome.converted) return outcome.result;

  if (codec == Codec::kJpeg && record.snapshotRequest.exchange(0) != 0) {
    channelEvents().jpegSnapshot(record, frame);
  }
  PictureOverlay overlay;
  overlay.motion = motionFlag != 0;
  overlay.timeStamp = timeStampCamera(record.channel);
  overlay.recording = anyRecorderRecording(record);
  overlay.decodedAt = std::time(nullptr);
  record.display->showConvertedPicture(overlay);
  record.pictureCounters.shown.fetch_add(1, std::memory_order_relaxed);
  notePictureShown(record);
  if (ViewerUi* ui = appState().ui.load()) ui->presentPicture(record.channel);
  return outcome.result;
}

void countDecoded(ChannelRecord& record) {
  record.pictureCounters.decoded.fetch_add(1, std::memory_order_relaxed);
}

// A Motion JPEG picture through libjpeg-turbo, decoded no larger than the tile shows it:
// straight into the display when the tile takes it as decoded, else into planes and through
// the converter at the tile's size. False when libjpeg-turbo cannot decode it; nothing is
// shown then, and libavcodec gets the picture.
bool decodeWithTurbo(ChannelRecord& record, TurboJpegDecoder& turbo, const JpegHeader& header,
                     std::span<const std::uint8_t> frame, Outcome& outcome) {
  ChannelDisplay& display = *record.display;
  const TileTarget target = display.tileTarget();
  const int shift = decodeShift(header.width, header.height, target);
  const int width = reducedSide(header.width, shift);
  const int height = reducedSide(header.height, shift);
  const ConversionPlan plan = planConversion(width, height, target);

  if (plan.cropAtPaint && TurboJpegDecoder::decodesToRgb32(header)) {
    if (!turbo.decodeToRgb32(frame, header, shift, display.directPicture(width, height),
                             width * 4)) {
      return false;
    }
    display.finishDirectPicture(plan, header.width, header.height);
    outcome.converted = true;
    return true;
  }
  if (!TurboJpegDecoder::decodesToPlanes(header)) return false;
  PicturePlanes planes;
  PictureFormat format;
  if (!turbo.decodeToPlanes(frame, header, shift, planes, format)) return false;
  outcome.converted =
      display.convertPicture(format, planes, width, height, header.width, header.height, plan);
  return true;
}

TurboJpegDecoder& turboOf(VideoDecoder& decoder) {
  if (!decoder.turbo) decoder.turbo = std::make_shared<TurboJpegDecoder>();
  return *decoder.turbo;
}

// A Motion JPEG picture of a new size starts on a fresh libavcodec decoder; the picture is
// dropped. The caller holds the decoder lock.
bool restartOnNewSize(ChannelMedia& media, VideoDecoder& decoder, int previousWidth,
                      int previousHeight, int width, int height, Outcome& outcome) {
  if (previousWidth == 0 || (width == previousWidth && height == previousHeight)) return false;
  media.closeLocked(VideoCodec::kMjpeg);
  if (media.openLocked(VideoCodec::kMjpeg) == ChannelMedia::OpenResult::kFailed) {
    outcome.reopenFailed = true;
  }
  decoder.lastWidth = width;
  decoder.lastHeight = height;
  return true;
}

// H.264 in a tile that shows a quarter of the picture or less leaves out the loop filter of
// pictures that no other picture refers to: the difference is lost in the reduction, and no
// later picture inherits it. Pictures others refer to are always filtered, so nothing drifts,
// and so is the picture a snapshot is waiting for. A channel catching up does not decode
// those pictures at all.
void chooseMpegShortcuts(ChannelRecord& record, VideoDecoder& decoder, DecodeFor purpose) {
  AVCodecContext& context = *decoder.context;
  if (purpose == DecodeFor::kCatchUp) {
    context.skip_frame = AVDISCARD_NONREF;
    context.skip_loop_filter = AVDISCARD_NONREF;
    return;
  }
  context.skip_frame = AVDISCARD_DEFAULT;
  const TileTarget target = tileTargetOf(record);
  const bool reduced =
      target.kind == TileTarget::Kind::kHidden ||
      (target.kind == TileTarget::Kind::kShown && decoder.lastWidth > 0 &&
       target.width * 2 <= decoder.lastWidth && target.height * 2 <= decoder.lastHeight);
  const bool snapshotWaits = record.snapshotRequest.load() != 0;
  context.skip_loop_filter = reduced && !snapshotWaits ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

}  // namespace

int decodeMjpeg(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag) {
  if (!record.media) return kDecoderNotOpen;
  ChannelMedia& media = *record.media;
  Outcome outcome;
  {
    std::lock_guard lock(media.decoderMutex());
    VideoDecoder& decoder = media.decoder(VideoCodec::kMjpeg);
    if (!decoder.opened || !decoder.context) return kDecoderNotOpen;
    const int previousWidth = decoder.lastWidth;
    const int previousHeight = decoder.lastHeight;

    bool decoded = false;
    if (record.display) {
      TurboJpegDecoder& turbo = turboOf(decoder);
      if (const std::optional<JpegHeader> header = turbo.readHeader(frame)) {
        if (restartOnNewSize(media, decoder, previousWidth, previousHeight, header->width,
                             header->height, outcome)) {
          outcome.result = static_cast<int>(frame.size());
          decoded = true;
        } else if (!shownSize(record, media, header->width, header->height)) {
          decoded = true;
        } else {
          decoded = decodeWithTurbo(record, turbo, *header, frame, outcome);
          if (decoded) countDecoded(record);
        }
        if (decoded) {
          decoder.lastWidth = header->width;
          decoder.lastHeight = header->height;
          outcome.result = static_cast<int>(frame.size());
        }
      }
    }

    if (!decoded) {
      bool gotPicture = false;
      outcome.result = runDecoder(decoder, frame, gotPicture);
      if (gotPicture) {
        countDecoded(record);
        const AVFrame& picture = *decoder.picture;
        if (!restartOnNewSize(media, decoder, previousWidth, previousHeight, picture.width,
                              picture.height, outcome)) {
          outcome.converted = convert(record, media, picture);
        }
      }
    }
  }
  return finish(record, media, outcome, frame, motionFlag, Codec::kJpeg);
}

int decodeMpeg4(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag,
                DecodeFor purpose) {
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
    if (decoder.opened && decoder.context) chooseMpegShortcuts(record, decoder, purpose);
    bool gotPicture = false;
    outcome.result = runDecoder(decoder, frame, gotPicture);
    if (gotPicture) {
      countDecoded(record);
      if (purpose == DecodeFor::kDisplay) {
        outcome.converted = convert(record, media, *decoder.picture);
        if (outcome.converted) outcome.snapshot = takeMpegSnapshot(record, *decoder.picture);
      }
    }
  }
  return finish(record, media, outcome, frame, motionFlag, Codec::kMpeg);
}

int decodeH264(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag,
               DecodeFor purpose) {
  if (!record.media) return kDecoderNotOpen;
  ChannelMedia& media = *record.media;
  Outcome outcome;
  {
    std::lock_guard lock(media.decoderMutex());
    VideoDecoder& decoder = media.decoder(VideoCodec::kH264);
    if (decoder.opened && decoder.context) chooseMpegShortcuts(record, decoder, purpose);
    bool gotPicture = false;
    outcome.result = runDecoder(decoder, frame, gotPicture);
    if (gotPicture) {
      countDecoded(record);
      if (media.keyFrameSeen()) {
        if (purpose == DecodeFor::kDisplay) {
          outcome.converted = convert(record, media, *decoder.picture);
          if (outcome.converted) outcome.snapshot = takeMpegSnapshot(record, *decoder.picture);
        }
      } else if (isH264KeyFrame(frame)) {
        // Joined mid-stream: the first key frame only marks the start.
        media.setKeyFrameSeen();
      }
    }
  }
  return finish(record, media, outcome, frame, motionFlag, Codec::kMpeg);
}

}  // namespace ipcam
