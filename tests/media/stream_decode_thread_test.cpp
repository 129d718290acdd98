#include "media/stream_decode_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
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

template <class Condition>
bool waitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The decode thread runs on a channel of the process-wide table, as in the program.
class StreamDecodeThreadTest : public ::testing::Test {
 protected:
  static constexpr int kChannel = 6;

  void SetUp() override {
    if (!record_.display) record_.display = std::make_shared<ChannelDisplay>(kChannel);
    if (!record_.media) record_.media = std::make_shared<ChannelMedia>(kChannel);
    record_.channel = kChannel;
    record_.display->discardPicture();
    record_.stream.videoQueue.clear();
    record_.stream.videoQueue.setCodecKind(MediaQueue::kJpeg);
    appState().ui.store(&ui_);
  }
  void TearDown() override {
    stopStreamDecodeThread(record_);
    appState().ui.store(nullptr);
  }

  void push(const std::vector<std::uint8_t>& frame, int times) {
    for (int i = 0; i < times; ++i) ASSERT_TRUE(record_.stream.videoQueue.push(frame));
  }

  ChannelRecord& record_ = channelRecord(kChannel);
  testing::RecordingViewerUi ui_;
};

TEST_F(StreamDecodeThreadTest, QueuedPicturesAreShownAndTheSizeIsRecorded) {
  record_.pictureWidth.store(123);
  push(makeJpeg(640, 480, kBlue, kRed), 3);
  startStreamDecodeThread(record_);
  ASSERT_TRUE(streamDecodeThreadRunning(record_));

  ASSERT_TRUE(waitFor([&] { return ui_.pictures().size() == 3; }));
  EXPECT_EQ(record_.pictureWidth.load(), 640);
  EXPECT_EQ(record_.pictureHeight.load(), 480);
  expectNear(pixelAt(*record_.display, 100, 240), kBlue);
  expectNear(pixelAt(*record_.display, 600, 240), kRed);
  EXPECT_EQ(record_.scheduleRunning.load(), 0) << "no schedule thread exists yet to start";
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

  push(jpeg, 9);
  ASSERT_TRUE(waitFor([&] { return ui_.pictures().size() == 10; }));
  EXPECT_EQ(record_.motionFlag.load(), 0);
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

}  // namespace
}  // namespace ipcam
