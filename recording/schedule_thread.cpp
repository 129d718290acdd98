#include "recording/schedule_thread.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/recording_wake.h"
#include "recording/channel_recorder.h"

namespace ipcam {
namespace {

constexpr std::uint64_t kBytesPerFileSizeUnit = 1000000;
// The furthest a schedule thread plans ahead; also how soon a clock jump is noticed.
constexpr int kLookAheadSeconds = 60;
// How soon a cycle that could not do its work (a start failed, the camera is not live) is
// tried again.
constexpr auto kRetry = std::chrono::milliseconds(1000);
// Waking a little after a second begins keeps a cycle from reading the second before it.
constexpr auto kPastTheSecond = std::chrono::milliseconds(20);

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
  void watchSplit(std::uint64_t bytes) override { recorder_.watchSplit(bytes); }

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

ScheduleTable liveTable() {
  std::lock_guard lock(settingsMutex());
  return liveSettings().schedule;
}

bool anyEntryMatches(const ScheduleTable& table, int channel, const LocalTime& now) {
  for (const ScheduleEntry& entry : table) {
    if (scheduleMatches(entry, channel, now)) return true;
  }
  return false;
}

// What a cycle at `time` decides from, for the entries of one channel: each entry's match and
// end, and the date. The next wake-up is where it changes.
std::vector<bool> cycleInputs(const ScheduleTable& table, int channel, const LocalTime& time) {
  std::vector<bool> inputs;
  for (const ScheduleEntry& entry : table) {
    if (entry.channel != channel) continue;
    inputs.push_back(scheduleMatches(entry, channel, time));
    inputs.push_back(scheduleEndReached(entry, time));
  }
  return inputs;
}

// A cycle's moment on both clocks, taken just before its local time.
struct CycleMoment {
  RecordingWake::Clock::time_point steady = RecordingWake::Clock::now();
  std::chrono::system_clock::time_point wall = std::chrono::system_clock::now();
};

// The steady-clock time at which the wall clock has moved on `seconds` whole seconds from the
// cycle's second.
RecordingWake::Clock::time_point wakeTime(const CycleMoment& moment, std::chrono::seconds seconds) {
  const auto intoSecond = moment.wall.time_since_epoch() % std::chrono::seconds(1);
  return moment.steady + seconds - intoSecond + kPastTheSecond;
}

}  // namespace

std::optional<std::chrono::seconds> scheduleSleep(const ScheduleTable& table, int channel,
                                                  const LocalTime& now, bool recording) {
  const std::vector<bool> current = cycleInputs(table, channel, now);
  if (current.empty() && !recording) return std::nullopt;
  for (int ahead = 1; ahead < kLookAheadSeconds; ++ahead) {
    const LocalTime later = addSeconds(now, ahead);
    if (!sameDate(later, now) || cycleInputs(table, channel, later) != current) {
      return std::chrono::seconds(ahead);
    }
  }
  return std::chrono::seconds(kLookAheadSeconds);
}

void runScheduleThread(ChannelRecord& record, ScheduleRecorderControl& recorder,
                       const platform::ThreadRun& run) {
  ScheduleRunner runner(record.channel, liveSettings().schedule, settingsMutex(), recorder,
                        record.scheduleKind);
  RecordingWake& wake = recordingWake();
  PictureSizeWait pictureWait;
  while (run.running()) {
    const std::uint64_t seen = wake.generation();
    const std::uint64_t split = splitBytes();
    recorder.watchSplit(split);
    const bool pictureKnown = record.pictureWidth.load() != 0 && record.pictureHeight.load() != 0;
    const CycleMoment moment;
    const LocalTime now = localTimeNow();
    const ScheduleRunner::Outcome outcome =
        runner.cycle(record.status.load(), pictureKnown, now, split);
    // Saved here, with no lock held: the file write may take a while.
    if (outcome.saveSettings) saveSettings(liveSettings());

    std::optional<RecordingWake::Clock::time_point> deadline;
    if (outcome.waitingForPicture) {
      deadline = pictureWait.nextLook(seen);
    } else {
      pictureWait.found();
      const ScheduleTable table = liveTable();
      const bool recording = recorder.recording();
      const std::optional<std::chrono::seconds> sleep =
          scheduleSleep(table, record.channel, now, recording);
      if (sleep) deadline = wakeTime(moment, *sleep);
      // An entry wants a file and there is none: a start failed, or the camera is not live.
      if (!recording && anyEntryMatches(table, record.channel, now)) {
        const auto retry = RecordingWake::Clock::now() + kRetry;
        deadline = deadline ? std::min(*deadline, retry) : retry;
      }
    }
    wake.wait(seen, run.stopToken(), deadline);
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
      record.scheduleRunning,
      [&record, sink = std::move(sink)](const platform::ThreadRun& run) {
        ChannelScheduleRecorder recorder(*asRecorder(sink));
        runScheduleThread(record, recorder, run);
      },
      "schedule " + std::to_string(record.channel + 1));
}

}  // namespace ipcam
