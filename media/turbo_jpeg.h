#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "media/channel_display.h"

namespace ipcam {

// What a JPEG's headers say about its picture.
struct JpegHeader {
  int width = 0;
  int height = 0;
  int sampling = -1;     // TurboJPEG's TJSAMP_* value; -1 when it has none for it
  int colourSpace = -1;  // TurboJPEG's TJCS_* value
};

// One channel's libjpeg-turbo decompressor, for the live view of Motion JPEG: it decodes at
// 1/2, 1/4 or 1/8 of the picture's size, either straight into RGB32 or into planes for the
// converter. Pictures it does not take (CMYK, 12-bit, arithmetic or lossless coding, broken
// headers) are left to libavcodec. Used by the channel's decoding thread under the decoder
// lock.
class TurboJpegDecoder {
 public:
  TurboJpegDecoder();
  ~TurboJpegDecoder();
  TurboJpegDecoder(const TurboJpegDecoder&) = delete;
  TurboJpegDecoder& operator=(const TurboJpegDecoder&) = delete;

  // nullopt when the headers cannot be read.
  std::optional<JpegHeader> readHeader(std::span<const std::uint8_t> jpeg);

  // Whether the picture can be decoded straight into RGB32, or into planes.
  static bool decodesToRgb32(const JpegHeader& header);
  static bool decodesToPlanes(const JpegHeader& header);

  // Decodes at 1/2^shift per side into reducedSide(width, shift) x reducedSide(height, shift)
  // RGB32 pixels (0xffRRGGBB) at `target`, lines `stride` bytes apart. A picture whose data
  // ends early or carries stray bytes still counts as decoded, as it does for libavcodec;
  // false only when nothing could be decoded.
  bool decodeToRgb32(std::span<const std::uint8_t> jpeg, const JpegHeader& header, int shift,
                     std::span<std::uint8_t> target, int stride);
  // The same into full-range planes held by the decoder, valid until the next call.
  bool decodeToPlanes(std::span<const std::uint8_t> jpeg, const JpegHeader& header, int shift,
                      PicturePlanes& planes, PictureFormat& format);

  // Whether the last failure was a fatal one, and its text.
  const char* lastError() const;

 private:
  void* handle_ = nullptr;  // tjhandle
  std::vector<std::uint8_t> planes_;
};

}  // namespace ipcam
