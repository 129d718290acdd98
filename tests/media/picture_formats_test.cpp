// Every picture layout a camera may send goes through the channel's decoder and converter
// into its display in the right colours, at any size the channel shows.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/key_frames.h"
#include "media/test_pictures.h"
#include "media/video_decode.h"
#include "support/recording_viewer_ui.h"

namespace ipcam {
namespace {

using namespace test_pictures;

// Colours far enough from each other and from the ends of the scale that a swapped plane, a
// misplaced chroma block or a wrong range (about 16 levels off near white) shows.
constexpr Quarters kQuarters{{220, 40, 40}, {40, 200, 60}, {40, 60, 220}, {230, 230, 230}};

// A channel of its own with display and media, outside the process-wide table.
class Channel {
 public:
  Channel() {
    record_.channel = 5;
    record_.display = std::make_shared<ChannelDisplay>(5);
    record_.media = std::make_shared<ChannelMedia>(5);
    appState().ui.store(&ui_);
  }
  ~Channel() {
    appState().ui.store(nullptr);
    record_.media->close();
  }

  // Decodes as the stream decode thread does: a key frame lets the channel start.
  int decode(VideoCodec codec, const std::vector<std::uint8_t>& frame) {
    ChannelMedia& media = *record_.media;
    if (!media.decoderOpen(codec) && !media.openDecoder(codec)) return kDecoderNotOpen;
    switch (codec) {
      case VideoCodec::kMjpeg:
        return decodeMjpeg(record_, frame, 0);
      case VideoCodec::kMpeg4:
        return decodeMpeg4(record_, frame, 0);
      case VideoCodec::kH264:
        if (isH264KeyFrame(frame)) media.setKeyFrameSeen();
        return decodeH264(record_, frame, 0);
    }
    return kDecoderNotOpen;
  }
  // The layout the converter last read, by the library's name, with "full" or "video" for
  // its range: which decoder made the picture, and in which layout.
  std::string convertedFormat() const {
    const PictureFormat format = record_.display->convertedFormat();
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format.pixelFormat));
    return std::string(name != nullptr ? name : "none") + (format.fullRange ? " full" : " video");
  }
  const ChannelDisplay& display() const { return *record_.display; }
  std::pair<int, int> shownSize() const {
    std::pair<int, int> size{0, 0};
    record_.display->withFrontPicture([&](const PictureView& p) { size = {p.width, p.height}; });
    return size;
  }
  const testing::RecordingViewerUi& ui() const { return ui_; }

 private:
  ChannelRecord record_;
  testing::RecordingViewerUi ui_;
};

struct FormatCase {
  const char* name;
  VideoCodec codec;
  std::function<std::vector<std::uint8_t>(int width, int height)> encode;
  const char* convertedFormat;  // proves which layout the row put through the converter
  bool grey;
};

std::function<std::vector<std::uint8_t>(int, int)> libavcodec(
    const char* encoder, AVPixelFormat format, bool fullRange,
    std::vector<std::pair<const char*, const char*>> options = {}) {
  return [=](int width, int height) {
    return encodePicture(encoder, format, fullRange, width, height, kQuarters, options);
  };
}

std::function<std::vector<std::uint8_t>(int, int)> turboJpeg(int sampling) {
  return [=](int width, int height) { return encodeTurboJpeg(sampling, width, height, kQuarters); };
}

// libx264 at a fine fixed quantiser, one picture out for one in.
const std::vector<std::pair<const char*, const char*>> kX264 = {
    {"preset", "ultrafast"}, {"tune", "zerolatency"}, {"qp", "4"}};

TEST(PictureFormats, EveryLayoutIsDrawnInItsColours) {
  // Motion JPEG goes through libjpeg-turbo into planes of its own sampling, in full range.
  const FormatCase cases[] = {
      {"Motion JPEG 4:2:0", VideoCodec::kMjpeg, libavcodec("mjpeg", AV_PIX_FMT_YUVJ420P, true),
       "yuv420p full", false},
      {"Motion JPEG 4:2:2", VideoCodec::kMjpeg, libavcodec("mjpeg", AV_PIX_FMT_YUVJ422P, true),
       "yuv422p full", false},
      {"Motion JPEG 4:4:4", VideoCodec::kMjpeg, libavcodec("mjpeg", AV_PIX_FMT_YUVJ444P, true),
       "yuv444p full", false},
      {"Motion JPEG 4:4:0", VideoCodec::kMjpeg, turboJpeg(TJSAMP_440), "yuv440p full", false},
      {"Motion JPEG 4:1:1", VideoCodec::kMjpeg, turboJpeg(TJSAMP_411), "yuv411p full", false},
      {"Motion JPEG grey (night mode)", VideoCodec::kMjpeg, turboJpeg(TJSAMP_GRAY), "gray full",
       true},
      {"MPEG-4 4:2:0", VideoCodec::kMpeg4, libavcodec("mpeg4", AV_PIX_FMT_YUV420P, false),
       "yuv420p video", false},
      {"H.264 4:2:0", VideoCodec::kH264, libavcodec("libx264", AV_PIX_FMT_YUV420P, false, kX264),
       "yuv420p video", false},
      {"H.264 4:2:0 full range", VideoCodec::kH264,
       libavcodec("libx264", AV_PIX_FMT_YUV420P, true, kX264), "yuv420p full", false},
      {"H.264 4:2:2", VideoCodec::kH264, libavcodec("libx264", AV_PIX_FMT_YUV422P, false, kX264),
       "yuv422p video", false},
      {"H.264 4:4:4", VideoCodec::kH264, libavcodec("libx264", AV_PIX_FMT_YUV444P, false, kX264),
       "yuv444p video", false},
      {"H.264 4:4:4 full range", VideoCodec::kH264,
       libavcodec("libx264", AV_PIX_FMT_YUV444P, true, kX264), "yuv444p full", false},
      {"H.264 4:2:0 10-bit", VideoCodec::kH264,
       libavcodec("libx264", AV_PIX_FMT_YUV420P10LE, false, kX264), "yuv420p10le video", false},
      // Monochrome H.264: the decoder hands it over as 4:2:0 with neutral chroma.
      {"H.264 monochrome", VideoCodec::kH264, libavcodec("libx264", AV_PIX_FMT_GRAY8, false, kX264),
       "yuv420p video", true},
  };
  constexpr int kWidth = 320;
  constexpr int kHeight = 240;
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> frame = c.encode(kWidth, kHeight);
    ASSERT_FALSE(frame.empty()) << "the encoder at hand cannot make this layout";
    Channel channel;
    EXPECT_GE(channel.decode(c.codec, frame), 0);
    EXPECT_EQ(channel.convertedFormat(), c.convertedFormat);
    ASSERT_EQ(channel.shownSize(), std::make_pair(kWidth, kHeight));
    EXPECT_EQ(channel.ui().pictures().size(), 1u);

    const auto expected = [&c](Rgb colour) {
      return c.grey ? Rgb{luma(colour), luma(colour), luma(colour)} : colour;
    };
    expectNear(pixelAt(channel.display(), kWidth / 4, kHeight / 4), expected(kQuarters.topLeft));
    expectNear(pixelAt(channel.display(), 3 * kWidth / 4, kHeight / 4),
               expected(kQuarters.topRight));
    expectNear(pixelAt(channel.display(), kWidth / 4, 3 * kHeight / 4),
               expected(kQuarters.bottomLeft));
    expectNear(pixelAt(channel.display(), 3 * kWidth / 4, 3 * kHeight / 4),
               expected(kQuarters.bottomRight));
  }
}

struct SizeCase {
  VideoCodec codec;
  int width;
  int height;
};

// Sub-streams, the main streams of current cameras and the extremes, in all three codecs;
// the MPEG codecs also at 176x144, which they used to refuse. Each size arrives on a channel
// of its own, so no picture is spent on the decoder's re-open after a change of size.
TEST(PictureSizes, AnySizeFrom16To4096IsDecodedAndDrawn) {
  const SizeCase cases[] = {
      {VideoCodec::kMjpeg, 16, 16},     {VideoCodec::kMjpeg, 352, 288},
      {VideoCodec::kMjpeg, 640, 360},   {VideoCodec::kMjpeg, 1920, 1080},
      {VideoCodec::kMjpeg, 2688, 1520}, {VideoCodec::kMjpeg, 3840, 2160},
      {VideoCodec::kMjpeg, 4096, 4096}, {VideoCodec::kMpeg4, 176, 144},
      {VideoCodec::kMpeg4, 704, 576},   {VideoCodec::kH264, 176, 144},
      {VideoCodec::kH264, 352, 288},    {VideoCodec::kH264, 2560, 1440},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.codec)) + ": " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    std::vector<std::uint8_t> frame;
    switch (c.codec) {
      case VideoCodec::kMjpeg:
        frame = encodePicture("mjpeg", AV_PIX_FMT_YUVJ420P, true, c.width, c.height, kQuarters);
        break;
      case VideoCodec::kMpeg4:
        frame = encodePicture("mpeg4", AV_PIX_FMT_YUV420P, false, c.width, c.height, kQuarters);
        break;
      case VideoCodec::kH264:
        frame = encodePicture("libx264", AV_PIX_FMT_YUV420P, false, c.width, c.height, kQuarters,
                              kX264);
        break;
    }
    ASSERT_FALSE(frame.empty());
    Channel channel;
    EXPECT_GE(channel.decode(c.codec, frame), 0);
    ASSERT_EQ(channel.shownSize(), std::make_pair(c.width, c.height));
    expectNear(pixelAt(channel.display(), c.width / 4, c.height / 4), kQuarters.topLeft);
    expectNear(pixelAt(channel.display(), c.width - 1, c.height - 1), kQuarters.bottomRight);
    EXPECT_TRUE(channel.ui().messages().empty());
  }
}

// Too small to be a picture, or beyond what any camera sends: dropped without a box, and the
// channel goes on with the next picture that fits.
TEST(PictureSizes, OutsideTheRangeIsDroppedQuietly) {
  Channel channel;
  for (auto [width, height] : {std::pair{8, 8}, std::pair{64, 8}, std::pair{4112, 32}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const auto frame = encodePicture("mjpeg", AV_PIX_FMT_YUVJ420P, true, width, height, kQuarters);
    ASSERT_FALSE(frame.empty());
    EXPECT_GE(channel.decode(VideoCodec::kMjpeg, frame), 0);
    EXPECT_EQ(channel.shownSize(), std::make_pair(0, 0));
  }
  EXPECT_TRUE(channel.ui().pictures().empty());
  EXPECT_TRUE(channel.ui().messages().empty());

  const auto fits = encodePicture("mjpeg", AV_PIX_FMT_YUVJ420P, true, 320, 240, kQuarters);
  channel.decode(VideoCodec::kMjpeg, fits);  // a new size: the decoder starts afresh
  channel.decode(VideoCodec::kMjpeg, fits);
  EXPECT_EQ(channel.shownSize(), std::make_pair(320, 240));
}

}  // namespace
}  // namespace ipcam
