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
inline constexpr std::uint8_t kH264Sps = 7;
inline constexpr std::uint8_t kH264Pps = 8;

// Whether an H.264 access unit in Annex B form (every NAL unit behind 00 00 01 or 00 00 00
// 01) holds a NAL unit whose type passes `test`. Every start code is looked behind, not only
// the first. The four-byte start code ends in the three-byte one, so finding 00 00 01 covers
// both. Bytes before the first start code, and a start code with nothing behind it, count for
// nothing.
template <class Test>
bool anyH264NalType(std::span<const std::uint8_t> frame, Test test) {
  const std::uint8_t* const begin = frame.data();
  const std::uint8_t* const end = begin + frame.size();
  if (frame.size() < 4) return false;
  // Each 01 byte found at `one` is a start code when two zeros come before it.
  for (const std::uint8_t* from = begin + 2; from < end - 1;) {
    const auto* one = static_cast<const std::uint8_t*>(
        std::memchr(from, 0x01, static_cast<std::size_t>(end - 1 - from)));
    if (one == nullptr) return false;
    if (one[-1] == 0x00 && one[-2] == 0x00 && test(one[1] & kH264NalTypeMask)) return true;
    from = one + 1;
  }
  return false;
}

// An access unit that holds an IDR slice. Cameras put their SPS, PPS and SEI in front of the
// IDR slice.
inline bool isH264KeyFrame(std::span<const std::uint8_t> frame) {
  return anyH264NalType(frame, [](std::uint8_t type) { return type == kH264IdrSlice; });
}

// Whether a frame tells the decoder about the stream itself: H.264 parameter sets, or an
// MPEG-4 visual object sequence, video object or video object layer header. A decoder that
// skips pictures to catch up must still read these; pictures after them depend on them.
inline bool hasStreamHeaders(int codecKind, std::span<const std::uint8_t> frame) {
  switch (codecKind) {
    case 1:
      return frame.size() >= 4 && frame[0] == 0x00 && frame[1] == 0x00 && frame[2] == 0x01 &&
             (frame[3] <= 0x2F || frame[3] == 0xB0);
    case 2:
      return anyH264NalType(frame,
                            [](std::uint8_t type) { return type == kH264Sps || type == kH264Pps; });
    default:
      return false;
  }
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
