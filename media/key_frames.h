#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

inline constexpr std::uint8_t kH264NalTypeMask = 0x1F;
inline constexpr std::uint8_t kH264IdrSlice = 5;

// An H.264 access unit in Annex B form (every NAL unit behind 00 00 01 or 00 00 00 01) that
// holds an IDR slice. Cameras put their SPS, PPS and SEI in front of the IDR slice, so the
// slice is looked for behind every start code, not only the first. The four-byte start code
// ends in the three-byte one, so finding 00 00 01 covers both. Bytes before the first start
// code, and a start code with nothing behind it, count for nothing.
inline bool isH264KeyFrame(std::span<const std::uint8_t> frame) {
  const std::uint8_t* const begin = frame.data();
  const std::uint8_t* const end = begin + frame.size();
  if (frame.size() < 4) return false;
  // Each 01 byte found at `one` is a start code when two zeros come before it.
  for (const std::uint8_t* from = begin + 2; from < end - 1;) {
    const auto* one = static_cast<const std::uint8_t*>(
        std::memchr(from, 0x01, static_cast<std::size_t>(end - 1 - from)));
    if (one == nullptr) return false;
    if (one[-1] == 0x00 && one[-2] == 0x00 && (one[1] & kH264NalTypeMask) == kH264IdrSlice) {
      return true;
    }
    from = one + 1;
  }
  return false;
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
