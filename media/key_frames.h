#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ipcam {

// Which compressed frames a decoder or a new recording can start from. The recorder applies
// the same rules, so a file never begins with a frame that refers to an earlier one.

// Every Motion JPEG picture stands alone.
inline bool isMjpegKeyFrame(std::span<const std::uint8_t> /*frame*/) {
  return true;
}

// An MPEG-4 frame starting with a video object, visual object sequence or group-of-VOP
// header: 00 00 01 followed by 00, B0 or B3.
inline bool isMpeg4KeyFrame(std::span<const std::uint8_t> frame) {
  if (frame.size() < 4 || frame[0] != 0x00 || frame[1] != 0x00 || frame[2] != 0x01) return false;
  return frame[3] == 0x00 || frame[3] == 0xB0 || frame[3] == 0xB3;
}

// H.264 frames arrive with a four-byte start code in front of the NAL unit; 0x65 is the
// header of an IDR slice.
inline bool isH264KeyFrame(std::span<const std::uint8_t> frame) {
  return frame.size() >= 5 && frame[4] == 0x65;
}

// By the codec kind of the media queue: 0 Motion JPEG, 1 MPEG-4, 2 H.264. Unknown kinds
// never start anything.
inline bool isKeyFrame(int codecKind, std::span<const std::uint8_t> frame) {
  switch (codecKind) {
    case 0:
      return isMjpegKeyFrame(frame);
    case 1:
      return isMpeg4KeyFrame(frame);
    case 2:
      return isH264KeyFrame(frame);
    default:
      return false;
  }
}

}  // namespace ipcam
