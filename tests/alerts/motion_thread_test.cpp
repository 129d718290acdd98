// The motion thread against a fake motion recorder, driven through the recorder interface as
// the real one is, and a counting alarm in place of the program's event sink.
#include "alerts/motion_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "alerts/scripted_mail_server.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FakeRecorder final : public FrameSink {
 public:
  bool recording() const override { return recording_.load(); }
  void writeFrame(std::span<const std::uint8_t>, bool, std::string_view) override {}
  void close() override { recording_.store(false); }

  int startRecording() override {
    attempts.fetch_add(1);
    if (refuse.load()) return -1;
    starts.fetch_add(1);
    recording_.store(true);
    return 0;
  }
  void stopRecording() override {
    stops.fetch_add(1);
    recording_.store(false);
  }
  std::string currentFile() const override { return file; }

  std::atomic<bool> refuse{false};
  std::atomic<int> attempts{0};
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::string file;  // written before the thread starts

 private:
  std::atomic<bool> recording_{false};
};

FakeRecorder& fake(const FrameSink& sink) {
  return const_cast<FakeRecorder&>(dynamic_cast<const FakeRecorder&>(sink));
}

class AlarmCounter final : public ChannelEventSink {
 public:
  void alarm(ChannelRecord& /*record*/) override { count_.fetch_add(1); }
  int load() const { return count_.load(); }

 private:
  std::atomic<int> count_{0};
};

class MotionThread : public ::testing::Test {
 protected:
  static constexpr int kChannels[] = {3, 4, 5};

  void SetUp() override {
    setChannelEventSink(&alarms_);
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
    }
    for (const int channel : kChannels) {
      ChannelRecord& record = channelRecord(channel);
      record.channel = channel;
      record.motionRecorder = std::make_shared<FakeRecorder>();
      record.pictureWidth.store(320);
      record.pictureHeight.store(240);
      record.status.store(kStatusLive);
    }
  }

  void TearDown() override {
    for (const int channel : kChannels) {
      ChannelRecord& record = channelRecord(channel);
      record.threads.motion.stop();
      record.motionRecorder.reset();
      record.pictureWidth.store(0);
      record.pictureHeight.store(0);
      record.status.store(kStatusNoSignal);
    }
    setChannelEventSink(nullptr);
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }

  static void setMotion(int channel, int enable, int seconds, int alarm, int mail) {
    std::lock_guard lock(settingsMutex());
    CameraSettings& camera = liveSettings().camera[static_cast<std::size_t>(channel)];
    camera.mrEnable = enable;
    camera.mrSecond = seconds;
    camera.mrAlarm = alarm;
    camera.mrMail = mail;
  }
  static FakeRecorder& recorderOf(int channel) {
    return fake(*channelRecord(channel).motionRecorder);
  }

  AlarmCounter alarms_;
};

TEST(MotionRecordingLength, OnlyTheListedLengthsAreKept) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {{10, 10}, {20, 20}, {30, 30},  {60, 60},
                                                         {45, 10}, {0, 10},  {-30, 10}, {3600, 10}};
  for (const auto& [stored, seconds] : cases)
    EXPECT_EQ(motionRecordingSeconds(stored), seconds) << stored;
}

// A stored 45 records for 10 seconds, as the settings page shows it. Motion reported while
// that recording runs neither lengthens nor restarts it; motion after it starts a second one,
// and the alarm sounds once at the start of each. Stopping the channel stops the recorder.
TEST_F(MotionThread, OneRecordingPerReportForItsLengthWithOneAlarmEach) {
  const int channel = kChannels[0];
  ChannelRecord& record = channelRecord(channel);
  FakeRecorder& recorder = recorderOf(channel);
  setMotion(channel, 1, 45, 1, 0);

  const auto begun = Clock::now();
  ASSERT_TRUE(startMotionThread(record));
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 20s));
  // The alarm follows the recorder's start on the motion thread.
  EXPECT_TRUE(testing::waitFor([&] { return alarms_.load() >= 1; }, 20s));
  EXPECT_EQ(alarms_.load(), 1);
  for (int report = 0; report < 3; ++report) EXPECT_FALSE(startMotionThread(record));

  ASSERT_TRUE(testing::waitFor([&] { return recorder.stops.load() == 1; }, 60s));
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  EXPECT_GE(seconds, 9.5);
  EXPECT_LT(seconds, 35.0);  // well short of 45
  EXPECT_EQ(recorder.starts.load(), 1);
  EXPECT_EQ(alarms_.load(), 1);
  ASSERT_TRUE(testing::waitFor([&] { return record.motionRunning.load() == 0; }, 20s));

  ASSERT_TRUE(startMotionThread(record));
  ASSERT_TRUE(testing::waitFor([&] { return recorder.starts.load() == 2; }, 20s));
  EXPECT_TRUE(testing::waitFor([&] { return alarms_.load() >= 2; }, 20s));
  EXPECT_EQ(alarms_.load(), 2);
  EXPECT_TRUE(record.threads.motion.stop());
  EXPECT_FALSE(recorder.recording());
  EXPECT_EQ(recorder.stops.load(), 2);
  EXPECT_EQ(record.motionRunning.load(), 0);
}

TEST_F(MotionThread, NothingHappensWhileMotionRecordingIsOff) {
  const int channel = kChannels[0];
  setMotion(channel, 0, 10, 1, 1);
  EXPECT_FALSE(startMotionThread(channelRecord(channel)));
  EXPECT_EQ(channelRecord(channel).motionRunning.load(), 0);
  EXPECT_EQ(recorderOf(channel).attempts.load(), 0);
  EXPECT_EQ(alarms_.load(), 0);
}

// Whatever kept the recorder from starting, the thread gives up at its end time, so that the
// next report of motion can start a new one; a refused start is tried again on every pass.
TEST_F(MotionThread, RecorderThatNeverStartsEndsTheThreadAtItsEndTime) {
  recorderOf(kChannels[0]).refuse.store(true);
  channelRecord(kChannels[1]).status.store(kStatusDisconnected);
  channelRecord(kChannels[2]).pictureWidth.store(0);
  for (const int channel : kChannels) {
    setMotion(channel, 1, 10, 1, 0);
    ASSERT_TRUE(startMotionThread(channelRecord(channel))) << channel;
  }
  for (const int channel : kChannels) {
    EXPECT_TRUE(
        testing::waitFor([&] { return channelRecord(channel).motionRunning.load() == 0; }, 60s))
        << channel;
  }
  EXPECT_GE(recorderOf(kChannels[0]).attempts.load(), 3);
  for (const int channel : kChannels) EXPECT_EQ(recorderOf(channel).starts.load(), 0) << channel;
  EXPECT_EQ(recorderOf(kChannels[1]).attempts.load(), 0);
  EXPECT_EQ(recorderOf(kChannels[2]).attempts.load(), 0);
  EXPECT_EQ(alarms_.load(), 0);
  EXPECT_TRUE(startMotionThread(channelRecord(kChannels[0])));
}

// A recording whose file name is not known yet still mails, naming the data directory.
TEST_F(MotionThread, MailForARecordingWithoutAFileName) {
  testing::SmtpDialog smtp;
  testing::ScriptedMailServer server([&smtp](testing::MailSession& s) { smtp.play(s); });
  const int channel = kChannels[0];
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().recipient[0] = "guard@site.test";
    liveSettings().sender = "viewer@site.test";
    liveSettings().smtpServer = "127.0.0.1";
    liveSettings().smtpPort = server.port();
  }
  setMotion(channel, 1, 10, 0, 1);
  ASSERT_TRUE(startMotionThread(channelRecord(channel)));
  ASSERT_TRUE(testing::waitFor([&] { return !smtp.body().empty(); }, 30s));
  EXPECT_NE(smtp.body().find("Please look your Tarsil Utility. Motion Record File Name is Data "
                             "Directory. (set with the utility)"),
            std::string::npos)
      << smtp.body();
  EXPECT_TRUE(channelRecord(channel).threads.motion.stop());
  EXPECT_EQ(server.sessions(), 1);
  EXPECT_EQ(alarms_.load(), 0);
}

}  // namespace
}  // namespace ipcam
