#include "recording/schedule.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "core/recording_wake.h"

namespace ipcam {
namespace {

namespace chr = std::chrono;

constexpr std::array<std::string_view, 7> kDayNames = {"Sun ", "Mon ", "Tue ", "Wed ",
                                                       "Thu ", "Fri ", "Sat "};
constexpr int kMinYear = 1;
constexpr int kMaxYear = 9999;
constexpr TimeOfDay kLastSecondOfDay{23, 59, 59};
constexpr int kSecondsPerHour = 3600;

bool validTime(int hour, int minute, int second) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

bool validDate(int year, int month, int day) {
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1) return false;
  return chr::year_month_day(chr::year(year), chr::month(static_cast<unsigned>(month)),
                             chr::day(static_cast<unsigned>(day)))
      .ok();
}

// A date-time as one number that orders like the date-time itself; only for valid values.
using DateTimeKey = std::int64_t;

DateTimeKey keyOf(int year, int month, int day, int hour, int minute, int second) {
  return ((((static_cast<DateTimeKey>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 +
          minute) *
             100 +
         second;
}

DateTimeKey keyOf(const LocalTime& t) {
  return keyOf(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

bool validDateTime(const LocalTime& t) {
  return validDate(t.year, t.month, t.day) && validTime(t.hour, t.minute, t.second);
}

std::optional<DateTimeKey> beginKey(const ScheduleEntry& e) {
  if (!validDate(e.beginYear, e.beginMonth, e.beginDay) ||
      !validTime(e.beginHour, e.beginMinute, e.beginSecond)) {
    return std::nullopt;
  }
  return keyOf(e.beginYear, e.beginMonth, e.beginDay, e.beginHour, e.beginMinute, e.beginSecond);
}

std::optional<DateTimeKey> endKey(const ScheduleEntry& e) {
  if (!validDate(e.endYear, e.endMonth, e.endDay) ||
      !validTime(e.endHour, e.endMinute, e.endSecond)) {
    return std::nullopt;
  }
  return keyOf(e.endYear, e.endMonth, e.endDay, e.endHour, e.endMinute, e.endSecond);
}

std::optional<TimeOfDay> beginTime(const ScheduleEntry& e) {
  if (!validTime(e.beginHour, e.beginMinute, e.beginSecond)) return std::nullopt;
  return TimeOfDay{e.beginHour, e.beginMinute, e.beginSecond};
}

std::optional<TimeOfDay> endTime(const ScheduleEntry& e) {
  if (!validTime(e.endHour, e.endMinute, e.endSecond)) return std::nullopt;
  return TimeOfDay{e.endHour, e.endMinute, e.endSecond};
}

TimeOfDay timeOfDay(const LocalTime& t) {
  return {t.hour, t.minute, t.second};
}

bool validIndex(int index) {
  return index >= 0 && index < kScheduleCount;
}

bool sameRange(const ScheduleEntry& e, const OneTimeRange& range) {
  return beginKey(e) == keyOf(range.from) && endKey(e) == keyOf(range.to);
}

// Closed ranges that share at least one instant; both ends count.
template <class T>
bool rangesMeet(const T& begin, const T& end, const T& from, const T& to) {
  return from <= end && to >= begin;
}

// The first empty entry, or -1.
int firstEmpty(const ScheduleTable& table) {
  for (int i = 0; i < kScheduleCount; ++i) {
    if (isEmptySchedule(table[static_cast<std::size_t>(i)])) return i;
  }
  return -1;
}

ScheduleAnswer refuse(std::string_view section, std::string_view message) {
  return ScheduleAnswer{section, message, -1};
}

}  // namespace

LocalTime localTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     parts.tm_wday};
}

LocalTime makeLocalTime(int year, int month, int day, int hour, int minute, int second) {
  LocalTime time{year, month, day, hour, minute, second, 0};
  if (validDate(year, month, day)) {
    const chr::sys_days days =
        chr::year_month_day(chr::year(year), chr::month(static_cast<unsigned>(month)),
                            chr::day(static_cast<unsigned>(day)));
    time.weekday = static_cast<int>(chr::weekday(days).c_encoding());
  }
  return time;
}

LocalTime addSeconds(const LocalTime& time, long long seconds) {
  const chr::sys_days date =
      chr::year_month_day(chr::year(time.year), chr::month(static_cast<unsigned>(time.month)),
                          chr::day(static_cast<unsigned>(time.day)));
  const chr::sys_seconds moved = date + chr::hours(time.hour) + chr::minutes(time.minute) +
                                 chr::seconds(time.second) + chr::seconds(seconds);
  const chr::sys_days movedDate = chr::floor<chr::days>(moved);
  const chr::year_month_day ymd(movedDate);
  const chr::hh_mm_ss clock(moved - movedDate);
  return makeLocalTime(
      static_cast<int>(ymd.year()), static_cast<int>(unsigned(ymd.month())),
      static_cast<int>(unsigned(ymd.day())), static_cast<int>(clock.hours().count()),
      static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
}

bool isEmptySchedule(const ScheduleEntry& e) {
  return e.mode == kScheduleEmpty && e.beginYear == 0 && e.beginMonth == 0 && e.beginDay == 0 &&
         e.beginHour == 0 && e.beginMinute == 0 && e.beginSecond == 0 && e.endYear == 0 &&
         e.endMonth == 0 && e.endDay == 0 && e.endHour == 0 && e.endMinute == 0 && e.endSecond == 0;
}

bool sameSchedule(const ScheduleEntry& a, const ScheduleEntry& b) {
  ScheduleEntry left = a;
  ScheduleEntry right = b;
  left.active = right.active = 0;
  return left == right;
}

std::string scheduleLineText(const ScheduleEntry& e) {
  // Room for two full date-times even with absurd stored numbers.
  char line[160];
  if (e.mode == kScheduleOneTime) {
    std::snprintf(line, sizeof line,
                  "%02d/%02d/%02d %02d:%02d:%02d - %02d/%02d/%02d %02d:%02d:%02d", e.beginYear,
                  e.beginMonth, e.beginDay, e.beginHour, e.beginMinute, e.beginSecond, e.endYear,
                  e.endMonth, e.endDay, e.endHour, e.endMinute, e.endSecond);
    return line;
  }
  std::string days = " ";
  for (int bit = 0; bit < 7; ++bit) {
    if ((e.daysOfWeek & (1 << bit)) != 0) days += kDayNames[static_cast<std::size_t>(bit)];
  }
  std::snprintf(line, sizeof line, "[%s] %02d:%02d:%02d - %02d:%02d:%02d", days.c_str(),
                e.beginHour, e.beginMinute, e.beginSecond, e.endHour, e.endMinute, e.endSecond);
  return line;
}

std::vector<std::string> scheduleLines(const ScheduleTable& table, int channel, int mode) {
  std::vector<std::string> lines;
  for (const ScheduleEntry& e : table) {
    if (e.channel == channel && e.mode == mode) lines.push_back(scheduleLineText(e));
  }
  return lines;
}

int findScheduleEntry(const ScheduleTable& table, int channel, int mode, std::string_view line) {
  for (int i = 0; i < kScheduleCount; ++i) {
    const ScheduleEntry& e = table[static_cast<std::size_t>(i)];
    if (e.channel == channel && e.mode == mode && scheduleLineText(e) == line) return i;
  }
  return -1;
}

OneTimeRange newOneTimeRange(const LocalTime& now) {
  return OneTimeRange{now, addSeconds(now, kSecondsPerHour)};
}

WeeklyForm newWeeklyForm(const LocalTime& now) {
  WeeklyForm form;
  form.dayMask = 1 << now.weekday;
  form.from = timeOfDay(now);
  form.to = now.hour == 23 ? kLastSecondOfDay : TimeOfDay{now.hour + 1, now.minute, now.second};
  return form;
}

WeeklyForm allTimeRecordForm() {
  return WeeklyForm{kScheduleAllDays, TimeOfDay{0, 0, 0}, kLastSecondOfDay};
}

OneTimeRange oneTimeRangeOf(const ScheduleEntry& e) {
  return OneTimeRange{
      makeLocalTime(e.beginYear, e.beginMonth, e.beginDay, e.beginHour, e.beginMinute,
                    e.beginSecond),
      makeLocalTime(e.endYear, e.endMonth, e.endDay, e.endHour, e.endMinute, e.endSecond)};
}

WeeklyForm weeklyFormOf(const ScheduleEntry& e) {
  return WeeklyForm{e.daysOfWeek & kScheduleAllDays,
                    TimeOfDay{e.beginHour, e.beginMinute, e.beginSecond},
                    TimeOfDay{e.endHour, e.endMinute, e.endSecond}};
}

// Every entry of the channel is examined for a conflict before a slot is taken: a free slot
// can lie before an entry that the new range overlaps, and the first empty slot must not end
// the search for conflicts.
ScheduleAnswer addOneTimeSchedule(ScheduleTable& table, int channel, const OneTimeRange& range,
                                  const std::optional<OneTimeRange>& editing) {
  if (!validDateTime(range.from) || !validDateTime(range.to) ||
      keyOf(range.to) <= keyOf(range.from)) {
    return refuse(kOneTimeSection, kToTimeShouldAfterFrom);
  }
  const DateTimeKey from = keyOf(range.from);
  const DateTimeKey to = keyOf(range.to);
  for (const ScheduleEntry& e : table) {
    if (e.channel != channel || e.mode != kScheduleOneTime) continue;
    if (editing && sameRange(e, *editing)) continue;
    const auto begin = beginKey(e);
    const auto end = endKey(e);
    if (begin && end && rangesMeet(*begin, *end, from, to)) {
      return refuse(kOneTimeSection, kScheduleOverlap);
    }
  }
  const int slot = firstEmpty(table);
  if (slot < 0) return refuse(kOneTimeSection, kScheduleOverlap);
  ScheduleEntry& e = table[static_cast<std::size_t>(slot)];
  const std::int32_t active = e.active;
  e = ScheduleEntry{channel,
                    kScheduleOneTime,
                    0,
                    0,
                    range.from.year,
                    range.from.month,
                    range.from.day,
                    range.from.hour,
                    range.from.minute,
                    range.from.second,
                    range.to.year,
                    range.to.month,
                    range.to.day,
                    range.to.hour,
                    range.to.minute,
                    range.to.second,
                    active};
  return ScheduleAnswer{{}, {}, slot};
}

ScheduleAnswer addWeeklySchedule(ScheduleTable& table, int channel, const WeeklyForm& form,
                                 const std::optional<WeeklyForm>& editing) {
  const int mask = form.dayMask & kScheduleAllDays;
  if (mask == 0) return refuse(kWeeklySection, kSelectDay);
  // The weekly dialog borrows this text from the one-time dialog's section.
  if (!validTime(form.from.hour, form.from.minute, form.from.second) ||
      !validTime(form.to.hour, form.to.minute, form.to.second) || form.to <= form.from) {
    return refuse(kOneTimeSection, kToTimeShouldAfterFrom);
  }
  for (const ScheduleEntry& e : table) {
    if (e.channel != channel || e.mode != kScheduleWeekly) continue;
    if ((e.daysOfWeek & mask) == 0) continue;
    const auto begin = beginTime(e);
    const auto end = endTime(e);
    if (!begin || !end) continue;
    if (editing && *begin == editing->from && *end == editing->to) continue;
    if (rangesMeet(*begin, *end, form.from, form.to)) {
      return refuse(kWeeklySection, kScheduleOverlap);
    }
  }
  const int slot = firstEmpty(table);
  if (slot < 0) return refuse(kWeeklySection, kScheduleOverlap);
  ScheduleEntry& e = table[static_cast<std::size_t>(slot)];
  const std::int32_t active = e.active;
  e = ScheduleEntry{};
  e.channel = channel;
  e.mode = kScheduleWeekly;
  e.daysOfWeek = mask;
  e.beginHour = form.from.hour;
  e.beginMinute = form.from.minute;
  e.beginSecond = form.from.second;
  e.endHour = form.to.hour;
  e.endMinute = form.to.minute;
  e.endSecond = form.to.second;
  e.active = active;
  return ScheduleAnswer{{}, {}, slot};
}

ScheduleAnswer editOneTimeSchedule(ScheduleTable& table, int index, const OneTimeRange& range) {
  if (!validIndex(index)) return refuse(kOneTimeSection, kScheduleOverlap);
  const ScheduleEntry edited = table[static_cast<std::size_t>(index)];
  const ScheduleAnswer answer =
      addOneTimeSchedule(table, edited.channel, range, oneTimeRangeOf(edited));
  if (answer.accepted()) deleteSchedule(table, index);
  return answer;
}

ScheduleAnswer editWeeklySchedule(ScheduleTable& table, int index, const WeeklyForm& form) {
  if (!validIndex(index)) return refuse(kWeeklySection, kScheduleOverlap);
  const ScheduleEntry edited = table[static_cast<std::size_t>(index)];
  const ScheduleAnswer answer =
      addWeeklySchedule(table, edited.channel, form, weeklyFormOf(edited));
  if (answer.accepted()) deleteSchedule(table, index);
  return answer;
}

void deleteSchedule(ScheduleTable& table, int index) {
  if (validIndex(index)) freeScheduleEntry(table[static_cast<std::size_t>(index)]);
}

void purgeExpiredSchedules(ScheduleTable& table, const LocalTime& now) {
  const DateTimeKey current = keyOf(now);
  for (ScheduleEntry& e : table) {
    if (e.mode != kScheduleOneTime) continue;
    const auto begin = beginKey(e);
    const auto end = endKey(e);
    if (begin && end && current > *begin && current > *end) freeScheduleEntry(e);
  }
}

void applyScheduleTable(ScheduleTable& edit, ScheduleTable& live, const LocalTime& now) {
  purgeExpiredSchedules(edit, now);
  for (std::size_t i = 0; i < live.size(); ++i) {
    const std::int32_t active = live[i].active;
    live[i] = edit[i];
    live[i].active = active;
  }
}

void applyScheduleEdits(const LocalTime& now) {
  {
    std::lock_guard lock(settingsMutex());
    applyScheduleTable(editSettings().schedule, liveSettings().schedule, now);
  }
  // The schedule threads sleep until the next start or end of the old table.
  wakeRecordingThreads();
}

bool scheduleMatches(const ScheduleEntry& e, int channel, const LocalTime& now) {
  if (e.channel != channel || !validDateTime(now)) return false;
  if (e.mode == kScheduleOneTime) {
    const auto begin = beginKey(e);
    const auto end = endKey(e);
    const DateTimeKey current = keyOf(now);
    return begin && end && current >= *begin && current < *end;
  }
  if (e.mode == kScheduleWeekly) {
    if (now.weekday < 0 || now.weekday > 6 || (e.daysOfWeek & (1 << now.weekday)) == 0) {
      return false;
    }
    const auto begin = beginTime(e);
    const auto end = endTime(e);
    const TimeOfDay current = timeOfDay(now);
    return begin && end && current >= *begin && current < *end;
  }
  return false;
}

bool scheduleEndReached(const ScheduleEntry& e, const LocalTime& now) {
  if (e.mode == kScheduleOneTime) {
    const auto end = endKey(e);
    return end && keyOf(now) >= *end;
  }
  if (e.mode == kScheduleWeekly) {
    const auto end = endTime(e);
    return end && timeOfDay(now) >= *end;
  }
  return false;
}

}  // namespace ipcam
