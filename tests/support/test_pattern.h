#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "media/channel_display.h"

namespace ipcam::testing {

// The channel's display shows the simulated camera's test pattern at `width` x `height`: the
// last of its seven colour bars is blue.
inline void expectTestPatternShown(const ChannelDisplay& display, int width, int height) {
  std::uint32_t pixel = 0;
  ASSERT_TRUE(display.withFrontPicture([&](const PictureView& picture) {
    EXPECT_EQ(picture.width, width);
    EXPECT_EQ(picture.height, height);
    const int x = picture.width * 13 / 14;
    const int y = picture.height / 8;
    std::memcpy(&pixel, picture.data + y * picture.stride + x * 4, sizeof pixel);
  })) << "no picture shown";
  EXPECT_LT((pixel >> 16) & 0xff, 60u);
  EXPECT_LT((pixel >> 8) & 0xff, 60u);
  EXPECT_GT(pixel & 0xff, 190u);
}

}  // namespace ipcam::testing
