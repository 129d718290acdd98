#include "media/video_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/test_pictures.h"
#include "support/recording_viewer_ui.h"

namespace ipcam {
namespace {

using namespace test_pictures;

// A channel with its display and media objects, outside the process-wide table, with the
// user interface replaced by a recording fake.
class VideoDecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_.channel = 3;
    record_.display = std::make_shared<ChannelDisplay>(3);
    record_.media = std::make_shared<ChannelMedia>(3);
    record_.media->initialise();
    appState().ui.store(&ui_);
  }
  void TearDown() override {
    appState().ui.store(nullptr);
    record_.media->close();
  }

  int decodeJpeg(const std::vector<std::uint8_t>& jpeg) { return decodeMjpeg(record_, jpeg, 0); }
  int shownWidth() const {
    int width = 0;
    record_.display->withFrontPicture([&](const PictureView& p) { width = p.width; });
    return width;
  }

  ChannelRecord record_;
  testing::RecordingViewerUi ui_;
};

TEST_F(VideoDecodeTest, MjpegPictureLandsInTheDisplayAtItsSizeAndColours) {
  for (auto [width, height] : {std::pair{176, 144}, std::pair{640, 480}}) {
    SCOPED_TRACE(width);
    record_.media->closeMjpegDecoder();
    ASSERT_TRUE(record_.media->openMjpegDecoder());
    const std::vector<std::uint8_t> jpeg = makeJpeg(width, height, kGrey, kBlue);
    ASSERT_FALSE(jpeg.empty());

    EXPECT_EQ(decodeJpeg(jpeg), static_cast<int>(jpeg.size()));
    EXPECT_EQ(record_.media->lastWidth(VideoCodec::kMjpeg), width);
    EXPECT_EQ(record_.media->lastHeight(VideoCodec::kMjpeg), height);
    bool shown = record_.display->withFrontPicture([&](const PictureView& picture) {
      EXPECT_EQ(picture.width, width);
      EXPECT_EQ(picture.height, height);
      EXPECT_EQ(picture.stride, width * 4);
      EXPECT_FALSE(picture.overlay.motion);
    });
    ASSERT_TRUE(shown);
    // A grey that is converted as video range would come out about 14 levels lighter.
    expectNear(pixelAt(*record_.display, width / 4, height / 2), kGrey);
    expectNear(pixelAt(*record_.display, 3 * width / 4, height / 2), kBlue);
    // The bottom-right corner is stretched from the last used line, not left undrawn.
    expectNear(pixelAt(*record_.display, width - 1, height - 1), kBlue);
  }
  EXPECT_EQ(ui_.pictures(), (std::vector<int>{3, 3}));
}

TEST_F(VideoDecodeTest, MotionFlagReachesTheOverlayState) {
  decodeMjpeg(record_, makeJpeg(320, 240, kRed, kRed), 1);
  bool motion = false;
  record_.display->withFrontPicture([&](const PictureView& p) { motion = p.overlay.motion; });
  EXPECT_TRUE(motion);
}

TEST_F(VideoDecodeTest, NewSizeReopensTheDecoderOnceThenDraws) {
  const auto small = makeJpeg(640, 480, kRed, kRed);
  const auto large = makeJpeg(1280, 1024, kBlue, kBlue);
  decodeJpeg(small);
  decodeJpeg(small);
  ASSERT_EQ(shownWidth(), 640);

  EXPECT_GE(decodeJpeg(large), 0);
  EXPECT_EQ(shownWidth(), 640) << "the first picture of the new size is dropped";
  EXPECT_EQ(record_.media->lastWidth(VideoCodec::kMjpeg), 1280);
  EXPECT_TRUE(record_.media->decoderOpen(VideoCodec::kMjpeg));

  decodeJpeg(large);
  EXPECT_EQ(shownWidth(), 1280);
  expectNear(pixelAt(*record_.display, 1279, 1023), kBlue);
  decodeJpeg(large);
  EXPECT_EQ(ui_.pictures().size(), 4u) << "two small, then every large picture but the first";
}

TEST_F(VideoDecodeTest, CorruptPicturesAreDroppedAndDecodingGoesOn) {
  decodeJpeg(makeJpeg(320, 240, kRed, kRed));
  const auto good = makeJpeg(320, 240, kGreen, kGreen);
  const std::vector<std::uint8_t> junk(5000, 0xA5);
  const std::vector<std::uint8_t> truncated(good.begin(), good.begin() + 40);

  for (const auto* bad : {&junk, &truncated}) {
    EXPECT_LT(decodeJpeg(*bad), 0);
    expectNear(pixelAt(*record_.display, 160, 120), kRed);
  }
  EXPECT_EQ(decodeJpeg(good), static_cast<int>(good.size()));
  expectNear(pixelAt(*record_.display, 160, 120), kGreen);
}

TEST_F(VideoDecodeTest, Mpeg4RefusesFramesBeforeDecoding) {
  ASSERT_TRUE(record_.media->openMpeg4Decoder());
  const std::vector<std::uint8_t> vop{0x00, 0x00, 0x01, 0xB6, 0x10, 0x00};
  EXPECT_EQ(decodeMpeg4(record_, std::vector<std::uint8_t>{0x00, 0x00, 0x02, 0xB0, 0x01}, 0),
            kMpeg4NoStartCode);
  EXPECT_EQ(decodeMpeg4(record_, std::vector<std::uint8_t>{0x00, 0x00}, 0), kMpeg4NoStartCode);
  EXPECT_EQ(decodeMpeg4(record_, vop, 0), kMpeg4GateClosed) << "a VOP before any VOL/VOS/GOV";
  EXPECT_FALSE(record_.media->mpeg4GateOpen());

  const std::vector<std::uint8_t> vos{0x00, 0x00, 0x01, 0xB0, 0x01};
  const int result = decodeMpeg4(record_, vos, 0);
  EXPECT_NE(result, kMpeg4GateClosed);
  EXPECT_NE(result, kMpeg4NoStartCode);
  EXPECT_TRUE(record_.media->mpeg4GateOpen());
  EXPECT_NE(decodeMpeg4(record_, vop, 0), kMpeg4GateClosed) << "the gate stays open";
  EXPECT_EQ(decodeMpeg4(record_, std::vector<std::uint8_t>{0x47, 0x00, 0x01}, 0),
            kMpeg4NoStartCode);
  EXPECT_TRUE(ui_.pictures().empty());
}

TEST(FrameRing, DropsTheThirteenthFrameAndReusesAFreedSlot) {
  ChannelMedia media(0);
  std::lock_guard lock(media.lock());
  for (std::uint8_t i = 0; i < FrameRing::kSlotCount; ++i) {
    EXPECT_TRUE(media.pushVideoFrame(std::vector<std::uint8_t>{i, i}, 640, 480));
  }
  EXPECT_FALSE(media.pushVideoFrame(std::vector<std::uint8_t>{99}, 0, 0));
  EXPECT_FALSE(media.pushVideoFrame(std::vector<std::uint8_t>(FrameRing::kSlotSize + 1), 0, 0));

  std::vector<std::uint8_t> out(4);
  const auto first = media.videoRing().pop(out);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->length, 2u);
  EXPECT_EQ(first->width, 640u);
  EXPECT_EQ(out[0], 0);
  EXPECT_TRUE(media.pushVideoFrame(std::vector<std::uint8_t>{12}, 0, 0));
  EXPECT_EQ(media.videoRing().count(), FrameRing::kSlotCount);
}

}  // namespace
}  // namespace ipcam
