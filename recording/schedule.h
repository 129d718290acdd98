#pragma once

#include <array>
#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/viewer_settings.h"

namespace ipcam {

// The rules of the 32-entry schedule table: the texts of the two schedule lists, the one-time
// and weekly dialogs' defaults and OK checks, delete, purge and the Apply copy into the live
// table, and the match the schedule threads make against the clock. The dialogs call these on
// the editing copy; the clock is always handed in, so that every rule can be tried at any time.

inline constexpr int kScheduleEmpty = 0;
inline constexpr int kScheduleOneTime = 1;
inline constexpr int kScheduleWeekly = 2;
// dayMask: bit 0 Sunday ... bit 6 Saturday; higher bits name no day.
inline constexpr int kScheduleAllDays = 0x7F;

using ScheduleTable = std::array<ScheduleEntry, kScheduleCount>;

// A wall-clock time to the second. `weekday` is 0 for Sunday ... 6 for Saturday; it is only
// read from "now" (the weekly match), never from entry values.
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;
};

// The system's local time now.
LocalTime localTimeNow();
// A wall-clock date and time with its weekday filled in.
LocalTime makeLocalTime(int year, int month, int day, int hour, int minute, int second);
// `time` moved by `seconds` on the wall clock, carrying into the date.
LocalTime addSeconds(const LocalTime& time, long long seconds);

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  auto operator<=>(const TimeOfDay&) const = default;
};

// What the one-time dialog shows and returns: From and To, each a date and a time.
struct OneTimeRange {
  LocalTime from;
  LocalTime to;
};

// What the weekly dialog shows and returns.
struct WeeklyForm {
  int dayMask = 0;
  TimeOfDay from;
  TimeOfDay to;
};

// An answer of a dialog's OK: a refusal (language section and message key) or the index of the
// entry that took the new schedule.
struct ScheduleAnswer {
  std::string_view section;
  std::string_view message;  // empty when accepted
  int index = -1;
  bool accepted() const { return message.empty(); }
};

inline constexpr std::string_view kOneTimeSection = "AdvanceConfigRecordOneTime";
inline constexpr std::string_view kWeeklySection = "AdvanceConfigRecordWeekly";
inline constexpr std::string_view kToTimeShouldAfterFrom = "Message_ToTimeShouldAfterFrom";
inline constexpr std::string_view kScheduleOverlap = "Message_ScheduleOverlap";
inline constexpr std::string_view kSelectDay = "Message_SelectDay";

// Mode 0 and every date and time field 0 (the channel may be anything).
bool isEmptySchedule(const ScheduleEntry& entry);
// The entry's stored fields, `active` left out: what identifies the schedule itself.
bool sameSchedule(const ScheduleEntry& a, const ScheduleEntry& b);

// The list line of an entry: "2014/05/06 08:00:00 - 2014/05/06 09:30:00" for a one-time entry,
// "[ Mon Wed Fri ] 08:00:00 - 17:00:00" for a weekly one.
std::string scheduleLineText(const ScheduleEntry& entry);
// The lines of one list of the page: the entries of `channel` with `mode`, in table order.
std::vector<std::string> scheduleLines(const ScheduleTable& table, int channel, int mode);
// The entry behind a list line: the first of the channel and mode whose text equals it, or -1.
int findScheduleEntry(const ScheduleTable& table, int channel, int mode, std::string_view line);

// The dialogs' starting values: a new one-time entry runs from now for one hour; a new weekly
// entry is today from now for one hour (to 23:59:59 in the day's last hour); All Time Record
// is every day, all day.
OneTimeRange newOneTimeRange(const LocalTime& now);
WeeklyForm newWeeklyForm(const LocalTime& now);
WeeklyForm allTimeRecordForm();
OneTimeRange oneTimeRangeOf(const ScheduleEntry& entry);
WeeklyForm weeklyFormOf(const ScheduleEntry& entry);

// OK of the dialogs on `table`: the range is checked, then every entry of the channel for a
// conflict (ends count: a range that touches another conflicts), and the first empty entry
// takes the new schedule. `editing` is what an Edit dialog was opened with: entries with exactly
// those values are the one being edited and do not conflict. A full table is refused like an
// overlap.
ScheduleAnswer addOneTimeSchedule(ScheduleTable& table, int channel, const OneTimeRange& range,
                                  const std::optional<OneTimeRange>& editing = std::nullopt);
ScheduleAnswer addWeeklySchedule(ScheduleTable& table, int channel, const WeeklyForm& form,
                                 const std::optional<WeeklyForm>& editing = std::nullopt);
// Edit: the dialog's result is added as a new entry, then the edited entry is freed. So an edit
// needs a free entry just as New does.
ScheduleAnswer editOneTimeSchedule(ScheduleTable& table, int index, const OneTimeRange& range);
ScheduleAnswer editWeeklySchedule(ScheduleTable& table, int index, const WeeklyForm& form);
// Frees the entry in place; the others keep their places.
void deleteSchedule(ScheduleTable& table, int index);

// Frees every one-time entry whose Begin and End both lie before `now`.
void purgeExpiredSchedules(ScheduleTable& table, const LocalTime& now);
// Apply of the page: purges `edit`, then copies every entry but its `active` flag into `live`;
// a live entry's flag says whether a schedule thread records for it and stays with the slot.
void applyScheduleTable(ScheduleTable& edit, ScheduleTable& live, const LocalTime& now);
// The same from the edit copy of the settings into the live settings, under the settings lock
// the schedule threads take too; the schedule threads then look at the new table.
void applyScheduleEdits(const LocalTime& now);

// The schedule threads' start test: the entry belongs to `channel` and `now` lies in its range
// (Begin inclusive, End exclusive; a weekly range on today's date and only on ticked days). An
// entry whose dates or times are no calendar values, or whose End is not after its Begin, never
// matches.
bool scheduleMatches(const ScheduleEntry& entry, int channel, const LocalTime& now);
// now >= the entry's End: the full date-time of a one-time entry, the time of day of a weekly
// one. False for values that are no calendar values.
bool scheduleEndReached(const ScheduleEntry& entry, const LocalTime& now);

}  // namespace ipcam
