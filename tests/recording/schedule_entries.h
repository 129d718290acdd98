#pragma once

// Schedule entries for tests, made the way the dialogs make them.

#include "recording/schedule.h"

namespace ipcam::testing {

inline LocalTime at(int year, int month, int day, int hour, int minute, int second) {
  return makeLocalTime(year, month, day, hour, minute, second);
}

inline ScheduleEntry oneTime(int channel, const LocalTime& from, const LocalTime& to) {
  ScheduleTable table;
  addOneTimeSchedule(table, channel, {from, to});
  return table[0];
}

inline ScheduleEntry weekly(int channel, int dayMask, TimeOfDay from, TimeOfDay to) {
  ScheduleTable table;
  addWeeklySchedule(table, channel, {dayMask, from, to});
  return table[0];
}

inline constexpr int kSun = 1 << 0;
inline constexpr int kMon = 1 << 1;
inline constexpr int kTue = 1 << 2;
inline constexpr int kWed = 1 << 3;

}  // namespace ipcam::testing
