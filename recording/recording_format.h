#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "recording/avi_file.h"

namespace ipcam {

struct CameraSettings;

// The audio a recording carries, by the camera's family.
enum class RecordedAudio { kNone, kALaw, kGsm610 };

// What goes into a channel's recording files: the video handler and compression code, and the
// audio stream's format (kNone: the file has no audio stream).
struct RecordingFormat {
  std::uint32_t videoHandler = fourCc("MJPG");
  RecordedAudio audio = RecordedAudio::kNone;
};

// The stream and format table, read from the camera's settings: RTSP-first cameras record
// "H264" (any video format but Motion JPEG) or "MJPG" with A-law; cameras with a video format
// choice "XVID" (MPEG-4) or "H264" with A-law; every other camera "MJPG" with GSM 6.10. Audio
// only for cameras with audio whose "OnlyVideo" is 0.
RecordingFormat recordingFormatFor(const CameraSettings& camera);

// The handler that matches the bytes of a key frame as the channel's threads hand it over
// ("MJPG", "XVID" or "H264"), or 0 when they match none.
std::uint32_t handlerOfFrame(std::span<const std::uint8_t> frame);

// Width and height from a JPEG's frame header; false when it has none.
bool jpegPictureSize(std::span<const std::uint8_t> jpeg, int& width, int& height);

// Stream headers and format records as the recorder hands them to the AVI file.
inline constexpr std::size_t kBitmapInfoBytes = 40;
inline constexpr std::size_t kWaveFormatBytes = 20;
AviStreamHeader videoStreamHeader(std::uint32_t handler, int width, int height);
std::array<std::uint8_t, kBitmapInfoBytes> videoFormatRecord(std::uint32_t handler, int width,
                                                             int height);
AviStreamHeader audioStreamHeader(RecordedAudio audio);
std::array<std::uint8_t, kWaveFormatBytes> audioFormatRecord(RecordedAudio audio);

// A GSM 6.10 block: 320 samples of 8 kHz audio in 65 bytes, one sample of the audio stream.
inline constexpr std::size_t kGsmBlockBytes = 65;

}  // namespace ipcam
