#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/thread_slot.h"
#include "recording/schedule.h"

namespace ipcam {

struct ChannelRecord;

// What a schedule cycle needs of the channel's schedule recorder.
class ScheduleRecorderControl {
 public:
  virtual ~ScheduleRecorderControl() = default;
  virtual bool recording() const = 0;
  // 0 when a file was opened.
  virtual int start() = 0;
  virtual void stop() = 0;
  virtual std::uint64_t writtenBytes() const = 0;
  // Set just before a stop that only continues in a new file.
  virtual void setSplitting(bool splitting) = 0;
  // The size at which the file is split; a recorder that can tell when its file reaches it
  // wakes the recording threads then.
  virtual void watchSplit(std::uint64_t /*bytes*/) {}
};

// The timetable work of one channel's schedule thread, one cycle per wake-up (see
// scheduleSleep), with the clock, the table and the recorder handed in.
//
// A recording belongs to the entry that started it: the runner keeps that entry's slot and
// values, and stops when that entry ends, is deleted or is replaced; other entries of the
// channel never stop it. A weekly entry stops at the first cycle at or after its End, or on
// the first cycle of a later day (a cycle that missed 23:59:59 still closes the file at
// midnight). A one-time entry that has ended is freed in the table and the configuration must
// then be saved (the caller does that, with no lock held).
//
// The table is shared with the other channels' threads and the page's Apply: every read and
// write of it happens under `tableMutex`, and never while the recorder is started or stopped
// (a start may wait for a message box and takes the settings lock itself).
class ScheduleRunner {
 public:
  struct Outcome {
    bool waitingForPicture = false;  // no picture size yet: look again soon
    bool saveSettings = false;       // the table lost an ended one-time entry
  };

  // Clears the recorder's split flag: a thread starts afresh.
  ScheduleRunner(int channel, ScheduleTable& table, std::mutex& tableMutex,
                 ScheduleRecorderControl& recorder, std::atomic<std::int32_t>& scheduleKind);

  // One cycle. `status` is the channel's state (30 live, 35 recording); `splitBytes` the size
  // at which a file is closed to continue in a new one.
  Outcome cycle(std::int32_t status, bool pictureKnown, const LocalTime& now,
                std::uint64_t splitBytes);
  // The thread is ending: an ended one-time entry is freed (then true: save), and a running
  // schedule recording stops.
  bool finish(const LocalTime& now);

 private:
  void startMatching(const ScheduleTable& snapshot, const LocalTime& now);
  // Stops the recording, forgets its entry and clears the entry's active flag; with
  // `freeEntry` the entry is freed too, when it is still the one that recorded. True when it
  // was freed.
  bool stopRecording(bool splitting, bool freeEntry);
  bool entryEnded(const LocalTime& now) const;

  const int channel_;
  ScheduleTable& table_;  // guarded by tableMutex_
  std::mutex& tableMutex_;
  ScheduleRecorderControl& recorder_;        // has its own lock
  std::atomic<std::int32_t>& scheduleKind_;  // atomic: the channel's scheduleKind
  // The recording's entry: its slot, its values and the day it started. Only the runner's
  // thread touches these.
  int entryIndex_ = -1;
  ScheduleEntry entry_;
  LocalTime startedAt_;
};

// How long a schedule thread may sleep after a cycle at `now` before the table can tell it
// something new: to the first second of the coming minute at which an entry of `channel`
// starts or ends or the date changes (a weekly recording ends at midnight), else a minute, so
// that a clock set forward or back (daylight saving, the user) is noticed within a minute.
// Nothing (no time limit) when the table holds no entry of the channel and it does not record:
// only a new table can change that.
std::optional<std::chrono::seconds> scheduleSleep(const ScheduleTable& table, int channel,
                                                  const LocalTime& now, bool recording);

// The channel's schedule thread, started when its stream begins: it raises scheduleRunning in
// the channel's slot and returns whether a thread now runs.
bool startScheduleThread(ChannelRecord& record);
// The thread's body over any recorder: a cycle on the live table and the local clock at every
// wake-up while `run` lasts, then the end rule. Between cycles it sleeps for scheduleSleep, a
// second while a start failed, or as PictureSizeWait says before the picture size is known;
// the recording threads' wake (a new table, a first picture, a file reaching "FileSize" or
// ending by itself) and the stop end the sleep early. The configuration is saved when a
// one-time entry ends.
void runScheduleThread(ChannelRecord& record, ScheduleRecorderControl& recorder,
                       const platform::ThreadRun& run);

}  // namespace ipcam
