#include "media/stream_decode_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <numeric>
#include <string_view>
#include <vector>

#include "core/app_state.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "media/picture_stats.h"
#include "media/test_pictures.h"
#include "support/recording_viewer_ui.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace test_pictures;
using ipcam::testing::waitFor;

// A recorder that is always recording and keeps the sizes of the frames it was given.
class CountingRecorder : public FrameSink {
 public:
  bool recording() const override { return true; }
  void writeFrame(std::span<const std::uint8_t> frame, bool /*keyFrame*/,
                  std::string_view /*parameterSets*/) override {
    std::lock_guard lock(mutex_);
    sizes_.push_back(frame.size());
  }
  void close() override {}
  std::vector<std::size_t> sizes() const {
    std::lock_guard lock(mutex_);
    return sizes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::size_t> sizes_;  // guarded by mutex_
};

// Counts what the decode thread reports, in place of the channel's owner.
class ReportCounter final : public ChannelEventSink {
 public:
  void firstPicture(ChannelRecord& /*record*/) override { firstPictures.fetch_add(1); }
  std::atomic<int> firstPictures{0};
};

// The decode thread runs on a channel of the process-wide table, as in the program, with a
// display of its own per test.
class StreamDecodeThreadTest : public ::testing::Test {
 protected:
  static constexpr int kChannel = 6;

  void SetUp() override {
    record_.display = std::make_shared<ChannelDisplay>(kChannel);
    if (!record_.media) record_.media = std::make_shared<ChannelMedia>(kChannel);
    record_.channel = kChannel;
    record_.stream.videoQueue.clear();
    record_.stream.videoQueue.setCodecKind(MediaQueue::kJpeg);
    appState().ui.store(&ui_);
    saved_ = &channelEvents();
    setChannelEventSink(&reports_);
  }
  void TearDown() override {
    stopStreamDecodeThread(record_);
    setChannelEventSink(saved_);
    record_.manualRecorder.reset();
    appState().ui.store(nullptr);
  }

  void push(const std::vector<std::uint8_t>& frame, int times) {
    for (int i = 0; i < times; ++i) ASSERT_TRUE(record_.stream.videoQueue.push(frame));
  }
  PictureCounts counts() const { return readCounts(record_.pictureCounters); }

  ChannelRecord& record_ = channelRecord(kChannel);
  testing::RecordingViewerUi ui_;
  ReportCounter reports_;
  ChannelEventSink* saved_ = nullptr;
};

TEST_F(StreamDecodeThreadTest, PicturesAreShownAsTheyComeAndTheSizeIsRecorded) {
  record_.pictureWidth.store(123);
  startStreamDecodeThread(record_);
  ASSERT_TRUE(streamDecodeThreadRunning(record_));
  const auto jpeg = makeJpeg(640, 480, kBlue, kRed);
  for (std::size_t shown = 1; shown <= 3; ++shown) {
    push(jpeg, 1);
    ASSERT_TRUE(waitFor([&] { return ui_.pictures().size() == shown; }));
  }
  EXPECT_EQ(record_.pictureWidth.load(), 640);
  EXPECT_EQ(record_.pictureHeight.load(), 480);
  expectNear(pixelAt(*record_.display, 100, 240), kBlue);
  expectNear(pixelAt(*record_.display, 600, 240), kRed);
  EXPECT_EQ(reports_.firstPictures.load(), 1) << "once per run";
  EXPECT_EQ(record_.scheduleRunning.load(), 0) << "the decode thread starts nothing itself";
}

TEST_F(StreamDecodeThreadTest, MotionIndicationFadesAfterTenFrames) {
  const auto jpeg = makeJpeg(160, 120, kWhite, kWhite);
  startStreamDecodeThread(record_);
  record_.motionFlag.store(1);
  push(jpeg, 1);
  ASSERT_TRUE(waitFor([&] { return ui_.pictures().size() == 1; }));
  bool motion = false;
  record_.display->withFrontPicture([&](const PictureView& p) { motion = p.overlay.motion; });
  EXPECT_TRUE(motion);
  EXPECT_EQ(record_.motionFlag.load(), 2);

  // The indication ages by the frames received, shown or not.
  push(jpeg, 9);
  ASSERT_TRUE(waitFor([&] { return counts().received == 10; }));
  EXPECT_TRUE(waitFor([&] { return record_.motionFlag.load() == 0; }));
  EXPECT_EQ(record_.motionRunning.load(), 0);
}

TEST_F(StreamDecodeThreadTest, StopEmptiesTheQueueAndClosesTheDecoders) {
  startStreamDecodeThread(record_);
  ASSERT_TRUE(waitFor([&] { return record_.media->decoderOpen(VideoCodec::kMjpeg); }));
  push(makeJpeg(1280, 1024, kGreen, kGreen), 60);

  stopStreamDecodeThread(record_);
  EXPECT_FALSE(streamDecodeThreadRunning(record_));
  EXPECT_EQ(record_.stream.videoQueue.size(), 0u);
  EXPECT_FALSE(record_.media->decoderOpen(VideoCodec::kMjpeg));
  EXPECT_LT(ui_.pictures().size(), 60u) << "the thread was stopped with pictures still queued";
}

// A channel 50 pictures behind (the thread starts with them waiting) shows the newest next
// instead of working through the backlog; the recorder still gets every frame, in order, and
// every picture is counted as shown or dropped.
TEST_F(StreamDecodeThreadTest, MjpegChannelBehindByFiftyPicturesShowsTheNewestNext) {
  auto recorder = std::make_shared<CountingRecorder>();
  record_.manualRecorder = recorder;
  record_.display->setTileSize(160, 120);
  std::vector<std::vector<std::uint8_t>> frames;
  for (int i = 0; i < 49; ++i) frames.push_back(makeJpeg(640, 480, kRed, kGreen));
  frames.push_back(makeJpeg(640, 480, kBlue, kWhite));
  frames[10].resize(frames[10].size() + 10, 0);  // sizes the recorder can tell apart
  for (const auto& frame : frames) push(frame, 1);

  startStreamDecodeThread(record_);
  ASSERT_TRUE(waitFor([&] { return counts().received == 50 && ui_.pictures().size() == 1; }));
  expectNear(pixelAt(*record_.display, 20, 60), kBlue);
  expectNear(pixelAt(*record_.display, 140, 60), kWhite);

  const PictureCounts counted = counts();
  EXPECT_EQ(counted.shown, 1u);
  EXPECT_EQ(counted.decoded, 1u);
  EXPECT_EQ(counted.dropped, 49u);
  EXPECT_EQ(counted.receivedBytes,
            std::accumulate(frames.begin(), frames.end(), std::uint64_t{0},
                            [](std::uint64_t sum, const auto& f) { return sum + f.size(); }));
  std::vector<std::size_t> sizes;
  for (const auto& frame : frames) sizes.push_back(frame.size());
  EXPECT_EQ(recorder->sizes(), sizes);

  // Caught up, the next picture is shown as it comes.
  push(makeJpeg(640, 480, kGreen, kGreen), 1);
  ASSERT_TRUE(waitFor([&] { return ui_.pictures().size() == 2; }));
  EXPECT_EQ(counts().shown + counts().dropped, counts().received);
}

// An H.264 channel behind by 50 pictures goes to the newest key frame without decoding the
// pictures between, decodes the rest of that group without converting it (the newest refers
// to them) and shows the newest: whole, in its own colours.
TEST_F(StreamDecodeThreadTest, H264ChannelBehindSkipsToTheNewestKeyFrameAndShowsTheNewest) {
  constexpr int kPictures = 50;
  constexpr int kGroup = 10;
  const auto frames =
      encodeSequence("libx264", 320, 240, kPictures, kGroup,
                     [](int i) {
                       return i + 1 == kPictures ? Quarters{kBlue, kBlue, kWhite, kWhite}
                                                 : Quarters{kRed, kRed, kGreen, kGreen};
                     },
                     {{"preset", "ultrafast"}, {"tune", "zerolatency"}, {"qp", "4"}});
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kPictures));
  record_.stream.videoQueue.setCodecKind(MediaQueue::kH264);
  record_.stream.videoQueue.setParameterSets("");
  for (const auto& frame : frames) push(frame, 1);

  startStreamDecodeThread(record_);
  ASSERT_TRUE(
      waitFor([&] { return counts().received == kPictures && ui_.pictures().size() == 1; }));
  expectNear(pixelAt(*record_.display, 160, 60), kBlue);
  expectNear(pixelAt(*record_.display, 160, 180), kWhite);
  const PictureCounts counted = counts();
  EXPECT_EQ(counted.shown, 1u);
  EXPECT_EQ(counted.dropped, kPictures - 1u);
  // The last group is decoded whole; of the groups before, at most their key frames (which
  // carry the parameter sets).
  EXPECT_GE(counted.decoded, static_cast<std::uint64_t>(kGroup));
  EXPECT_LE(counted.decoded, static_cast<std::uint64_t>(kGroup + kPictures / kGroup - 1));
}

}  // namespace
}  // namespace ipcam
