#include "recording/recording_format.h"

#include <cstdio>

#include "core/camera_models.h"
#include "core/viewer_settings.h"

namespace ipcam {
namespace {

constexpr std::uint32_t kMjpg = fourCc("MJPG");
constexpr std::uint32_t kXvid = fourCc("XVID");
constexpr std::uint32_t kH264 = fourCc("H264");

constexpr std::int32_t kMotionJpegFormat = 0;
constexpr std::int32_t kMpeg4Format = 1;

// WAVEFORMATEX values of the two audio formats.
constexpr std::uint16_t kWaveFormatALaw = 6;
constexpr std::uint16_t kWaveFormatGsm610 = 49;
constexpr std::uint32_t kAudioSamplesPerSecond = 8000;
constexpr std::uint16_t kALawSamplesPerBlock = 160;
constexpr std::uint16_t kGsmSamplesPerBlock = 320;
constexpr std::uint32_t kGsmBlocksPerSecond = 1625;  // bytes per second at 65 bytes a block

// JPEG markers that carry the picture size: SOF0..SOF15 but DHT (C4), JPG (C8) and DAC (CC).
bool isFrameHeaderMarker(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

template <std::size_t N>
void put16(std::array<std::uint8_t, N>& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

template <std::size_t N>
void put32(std::array<std::uint8_t, N>& out, std::size_t at, std::uint32_t value) {
  put16(out, at, static_cast<std::uint16_t>(value));
  put16(out, at + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

RecordingFormat recordingFormatFor(const CameraSettings& camera) {
  RecordingFormat format;
  if (prefersRtspType(camera.type)) {
    format.videoHandler = camera.videoFormat != kMotionJpegFormat ? kH264 : kMjpg;
  } else if (hasVideoFormatChoiceType(camera.type) && camera.videoFormat != kMotionJpegFormat) {
    format.videoHandler = camera.videoFormat == kMpeg4Format ? kXvid : kH264;
  } else {
    format.videoHandler = kMjpg;
  }
  if (hasCameraAudioType(camera.type) && camera.onlyVideo == 0) {
    format.audio = sendsALawAudio(camera.type, camera.videoFormat) ? RecordedAudio::kALaw
                                                                   : RecordedAudio::kGsm610;
  }
  return format;
}

std::uint32_t handlerOfFrame(std::span<const std::uint8_t> frame) {
  if (frame.size() >= 2 && frame[0] == 0xFF && frame[1] == 0xD8) return kMjpg;
  if (frame.size() < 4 || frame[0] != 0 || frame[1] != 0) return 0;
  if (frame[2] == 0 && frame[3] == 1) return kH264;
  if (frame[2] != 1) return 0;
  // Behind a three-byte start code: MPEG-4's object and sequence codes, or an H.264 NAL
  // header (forbidden bit clear) of a slice, SEI, delimiter or parameter set.
  const std::uint8_t code = frame[3];
  if (code == 0x00 || code == 0xB0 || code == 0xB3 || code == 0xB5 || code == 0xB6) return kXvid;
  switch (code & 0x1F) {
    case 1:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
      return (code & 0x80) == 0 ? kH264 : 0;
    default:
      return 0;
  }
}

bool jpegPictureSize(std::span<const std::uint8_t> jpeg, int& width, int& height) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (jpeg[at] != 0xFF) return false;
    const std::uint8_t marker = jpeg[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const std::size_t length = static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (isFrameHeaderMarker(marker)) {
      // length, precision, height, width
      if (length < 7 || at + 9 > jpeg.size()) return false;
      height = jpeg[at + 5] << 8 | jpeg[at + 6];
      width = jpeg[at + 7] << 8 | jpeg[at + 8];
      return true;
    }
    if (marker == 0xDA || length < 2) return false;  // scan data before any frame header
    at += 2 + length;
  }
  return false;
}

AviStreamHeader videoStreamHeader(std::uint32_t handler, int width, int height) {
  AviStreamHeader header;
  header.type = fourCc("vids");
  header.handler = handler;
  header.scale = 1;
  header.rate = 30;
  header.quality = -1;
  header.frame.right = static_cast<std::int16_t>(width);
  header.frame.bottom = static_cast<std::int16_t>(height);
  return header;
}

std::array<std::uint8_t, kBitmapInfoBytes> videoFormatRecord(std::uint32_t handler, int width,
                                                             int height) {
  std::array<std::uint8_t, kBitmapInfoBytes> record{};
  put32(record, 0, kBitmapInfoBytes);
  put32(record, 4, static_cast<std::uint32_t>(width));
  put32(record, 8, static_cast<std::uint32_t>(height));
  put16(record, 12, 1);   // planes
  put16(record, 14, 24);  // bits per pixel
  put32(record, 16, handler);
  return record;
}

AviStreamHeader audioStreamHeader(RecordedAudio audio) {
  AviStreamHeader header;
  header.type = fourCc("auds");
  header.quality = -1;
  if (audio == RecordedAudio::kGsm610) {
    header.scale = kGsmBlockBytes;
    header.rate = kGsmBlocksPerSecond;
    header.sampleSize = kGsmBlockBytes;
  } else {
    header.scale = 1;
    header.rate = kAudioSamplesPerSecond;
    header.sampleSize = 1;
  }
  return header;
}

std::array<std::uint8_t, kWaveFormatBytes> audioFormatRecord(RecordedAudio audio) {
  std::array<std::uint8_t, kWaveFormatBytes> record{};
  const bool gsm = audio == RecordedAudio::kGsm610;
  put16(record, 0, gsm ? kWaveFormatGsm610 : kWaveFormatALaw);
  put16(record, 2, 1);  // channels
  put32(record, 4, kAudioSamplesPerSecond);
  put32(record, 8, gsm ? kGsmBlocksPerSecond : kAudioSamplesPerSecond);
  put16(record, 12, gsm ? static_cast<std::uint16_t>(kGsmBlockBytes) : 1);  // block align
  put16(record, 14, gsm ? 0 : 8);                                           // bits per sample
  put16(record, 16, gsm ? 2 : 0);  // extra size: A-law's samples-per-block word is not counted
  put16(record, 18, gsm ? kGsmSamplesPerBlock : kALawSamplesPerBlock);
  return record;
}

}  // namespace ipcam
