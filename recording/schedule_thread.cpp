#include "recording/schedule_thread.h"

#include <chrono>
#include <memory>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "platform/run_wait.h"
#include "recording/channel_recorder.h"

namespace ipcam {
namespace {

constexpr std::uint64_t kBytesPerFileSizeUnit = 1000000;
constexpr auto kCycleWait = std::chrono::milliseconds(1000);
constexpr auto kPictureWait = std::chrono::milliseconds(1);

bool sameDate(const LocalTime& a, const LocalTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

// The channel's real recorder behind the runner's interface.
class ChannelScheduleRecorder final : public ScheduleRecorderControl {
 public:
  explicit ChannelScheduleRecorder(ChannelRecorder& recorder) : recorder_(recorder) {}
  bool recording() const override { return recorder_.recording(); }
  int start() override { return recorder_.startRecording(); }
  void stop() override { recorder_.stopRecording(); }
  std::uint64_t writtenBytes() const override { return recorder_.writtenBytes(); }
  void setSplitting(bool splitting) override { recorder_.setSplitting(splitting); }

 private:
  ChannelRecorder& recorder_;
};

std::uint64_t splitBytes() {
  std::lock_guard lock(settingsMutex());
  // A size of 0 or less from a damaged settings file would split every second into empty
  // files; the page's own default stands in for it.
  std::int32_t fileSize = liveSettings().fileSize;
  if (fileSize <= 0) fileSize = ViewerSettings{}.fileSize;
  return static_cast<std::uint64_t>(fileSize) * kBytesPerFileSizeUnit;
}

}  // namespace

void runScheduleThread(ChannelRecord& record, ScheduleRecorderControl& recorder,
                       const platform::ThreadRun& run) {
  ScheduleRunner runner(record.channel, liveSettings().schedule, settingsMutex(), recorder,
                        record.scheduleKind);
  while (run.running()) {
    const bool pictureKnown = record.pictureWidth.load() != 0 && record.pictureHeight.load() != 0;
    const ScheduleRunner::Outcome outcome =
        runner.cycle(record.status.load(), pictureKnown, localTimeNow(), splitBytes());
    // Saved here, with no lock held: the file write may take a while.
    if (outcome.saveSettings) saveSettings(liveSettings());
    platform::sleepWhileRunning(run.flag(), outcome.waitingForPicture ? kPictureWait : kCycleWait);
  }
  if (runner.finish(localTimeNow())) saveSettings(liveSettings());
}

ScheduleRunner::ScheduleRunner(int channel, ScheduleTable& table, std::mutex& tableMutex,
                               ScheduleRecorderControl& recorder,
                               std::atomic<std::int32_t>& scheduleKind)
    : channel_(channel),
      table_(table),
      tableMutex_(tableMutex),
      recorder_(recorder),
      scheduleKind_(scheduleKind) {
  // A split left by an earlier thread must not keep the first file's log lines quiet.
  recorder_.setSplitting(false);
}

ScheduleRunner::Outcome ScheduleRunner::cycle(std::int32_t status, bool pictureKnown,
                                              const LocalTime& now, std::uint64_t splitBytes) {
  Outcome outcome;
  if (!pictureKnown) {
    outcome.waitingForPicture = true;
    return outcome;
  }
  if (status != kStatusLive && status != kStatusRecording) return outcome;

  ScheduleTable snapshot;
  {
    std::lock_guard lock(tableMutex_);
    snapshot = table_;
  }
  // The file was closed under the runner (a failed write ends it): the entry is picked up
  // again below while it still matches.
  if (entryIndex_ >= 0 && !recorder_.recording()) stopRecording(false, false);
  // A schedule recording no entry of this runner drives (left by an earlier thread) would
  // never be stopped.
  if (entryIndex_ < 0 && recorder_.recording()) recorder_.stop();

  if (!recorder_.recording()) startMatching(snapshot, now);
  if (entryIndex_ < 0 || !recorder_.recording()) return outcome;

  if (!sameSchedule(snapshot[static_cast<std::size_t>(entryIndex_)], entry_)) {
    // Deleted or replaced while it recorded.
    stopRecording(false, false);
  } else if (entryEnded(now)) {
    outcome.saveSettings = stopRecording(false, entry_.mode == kScheduleOneTime);
  } else if (recorder_.writtenBytes() >= splitBytes) {
    stopRecording(true, false);
  }
  return outcome;
}

bool ScheduleRunner::finish(const LocalTime& now) {
  if (!recorder_.recording()) {
    if (entryIndex_ >= 0) stopRecording(false, false);
    return false;
  }
  if (entryIndex_ < 0) {
    recorder_.stop();
    scheduleKind_.store(0);
    return false;
  }
  const bool ended = entry_.mode == kScheduleOneTime && scheduleEndReached(entry_, now);
  return stopRecording(false, ended);
}

void ScheduleRunner::startMatching(const ScheduleTable& snapshot, const LocalTime& now) {
  for (int i = 0; i < kScheduleCount; ++i) {
    const ScheduleEntry& e = snapshot[static_cast<std::size_t>(i)];
    if (!scheduleMatches(e, channel_, now)) continue;
    if (recorder_.start() != 0) return;  // tried again next cycle while the entry matches
    recorder_.setSplitting(false);
    entryIndex_ = i;
    entry_ = e;
    startedAt_ = now;
    scheduleKind_.store(e.mode);
    std::lock_guard lock(tableMutex_);
    ScheduleEntry& slot = table_[static_cast<std::size_t>(i)];
    if (sameSchedule(slot, entry_)) slot.active = 1;
    return;
  }
  // A split that found no entry to continue: the next start is a new recording again.
  recorder_.setSplitting(false);
}

bool ScheduleRunner::stopRecording(bool splitting, bool freeEntry) {
  if (splitting) recorder_.setSplitting(true);
  recorder_.stop();
  scheduleKind_.store(0);
  bool freed = false;
  {
    std::lock_guard lock(tableMutex_);
    ScheduleEntry& slot = table_[static_cast<std::size_t>(entryIndex_)];
    if (sameSchedule(slot, entry_)) {
      slot.active = 0;
      if (freeEntry) {
        freeScheduleEntry(slot);
        freed = true;
      }
    } else if (slot.channel == -1 && isEmptySchedule(slot)) {
      // Deleted while it recorded; a slot that took another entry keeps its flag.
      slot.active = 0;
    }
  }
  entryIndex_ = -1;
  return freed;
}

bool ScheduleRunner::entryEnded(const LocalTime& now) const {
  if (scheduleEndReached(entry_, now)) return true;
  return entry_.mode == kScheduleWeekly && !sameDate(now, startedAt_);
}

bool startScheduleThread(ChannelRecord& record) {
  if (appState().shuttingDown.load()) return false;
  // Shared ownership: an abandoned thread keeps its recorder alive; the record lives until
  // process exit.
  std::shared_ptr<FrameSink> sink = record.scheduleRecorder;
  if (asRecorder(sink) == nullptr) return false;
  return record.threads.schedule.start(
      record.scheduleRunning, [&record, sink = std::move(sink)](const platform::ThreadRun& run) {
        ChannelScheduleRecorder recorder(*asRecorder(sink));
        runScheduleThread(record, recorder, run);
      });
}

}  // namespace ipcam
