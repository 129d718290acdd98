#include "media/key_frames.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocols/media_queue.h"

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
      {"h264 IDR", MediaQueue::kH264, {0x00, 0x00, 0x00, 0x01, 0x65, 0x88}, true},
      {"h264 non-IDR slice", MediaQueue::kH264, {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A}, false},
      {"h264 SPS", MediaQueue::kH264, {0x00, 0x00, 0x00, 0x01, 0x67, 0x42}, false},
      {"h264 IDR after a 3-byte start code", MediaQueue::kH264, {0x00, 0x00, 0x01, 0x65}, false},
      {"h264 too short", MediaQueue::kH264, {0x00, 0x00, 0x00, 0x01}, false},
      {"unknown kind", 7, {0x00, 0x00, 0x01, 0xB0}, false},
  };
  for (const KeyFrameCase& c : cases) {
    EXPECT_EQ(isKeyFrame(c.kind, c.frame), c.key) << c.name;
  }
}

}  // namespace
}  // namespace ipcam
