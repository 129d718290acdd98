#include "recording/schedule_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/channel_record.h"
#include "platform/thread_slot.h"
#include "recording/schedule_entries.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

constexpr std::uint64_t kSplitBytes = 100000000;  // FileSize 100

using testing::at;
using testing::kMon;
using testing::kTue;
using testing::oneTime;
using testing::weekly;

// A recorder that only keeps count. Atomic throughout: the thread test reads it while the
// schedule thread drives it.
class FakeRecorder : public ScheduleRecorderControl {
 public:
  bool recording() const override { return recording_.load(); }
  int start() override {
    ++startCalls;
    if (failStarts.load()) return -2;
    startedWhileSplitting.push_back(splitting_.load());
    recording_.store(true);
    bytes.store(0);
    return 0;
  }
  void stop() override {
    if (recording_.exchange(false)) stoppedWhileSplitting.push_back(splitting_.load());
  }
  std::uint64_t writtenBytes() const override { return bytes.load(); }
  void setSplitting(bool splitting) override { splitting_.store(splitting); }
  // The thread tells the split size once per cycle: the number of cycles it ran.
  void watchSplit(std::uint64_t) override { ++cycles; }

  bool splitting() const { return splitting_.load(); }
  // What a failed write does: the recorder closes its file by itself.
  void closeByItself() { recording_.store(false); }

  std::atomic<int> startCalls{0};
  std::atomic<int> cycles{0};
  std::atomic<bool> failStarts{false};
  std::atomic<std::uint64_t> bytes{0};
  // Only the runner's thread writes these; the tests read them after the thread is gone.
  std::vector<bool> startedWhileSplitting;
  std::vector<bool> stoppedWhileSplitting;

 private:
  std::atomic<bool> recording_{false};
  std::atomic<bool> splitting_{true};  // as a recorder left by a split may be
};

class ScheduleRunnerTest : public ::testing::Test {
 protected:
  ScheduleRunner::Outcome cycle(const LocalTime& now, std::int32_t status = kStatusLive) {
    return runner_.cycle(status, true, now, kSplitBytes);
  }

  ScheduleTable table_;
  std::mutex mutex_;
  FakeRecorder recorder_;
  std::atomic<std::int32_t> kind_{0};
  ScheduleRunner runner_{0, table_, mutex_, recorder_, kind_};
};

TEST_F(ScheduleRunnerTest, StartsAndStopsOnTheClock) {
  struct Step {
    LocalTime now;
    bool recording;
  };
  struct Scenario {
    const char* name;
    std::vector<ScheduleEntry> entries;
    std::vector<Step> steps;
    int starts;
  };
  const ScheduleEntry allTime = weekly(0, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  // 5 May 2014 is a Monday.
  const Scenario scenarios[] = {
      {"All Time Record over midnight",
       {allTime},
       {{at(2014, 5, 5, 23, 59, 58), true},
        {at(2014, 5, 5, 23, 59, 59), false},
        {at(2014, 5, 6, 0, 0, 0), true}},
       2},
      {"a cycle that skips the End second still stops",
       {weekly(0, kMon, {8, 0, 0}, {9, 0, 0})},
       {{at(2014, 5, 5, 8, 59, 58), true},
        {at(2014, 5, 5, 9, 0, 1), false},
        {at(2014, 5, 5, 9, 0, 2), false}},
       1},
      {"a cycle that skips 23:59:59 still closes the day's file",
       {allTime},
       {{at(2014, 5, 5, 23, 59, 58), true},
        {at(2014, 5, 6, 0, 0, 0), false},
        {at(2014, 5, 6, 0, 0, 1), true}},
       2},
      {"an unticked next day does not go on",
       {weekly(0, kMon, {0, 0, 0}, {23, 59, 59})},
       {{at(2014, 5, 5, 23, 59, 58), true},
        {at(2014, 5, 6, 0, 0, 0), false},
        {at(2014, 5, 6, 0, 0, 1), false}},
       1},
      {"overlaps: the first in table order records, then the next",
       {weekly(0, kMon, {8, 0, 0}, {10, 0, 0}), weekly(0, kMon, {9, 0, 0}, {12, 0, 0})},
       {{at(2014, 5, 5, 9, 30, 0), true},
        {at(2014, 5, 5, 10, 0, 0), false},
        {at(2014, 5, 5, 10, 0, 1), true},
        {at(2014, 5, 5, 12, 0, 0), false}},
       2},
      {"other entries of the channel do not stop it",
       {weekly(0, kTue, {8, 0, 0}, {10, 0, 0}), weekly(0, kMon, {8, 0, 0}, {12, 0, 0}),
        oneTime(0, at(2014, 5, 4, 8, 0, 0), at(2014, 5, 4, 10, 0, 0))},
       {{at(2014, 5, 5, 9, 0, 0), true},
        {at(2014, 5, 5, 10, 0, 0), true},
        {at(2014, 5, 5, 12, 0, 0), false}},
       1},
      {"a one-time entry",
       {oneTime(0, at(2014, 5, 5, 10, 0, 0), at(2014, 5, 5, 10, 0, 2))},
       {{at(2014, 5, 5, 9, 59, 59), false},
        {at(2014, 5, 5, 10, 0, 0), true},
        {at(2014, 5, 5, 10, 0, 1), true},
        {at(2014, 5, 5, 10, 0, 2), false},
        {at(2014, 5, 5, 10, 0, 3), false}},
       1},
      {"another channel's entry",
       {weekly(1, kScheduleAllDays, {0, 0, 0}, {23, 59, 59})},
       {{at(2014, 5, 5, 12, 0, 0), false}},
       0},
  };
  for (const Scenario& s : scenarios) {
    ScheduleTable table;
    FakeRecorder recorder;
    std::atomic<std::int32_t> kind{0};
    ScheduleRunner runner(0, table, mutex_, recorder, kind);
    for (std::size_t i = 0; i < s.entries.size(); ++i) table[i] = s.entries[i];
    for (const Step& step : s.steps) {
      runner.cycle(kStatusLive, true, step.now, kSplitBytes);
      EXPECT_EQ(recorder.recording(), step.recording)
          << s.name << " at " << step.now.hour << ":" << step.now.minute << ":" << step.now.second;
      EXPECT_EQ(kind.load() != 0, step.recording) << s.name;
    }
    EXPECT_EQ(recorder.startCalls.load(), s.starts) << s.name;
  }
}

TEST_F(ScheduleRunnerTest, SizeLimitSplitsIntoANewFileQuietly) {
  table_[0] = weekly(0, kMon, {8, 0, 0}, {17, 0, 0});
  cycle(at(2014, 5, 5, 9, 0, 0));
  ASSERT_TRUE(recorder_.recording());
  EXPECT_FALSE(recorder_.splitting());

  recorder_.bytes.store(kSplitBytes - 1);
  cycle(at(2014, 5, 5, 9, 0, 1));
  EXPECT_TRUE(recorder_.recording());

  recorder_.bytes.store(kSplitBytes);
  cycle(at(2014, 5, 5, 9, 0, 2));
  EXPECT_FALSE(recorder_.recording());
  EXPECT_EQ(table_[0].active, 0);
  EXPECT_EQ(kind_.load(), 0);

  cycle(at(2014, 5, 5, 9, 0, 3));
  EXPECT_TRUE(recorder_.recording());
  EXPECT_EQ(table_[0].active, 1);
  // The split's stop and the start after it both ran with the split flag (no log lines); it
  // is cleared once the new file is open.
  EXPECT_EQ(recorder_.stoppedWhileSplitting, std::vector<bool>{true});
  EXPECT_EQ(recorder_.startedWhileSplitting, (std::vector<bool>{false, true}));
  EXPECT_FALSE(recorder_.splitting());
}

TEST_F(ScheduleRunnerTest, AnEndedOneTimeEntryIsDeletedAndSaved) {
  table_[4] = oneTime(0, at(2014, 5, 5, 10, 0, 0), at(2014, 5, 5, 11, 0, 0));
  EXPECT_FALSE(cycle(at(2014, 5, 5, 10, 0, 0)).saveSettings);
  EXPECT_EQ(kind_.load(), kScheduleOneTime);
  EXPECT_EQ(table_[4].active, 1);

  EXPECT_FALSE(cycle(at(2014, 5, 5, 10, 59, 59)).saveSettings);
  EXPECT_TRUE(cycle(at(2014, 5, 5, 11, 0, 0)).saveSettings);
  EXPECT_FALSE(recorder_.recording());
  EXPECT_EQ(table_[4], ScheduleEntry{});
  EXPECT_FALSE(cycle(at(2014, 5, 5, 11, 0, 1)).saveSettings);
}

// A deleted entry stops its own channel's recording, and only that one.
TEST_F(ScheduleRunnerTest, DeletingAnEntryStopsItsRecording) {
  FakeRecorder otherRecorder;
  std::atomic<std::int32_t> otherKind{0};
  ScheduleRunner other(1, table_, mutex_, otherRecorder, otherKind);
  table_[0] = weekly(1, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  table_[1] = weekly(0, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  const LocalTime now = at(2014, 5, 5, 12, 0, 0);
  cycle(now);
  other.cycle(kStatusRecording, true, now, kSplitBytes);
  ASSERT_TRUE(recorder_.recording());
  ASSERT_TRUE(otherRecorder.recording());

  {
    std::lock_guard lock(mutex_);
    freeScheduleEntry(table_[1]);
  }
  const LocalTime later = at(2014, 5, 5, 12, 0, 1);
  other.cycle(kStatusRecording, true, later, kSplitBytes);
  cycle(later);
  EXPECT_FALSE(recorder_.recording());
  EXPECT_EQ(kind_.load(), 0);
  EXPECT_EQ(table_[1].active, 0);
  EXPECT_TRUE(otherRecorder.recording());
  EXPECT_EQ(table_[0].active, 1);

  // An entry replaced in place (deleted, then a new one in its slot) is a deletion too.
  {
    std::lock_guard lock(mutex_);
    table_[0] = weekly(1, kScheduleAllDays, {0, 0, 0}, {22, 0, 0});
    table_[0].active = 1;
  }
  other.cycle(kStatusRecording, true, at(2014, 5, 5, 12, 0, 2), kSplitBytes);
  EXPECT_FALSE(otherRecorder.recording());
  other.cycle(kStatusRecording, true, at(2014, 5, 5, 12, 0, 3), kSplitBytes);
  EXPECT_TRUE(otherRecorder.recording());
}

TEST_F(ScheduleRunnerTest, NothingHappensUntilTheChannelIsLiveAndAStartMayFail) {
  table_[0] = weekly(0, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  const LocalTime now = at(2014, 5, 5, 12, 0, 0);
  EXPECT_TRUE(runner_.cycle(kStatusLive, false, now, kSplitBytes).waitingForPicture);
  cycle(now, kStatusDisconnected);
  EXPECT_EQ(recorder_.startCalls.load(), 0);

  recorder_.failStarts.store(true);
  cycle(now);
  EXPECT_FALSE(recorder_.recording());
  EXPECT_EQ(kind_.load(), 0);
  EXPECT_EQ(table_[0].active, 0);
  recorder_.failStarts.store(false);
  cycle(now);
  EXPECT_TRUE(recorder_.recording());
  EXPECT_EQ(recorder_.startCalls.load(), 2);

  // A file the recorder closed by itself (a failed write) is followed by a new one.
  recorder_.closeByItself();
  cycle(at(2014, 5, 5, 12, 0, 1));
  EXPECT_TRUE(recorder_.recording());
  EXPECT_EQ(recorder_.startCalls.load(), 3);
}

TEST_F(ScheduleRunnerTest, ThreadEndStopsAndDeletesOnlyAnEndedOneTimeEntry) {
  struct Case {
    LocalTime end;
    bool deleted;
  };
  for (const Case& c :
       {Case{at(2014, 5, 5, 11, 0, 0), true}, Case{at(2014, 5, 5, 13, 0, 0), false}}) {
    ScheduleTable table;
    FakeRecorder recorder;
    std::atomic<std::int32_t> kind{0};
    ScheduleRunner runner(0, table, mutex_, recorder, kind);
    table[2] = oneTime(0, at(2014, 5, 5, 10, 0, 0), c.end);
    runner.cycle(kStatusLive, true, at(2014, 5, 5, 10, 59, 59), kSplitBytes);
    ASSERT_TRUE(recorder.recording());

    EXPECT_EQ(runner.finish(at(2014, 5, 5, 11, 0, 0)), c.deleted);
    EXPECT_FALSE(recorder.recording());
    EXPECT_EQ(kind.load(), 0);
    EXPECT_EQ(table[2].channel, c.deleted ? -1 : 0);
    EXPECT_EQ(table[2].active, 0);
  }
}

TEST(ScheduleSleep, UntilTheNextStartOrEndOfTheChannelsEntriesAtMostAMinute) {
  struct Case {
    const char* name;
    std::vector<ScheduleEntry> entries;
    LocalTime now;
    bool recording;
    std::optional<std::chrono::seconds> sleep;
  };
  using std::chrono::seconds;
  const ScheduleEntry allTime = weekly(0, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  const Case cases[] = {
      {"empty table", {}, at(2014, 5, 5, 10, 0, 0), false, std::nullopt},
      {"only another channel's entries",
       {weekly(1, kScheduleAllDays, {0, 0, 0}, {23, 59, 59})},
       at(2014, 5, 5, 10, 0, 0),
       false,
       std::nullopt},
      {"a recording left without an entry is looked at again",
       {},
       at(2014, 5, 5, 10, 0, 0),
       true,
       seconds(60)},
      {"a one-time start",
       {oneTime(0, at(2014, 5, 5, 10, 0, 5), at(2014, 5, 5, 11, 0, 0))},
       at(2014, 5, 5, 10, 0, 0),
       false,
       seconds(5)},
      {"a weekly end",
       {weekly(0, kMon, {8, 0, 0}, {9, 0, 0})},
       at(2014, 5, 5, 8, 59, 30),
       true,
       seconds(30)},
      {"the nearest of several",
       {weekly(0, kMon, {8, 0, 0}, {9, 0, 0}),
        oneTime(0, at(2014, 5, 5, 8, 59, 50), at(2014, 5, 5, 9, 30, 0))},
       at(2014, 5, 5, 8, 59, 30),
       true,
       seconds(20)},
      {"All Time Record ends at 23:59:59",
       {allTime},
       at(2014, 5, 5, 23, 59, 30),
       true,
       seconds(29)},
      {"midnight ends a day's file",
       {oneTime(0, at(2014, 5, 5, 10, 0, 0), at(2014, 5, 7, 10, 0, 0))},
       at(2014, 5, 5, 23, 59, 50),
       true,
       seconds(10)},
      {"nothing within a minute", {allTime}, at(2014, 5, 5, 12, 0, 0), true, seconds(60)},
      {"an entry an hour ahead",
       {weekly(0, kMon, {13, 0, 0}, {14, 0, 0})},
       at(2014, 5, 5, 12, 0, 0),
       false,
       seconds(60)},
  };
  for (const Case& c : cases) {
    ScheduleTable table;
    for (std::size_t i = 0; i < c.entries.size(); ++i) table[i + 3] = c.entries[i];
    EXPECT_EQ(scheduleSleep(table, 0, c.now, c.recording), c.sleep) << c.name;
  }
}

// The real thread sleeps between the changes of its table instead of polling: an entry that
// starts a few seconds ahead and ends a few seconds later takes a cycle at the thread's start,
// one at the start and one at the end (a poll once a second would take about eight).
TEST(ScheduleThread, WakesAtTheStartAndEndOfAnEntryAndOnANewTable) {
  constexpr int kChannel = 13;
  const ViewerSettings saved = [] {
    std::lock_guard lock(settingsMutex());
    return liveSettings();
  }();
  const ScheduleTable savedEdits = [] {
    std::lock_guard lock(settingsMutex());
    return editSettings().schedule;
  }();
  platform::test_support::TempFolder folder;
  const LocalTime now = localTimeNow();
  {
    std::lock_guard lock(settingsMutex());
    ViewerSettings& live = liveSettings();
    live.settingsPath = (folder.path() / "avcln.ini").string();
    live.schedule = ScheduleTable{};
    live.schedule[5] = oneTime(kChannel, addSeconds(now, 3), addSeconds(now, 7));
  }
  ChannelRecord& record = channelRecord(kChannel);
  record.status.store(kStatusLive);
  record.pictureWidth.store(320);
  record.pictureHeight.store(240);
  FakeRecorder recorder;
  platform::ThreadSlot slot;
  ChannelRecord::RunFlag running{0};
  ASSERT_TRUE(slot.start(
      running, [&](const platform::ThreadRun& run) { runScheduleThread(record, recorder, run); }));
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, std::chrono::seconds(30)));
  ASSERT_TRUE(testing::waitFor([&] { return !recorder.recording(); }, std::chrono::seconds(30)));
  EXPECT_EQ(recorder.startCalls.load(), 1);
  // A day that turns meanwhile adds one.
  EXPECT_LE(recorder.cycles.load(), 4);

  // The table is empty now (the ended one-time entry was freed): the thread sleeps without a
  // time limit, and only the page's Apply of a new table wakes it.
  {
    std::lock_guard lock(settingsMutex());
    EXPECT_EQ(liveSettings().schedule[5].channel, -1);
    editSettings().schedule = ScheduleTable{};
    editSettings().schedule[7] =
        oneTime(kChannel, addSeconds(localTimeNow(), -60), addSeconds(localTimeNow(), 3600));
  }
  applyScheduleEdits(localTimeNow());
  EXPECT_TRUE(testing::waitFor([&] { return recorder.recording(); }, std::chrono::seconds(30)));
  EXPECT_EQ(recorder.startCalls.load(), 2);

  // Asleep for up to a minute: the stop wakes it at once and the recording ends.
  EXPECT_TRUE(slot.stop(std::chrono::seconds(30)));
  EXPECT_FALSE(recorder.recording());

  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = saved;
    editSettings().schedule = savedEdits;
  }
  record.status.store(kStatusNoSignal);
  record.pictureWidth.store(0);
  record.pictureHeight.store(0);
}

// The picture size comes with the first decoded picture, with no event of its own: a thread
// started at the first picture, before the size, still starts the file once it is there.
TEST(ScheduleThread, StartsOnceThePictureSizeComesWithoutBeingTold) {
  constexpr int kChannel = 12;
  const ViewerSettings saved = [] {
    std::lock_guard lock(settingsMutex());
    return liveSettings();
  }();
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().schedule = ScheduleTable{};
    liveSettings().schedule[0] = weekly(kChannel, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  }
  ChannelRecord& record = channelRecord(kChannel);
  record.status.store(kStatusLive);
  FakeRecorder recorder;
  platform::ThreadSlot slot;
  ChannelRecord::RunFlag running{0};
  ASSERT_TRUE(slot.start(
      running, [&](const platform::ThreadRun& run) { runScheduleThread(record, recorder, run); }));
  ASSERT_TRUE(testing::waitFor([&] { return recorder.cycles.load() >= 2; }));
  EXPECT_FALSE(recorder.recording());
  record.pictureWidth.store(320);
  record.pictureHeight.store(240);
  EXPECT_TRUE(testing::waitFor([&] { return recorder.recording(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(slot.stop(std::chrono::seconds(10)));
  EXPECT_FALSE(recorder.recording());

  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = saved;
  }
  record.status.store(kStatusNoSignal);
  record.pictureWidth.store(0);
  record.pictureHeight.store(0);
}

// The real thread on the live table, the system clock and the settings file, with a fake
// recorder: one entry ends while the thread runs and is deleted and saved; the other is still
// recording when the thread is stopped and is kept.
TEST(ScheduleThread, EndedEntriesAreSavedAndTheThreadEndStopsTheRecording) {
  constexpr int kEnding = 14;
  constexpr int kRunning = 15;
  platform::test_support::TempFolder folder;
  const ViewerSettings saved = [] {
    std::lock_guard lock(settingsMutex());
    return liveSettings();
  }();
  const LocalTime now = localTimeNow();
  {
    std::lock_guard lock(settingsMutex());
    ViewerSettings& live = liveSettings();
    live.settingsPath = (folder.path() / "avcln.ini").string();
    live.schedule = ScheduleTable{};
    live.schedule[3] = oneTime(kEnding, addSeconds(now, -3600), addSeconds(now, 2));
    live.schedule[9] = oneTime(kRunning, addSeconds(now, -3600), addSeconds(now, 3600));
  }
  ASSERT_TRUE(saveSettings(liveSettings()));

  struct Channel {
    explicit Channel(ChannelRecord& channelRecord) : record(channelRecord) {}
    ChannelRecord& record;
    FakeRecorder recorder;
    platform::ThreadSlot slot;
    ChannelRecord::RunFlag running{0};
  };
  Channel ending(channelRecord(kEnding));
  Channel running(channelRecord(kRunning));
  for (Channel* c : {&ending, &running}) {
    c->record.status.store(kStatusLive);
    c->record.pictureWidth.store(320);
    c->record.pictureHeight.store(240);
    ASSERT_TRUE(c->slot.start(c->running, [c](const platform::ThreadRun& run) {
      runScheduleThread(c->record, c->recorder, run);
    }));
  }
  EXPECT_TRUE(testing::waitFor([&] { return running.recorder.recording(); }));
  EXPECT_EQ(running.record.scheduleKind.load(), kScheduleOneTime);
  EXPECT_TRUE(testing::waitFor(
      [&] { return ending.recorder.startCalls.load() == 1 && !ending.recorder.recording(); }));
  ViewerSettings file;
  file.settingsPath = (folder.path() / "avcln.ini").string();
  EXPECT_TRUE(testing::waitFor([&] {
    loadSettings(file, nullptr);
    return file.schedule[3].channel == -1;
  }));
  EXPECT_EQ(file.schedule[9].channel, kRunning);

  for (Channel* c : {&ending, &running}) ASSERT_TRUE(c->slot.stop(std::chrono::seconds(10)));
  EXPECT_FALSE(running.recorder.recording());
  EXPECT_EQ(running.record.scheduleKind.load(), 0);
  {
    std::lock_guard lock(settingsMutex());
    ViewerSettings& live = liveSettings();
    EXPECT_EQ(live.schedule[3].channel, -1);
    EXPECT_EQ(live.schedule[9].channel, kRunning);  // not over yet: kept
    EXPECT_EQ(live.schedule[9].active, 0);
    live = saved;
  }
  for (Channel* c : {&ending, &running}) {
    c->record.status.store(kStatusNoSignal);
    c->record.pictureWidth.store(0);
    c->record.pictureHeight.store(0);
  }
}

}  // namespace
}  // namespace ipcam
