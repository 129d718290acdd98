#include "media/key_frames.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/media_queue.h"

namespace ipcam {
namespace {

struct KeyFrameCase {
  const char* name;
  int kind;
  std::vector<std::uint8_t> frame;
  bool key;
};

TEST(KeyFrames, FollowTheRulesOfEachCodec) {
  const KeyFrameCase cases[] = {
      {"jpeg picture", MediaQueue::kJpeg, {0xFF, 0xD8, 0xFF}, true},
      {"jpeg, even empty", MediaQueue::kJpeg, {}, true},
      {"mpeg4 VOL", MediaQueue::kMpeg4, {0x00, 0x00, 0x01, 0x00, 0x12}, true},
      {"mpeg4 VOS", MediaQueue::kMpeg4, {0x00, 0x00, 0x01, 0xB0}, true},
      {"mpeg4 GOV", MediaQueue::kMpeg4, {0x00, 0x00, 0x01, 0xB3, 0x00}, true},
      {"mpeg4 VOP", MediaQueue::kMpeg4, {0x00, 0x00, 0x01, 0xB6, 0x00}, false},
      {"mpeg4 VOL start code 20", MediaQueue::kMpeg4, {0x00, 0x00, 0x01, 0x20}, false},
      {"mpeg4 wrong prefix", MediaQueue::kMpeg4, {0x00, 0x01, 0x01, 0xB0}, false},
      {"mpeg4 too short", MediaQueue::kMpeg4, {0x00, 0x00, 0x01}, false},
      {"unknown kind", 7, {0x00, 0x00, 0x01, 0xB0}, false},
  };
  for (const KeyFrameCase& c : cases) {
    EXPECT_EQ(isKeyFrame(c.kind, c.frame), c.key) << c.name;
  }
}

// An H.264 access unit is a key frame when any of its NAL units is an IDR slice (type 5),
// whatever comes in front of it and whichever start code it has.
TEST(KeyFrames, H264AccessUnitWithAnIdrSliceAnywhere) {
  const KeyFrameCase cases[] = {
      {"IDR alone", MediaQueue::kH264, {0, 0, 0, 1, 0x65, 0x88}, true},
      {"IDR after a 3-byte start code", MediaQueue::kH264, {0, 0, 1, 0x65}, true},
      {"IDR with a lower reference priority", MediaQueue::kH264, {0, 0, 0, 1, 0x25, 0x88}, true},
      {"SPS, PPS, SEI, then IDR",
       MediaQueue::kH264,
       {0,    0, 0, 1, 0x67, 0x42, 0x00, 0x1e, 0, 0, 0, 1, 0x68, 0xce, 0x3c,
        0x80, 0, 0, 1, 0x06, 0x05, 0x01, 0x80, 0, 0, 0, 1, 0x65, 0x88, 0x84},
       true},
      {"AUD, then IDR", MediaQueue::kH264, {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65, 0x88}, true},
      {"non-IDR slice", MediaQueue::kH264, {0, 0, 0, 1, 0x41, 0x9A}, false},
      {"SPS and PPS only",
       MediaQueue::kH264,
       {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1e, 0, 0, 0, 1, 0x68, 0xce},
       false},
      {"0x65 inside a slice, not behind a start code",
       MediaQueue::kH264,
       {0, 0, 0, 1, 0x41, 0x65, 0x00, 0x02, 0x65, 0x01, 0x65},
       false},
      {"0x65 behind a lone 01", MediaQueue::kH264, {0x01, 0x65, 0x00, 0x01, 0x65}, false},
      {"bytes ahead of the first start code",
       MediaQueue::kH264,
       {0x65, 0x65, 0, 0, 1, 0x41},
       false},
      {"start code with nothing behind it", MediaQueue::kH264, {0, 0, 0, 1}, false},
      {"three bytes", MediaQueue::kH264, {0, 0, 1}, false},
      {"empty", MediaQueue::kH264, {}, false},
  };
  for (const KeyFrameCase& c : cases) {
    EXPECT_EQ(isKeyFrame(c.kind, c.frame), c.key) << c.name;
  }
}

// Any cut of an access unit is read without touching a byte outside it (the sanitizer build
// sees every stray read); only cuts that still hold the IDR slice's header count.
TEST(KeyFrames, H264ScanStaysInsideEveryCutOfTheFrame) {
  const std::vector<std::uint8_t> unit{0, 0,    0,    1, 0x67, 0x42, 0, 0,
                                       1, 0x68, 0xce, 0, 0,    0,    1, 0x65};
  for (std::size_t length = 0; length <= unit.size(); ++length) {
    // A copy of exactly that length, so that a read past its end is a read past the heap block.
    const std::vector<std::uint8_t> cut(unit.begin(), unit.begin() + static_cast<long>(length));
    EXPECT_EQ(isH264KeyFrame(cut), length == unit.size()) << length;
  }
}

}  // namespace
}  // namespace ipcam
