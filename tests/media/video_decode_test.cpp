#include "media/video_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/channel_events.h"
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

// How far a picture is decoded below its size, and what it is converted to, by the size of
// the picture and of the tile that shows it.
TEST(TileSize, DecodeReductionAndConversionFollowTheTile) {
  using Kind = TileTarget::Kind;
  struct Case {
    int width;
    int height;
    TileTarget tile;
    int shift;
    ConversionPlan plan;
  };
  const Case cases[] = {
      // 16 tiles of a 640x480 area: a quarter per side, decoded at the tile's size and
      // shown whole, pixel for pixel.
      {640, 480, {Kind::kShown, 160, 120}, 2, {160, 120, true, true}},
      {640, 480, {Kind::kShown, 320, 240}, 1, {320, 240, true, true}},
      {640, 480, {Kind::kShown, 640, 480}, 0, {640, 480, true, true}},
      // A tile just larger than half: decoded at full size, converted down in one pass.
      {640, 480, {Kind::kShown, 330, 250}, 0, {330, 250, false}},
      // Full screen: the picture as it is, stretched by the paint.
      {640, 480, {Kind::kShown, 1920, 1080}, 0, {640, 480, true}},
      // Wider but lower than the picture: converted to the tile.
      {640, 480, {Kind::kShown, 800, 300}, 0, {800, 300, false}},
      {1280, 1024, {Kind::kShown, 160, 120}, 3, {160, 120, false}},
      {1280, 1024, {Kind::kShown, 640, 480}, 1, {640, 480, false}},
      {1920, 1080, {Kind::kShown, 160, 120}, 3, {160, 120, false}},
      {352, 288, {Kind::kShown, 160, 120}, 1, {160, 120, false}},
      {4096, 4096, {Kind::kShown, 160, 120}, 3, {160, 120, false}},
      // Odd sides round up, so the reduced picture still covers the tile.
      {642, 482, {Kind::kShown, 161, 121}, 2, {161, 121, true, true}},
      {1280, 1024, {Kind::kHidden, 0, 0}, 3, {160, 128, true}},
      // No tile has said: the documented conversion at the picture's own size.
      {1280, 1024, {}, 0, {1280, 1024, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " in " +
                 std::to_string(c.tile.width) + "x" + std::to_string(c.tile.height));
    const int shift = decodeShift(c.width, c.height, c.tile);
    EXPECT_EQ(shift, c.shift);
    EXPECT_EQ(planConversion(reducedSide(c.width, shift), reducedSide(c.height, shift), c.tile),
              c.plan);
  }
}

// Pictures in small tiles: decoded at a fraction of their size (Motion JPEG) or at full size
// (H.264), converted no larger than the tile, in their colours, with the camera's size kept
// for the overlays and the recorders.
TEST_F(VideoDecodeTest, PictureForASmallTileHasTheTileSizeAndItsColours) {
  struct Case {
    const char* name;
    VideoCodec codec;
    int width;
    int height;
    int shownWidth;  // the tile's size
    int shownHeight;
  };
  const Case cases[] = {
      {"Motion JPEG at 1/4, shown whole", VideoCodec::kMjpeg, 640, 480, 160, 120},
      {"Motion JPEG at 1/8, converted to the tile", VideoCodec::kMjpeg, 1280, 1024, 160, 120},
      {"H.264 converted to the tile", VideoCodec::kH264, 640, 480, 160, 120},
  };
  const Quarters picture{kRed, kGreen, kBlue, kWhite};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    record_.display = std::make_shared<ChannelDisplay>(3);
    record_.display->setTileSize(160, 120);
    // A fresh decoder each: a Motion JPEG picture of a new size would be dropped.
    record_.media->closeDecoder(c.codec);
    ASSERT_TRUE(record_.media->openDecoder(c.codec));
    if (c.codec == VideoCodec::kMjpeg) {
      const auto jpeg =
          encodePicture("mjpeg", AV_PIX_FMT_YUVJ422P, true, c.width, c.height, picture);
      EXPECT_EQ(decodeJpeg(jpeg), static_cast<int>(jpeg.size()));
    } else {
      record_.media->setKeyFrameSeen();
      const auto frame = encodePicture("libx264", AV_PIX_FMT_YUV420P, false, c.width, c.height,
                                       picture, {{"preset", "ultrafast"}, {"qp", "4"}});
      EXPECT_GE(decodeH264(record_, frame, 0), 0);
    }
    EXPECT_EQ(record_.media->lastWidth(c.codec), c.width);
    PictureView shown;
    ASSERT_TRUE(record_.display->withFrontPicture([&](const PictureView& p) { shown = p; }));
    EXPECT_EQ(shown.width, c.shownWidth);
    EXPECT_EQ(shown.height, c.shownHeight);
    EXPECT_EQ(shown.pictureWidth, c.width);
    EXPECT_EQ(shown.pictureHeight, c.height);
    const int w = shown.width;
    const int h = shown.height;
    expectNear(pixelAt(*record_.display, w / 4, h / 4), picture.topLeft);
    expectNear(pixelAt(*record_.display, 3 * w / 4, h / 4), picture.topRight);
    expectNear(pixelAt(*record_.display, w / 4, 3 * h / 4), picture.bottomLeft);
    expectNear(pixelAt(*record_.display, 3 * w / 4, 3 * h / 4), picture.bottomRight);
    expectNear(pixelAt(*record_.display, w - 1, h - 1), picture.bottomRight);
  }
}

// Motion JPEG that libjpeg-turbo does not decode (lossless coding) still plays: libavcodec
// takes it, at the tile's size.
TEST_F(VideoDecodeTest, JpegThatLibjpegTurboRefusesIsDecodedByLibavcodec) {
  record_.display->setTileSize(160, 120);
  const Quarters picture{kRed, kGreen, kBlue, kWhite};
  const auto lossless = encodePicture("ljpeg", AV_PIX_FMT_YUVJ420P, true, 320, 240, picture);
  ASSERT_FALSE(lossless.empty());
  EXPECT_GE(decodeJpeg(lossless), 0);
  {
    std::lock_guard lock(record_.media->decoderMutex());
    EXPECT_EQ(record_.media->decoder(VideoCodec::kMjpeg).picture->width, 320)
        << "libavcodec made the picture";
  }
  ASSERT_EQ(shownWidth(), 160);
  expectNear(pixelAt(*record_.display, 40, 30), picture.topLeft);
  expectNear(pixelAt(*record_.display, 120, 90), picture.bottomRight);
}

// A snapshot takes the camera's picture, not the tile's: the compressed Motion JPEG as it
// came, and an H.264 picture converted at its full size.
TEST_F(VideoDecodeTest, SnapshotTakesTheFullPictureWhateverTheTileShows) {
  // Stands in for the channel's owner, which saves what the decoder hands over.
  struct SnapshotCatcher final : ChannelEventSink {
    void jpegSnapshot(ChannelRecord&, std::span<const std::uint8_t> jpeg) override {
      jpegSaved.assign(jpeg.begin(), jpeg.end());
    }
    void pictureSnapshot(ChannelRecord&, const PictureView& picture) override {
      pictureWidth = picture.width;
      pictureHeight = picture.height;
      const std::uint8_t* pixel =
          picture.data + (picture.height - 1) * picture.stride + (picture.width - 1) * 4;
      corner = {pixel[2], pixel[1], pixel[0]};
    }
    std::vector<std::uint8_t> jpegSaved;
    int pictureWidth = 0;
    int pictureHeight = 0;
    Rgb corner{-1, -1, -1};
  };
  ChannelEventSink* const saved = &channelEvents();
  SnapshotCatcher caught;
  setChannelEventSink(&caught);
  std::vector<std::uint8_t>& jpegSaved = caught.jpegSaved;
  int& pictureWidth = caught.pictureWidth;
  int& pictureHeight = caught.pictureHeight;
  Rgb& corner = caught.corner;
  record_.display->setTileSize(160, 120);

  const auto jpeg = makeJpeg(640, 480, kRed, kBlue);
  record_.snapshotRequest.store(1);
  decodeJpeg(jpeg);
  EXPECT_EQ(jpegSaved, jpeg);
  EXPECT_EQ(record_.snapshotRequest.load(), 0);

  ASSERT_TRUE(record_.media->openH264Decoder());
  record_.media->setKeyFrameSeen();
  const auto frame =
      encodePicture("libx264", AV_PIX_FMT_YUV420P, false, 640, 480,
                    Quarters{kRed, kBlue, kRed, kBlue}, {{"preset", "ultrafast"}, {"qp", "4"}});
  record_.snapshotRequest.store(1);
  EXPECT_GE(decodeH264(record_, frame, 0), 0);
  EXPECT_EQ(pictureWidth, 640);
  EXPECT_EQ(pictureHeight, 480);
  expectNear(corner, kBlue);
  EXPECT_EQ(shownWidth(), 160) << "the tile still gets its own size";
  setChannelEventSink(saved);
}

}  // namespace
}  // namespace ipcam
