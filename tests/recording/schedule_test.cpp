#include "recording/schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording/schedule_entries.h"

namespace ipcam {
namespace {

using testing::at;
using testing::kMon;
using testing::kSun;
using testing::kTue;
using testing::kWed;
using testing::oneTime;
using testing::weekly;

constexpr int kFri = 1 << 5;

TEST(ScheduleLines, TextsAndTheEntryBehindALine) {
  ScheduleTable table;
  table[0] = oneTime(3, at(2014, 5, 6, 8, 0, 0), at(2014, 5, 6, 9, 30, 0));
  table[1] = weekly(1, kMon | kWed | kFri, {8, 0, 0}, {17, 0, 0});
  table[4] = weekly(3, kMon | kWed | kFri, {8, 0, 0}, {17, 0, 0});
  table[6] = weekly(3, kSun, {0, 0, 0}, {23, 59, 59});

  EXPECT_EQ(scheduleLines(table, 3, kScheduleOneTime),
            std::vector<std::string>{"2014/05/06 08:00:00 - 2014/05/06 09:30:00"});
  EXPECT_EQ(scheduleLines(table, 3, kScheduleWeekly),
            (std::vector<std::string>{"[ Mon Wed Fri ] 08:00:00 - 17:00:00",
                                      "[ Sun ] 00:00:00 - 23:59:59"}));
  // Channel 1 has a line with the same text; channel 3's own entry is the one behind it.
  EXPECT_EQ(findScheduleEntry(table, 3, kScheduleWeekly, "[ Mon Wed Fri ] 08:00:00 - 17:00:00"), 4);
  EXPECT_EQ(findScheduleEntry(table, 3, kScheduleOneTime, "[ Sun ] 00:00:00 - 23:59:59"), -1);
}

TEST(ScheduleDialogs, StartingValues) {
  // One hour on, into the next day and year.
  const OneTimeRange range = newOneTimeRange(at(2014, 12, 31, 23, 30, 15));
  EXPECT_EQ(scheduleLineText(oneTime(0, range.from, range.to)),
            "2014/12/31 23:30:15 - 2015/01/01 00:30:15");

  const WeeklyForm morning = newWeeklyForm(at(2014, 5, 7, 10, 20, 30));  // a Wednesday
  EXPECT_EQ(morning.dayMask, kWed);
  EXPECT_EQ(morning.from, (TimeOfDay{10, 20, 30}));
  EXPECT_EQ(morning.to, (TimeOfDay{11, 20, 30}));
  const WeeklyForm late = newWeeklyForm(at(2014, 5, 11, 23, 10, 0));  // a Sunday
  EXPECT_EQ(late.dayMask, kSun);
  EXPECT_EQ(late.to, (TimeOfDay{23, 59, 59}));

  const WeeklyForm all = allTimeRecordForm();
  EXPECT_EQ(all.dayMask, kScheduleAllDays);
  EXPECT_EQ(all.from, (TimeOfDay{0, 0, 0}));
  EXPECT_EQ(all.to, (TimeOfDay{23, 59, 59}));
}

TEST(ScheduleDialogs, OneTimeOverlaps) {
  const LocalTime ten = at(2014, 5, 6, 10, 0, 0);
  const LocalTime eleven = at(2014, 5, 6, 11, 0, 0);
  struct Case {
    const char* name;
    int channel;
    LocalTime from;
    LocalTime to;
    std::string_view message;  // empty: accepted
  };
  const Case cases[] = {
      {"starts at the other's end", 0, eleven, at(2014, 5, 6, 12, 0, 0), kScheduleOverlap},
      {"ends at the other's begin", 0, at(2014, 5, 6, 9, 0, 0), ten, kScheduleOverlap},
      {"one second after", 0, at(2014, 5, 6, 11, 0, 1), at(2014, 5, 6, 12, 0, 0), ""},
      {"encloses", 0, at(2014, 5, 6, 9, 0, 0), at(2014, 5, 6, 12, 0, 0), kScheduleOverlap},
      {"inside", 0, at(2014, 5, 6, 10, 15, 0), at(2014, 5, 6, 10, 45, 0), kScheduleOverlap},
      {"another day", 0, at(2014, 5, 7, 10, 0, 0), at(2014, 5, 7, 11, 0, 0), ""},
      {"another channel", 1, ten, eleven, ""},
      {"equal From and To", 0, eleven, eleven, kToTimeShouldAfterFrom},
      {"To before From", 0, eleven, ten, kToTimeShouldAfterFrom},
  };
  for (const Case& c : cases) {
    for (const int existingSlot : {0, 5}) {  // also behind free entries
      ScheduleTable table;
      table[static_cast<std::size_t>(existingSlot)] = oneTime(0, ten, eleven);
      const ScheduleTable before = table;
      const ScheduleAnswer answer = addOneTimeSchedule(table, c.channel, {c.from, c.to});
      EXPECT_EQ(answer.message, c.message) << c.name << " / slot " << existingSlot;
      if (answer.accepted()) {
        EXPECT_EQ(answer.index, existingSlot == 0 ? 1 : 0) << c.name;
        EXPECT_EQ(table[static_cast<std::size_t>(answer.index)].channel, c.channel);
      } else {
        EXPECT_EQ(answer.section, kOneTimeSection) << c.name;
        EXPECT_EQ(table, before) << c.name;
      }
    }
  }
}

TEST(ScheduleDialogs, WeeklyOverlaps) {
  struct Case {
    const char* name;
    int days;
    TimeOfDay from;
    TimeOfDay to;
    std::string_view section;
    std::string_view message;
  };
  const Case cases[] = {
      {"no common day", kTue, {8, 0, 0}, {17, 0, 0}, {}, {}},
      {"Mon+Tue 16-18", kMon | kTue, {16, 0, 0}, {18, 0, 0}, kWeeklySection, kScheduleOverlap},
      {"touching the end", kMon, {17, 0, 0}, {18, 0, 0}, kWeeklySection, kScheduleOverlap},
      {"after the end", kMon, {17, 0, 1}, {18, 0, 0}, {}, {}},
      {"no day ticked", 0, {8, 0, 0}, {9, 0, 0}, kWeeklySection, kSelectDay},
      {"equal From and To", kTue, {9, 0, 0}, {9, 0, 0}, kOneTimeSection, kToTimeShouldAfterFrom},
      {"across midnight", kTue, {22, 0, 0}, {2, 0, 0}, kOneTimeSection, kToTimeShouldAfterFrom},
  };
  for (const Case& c : cases) {
    ScheduleTable table;
    table[2] = weekly(0, kMon, {8, 0, 0}, {17, 0, 0});
    const ScheduleAnswer answer = addWeeklySchedule(table, 0, {c.days, c.from, c.to});
    EXPECT_EQ(answer.message, c.message) << c.name;
    EXPECT_EQ(answer.section, c.section) << c.name;
    if (answer.accepted()) {
      EXPECT_EQ(answer.index, 0) << c.name;
    }
  }

  // A one-time range inside a weekly range of the channel: the two kinds never conflict.
  ScheduleTable table;
  table[0] = weekly(0, kScheduleAllDays, {0, 0, 0}, {23, 59, 59});
  EXPECT_TRUE(
      addOneTimeSchedule(table, 0, {at(2014, 5, 5, 9, 0, 0), at(2014, 5, 5, 10, 0, 0)}).accepted());
}

TEST(ScheduleDialogs, EditAddsThenDeletesAndNeedsAFreeEntry) {
  ScheduleTable table;
  for (int i = 0; i < kScheduleCount; ++i) {
    const LocalTime from = addSeconds(at(2014, 6, 1, 10, 0, 0), i * 86400LL);
    table[static_cast<std::size_t>(i)] = oneTime(0, from, addSeconds(from, 1800));
  }
  const ScheduleTable full = table;
  const OneTimeRange free = {at(2015, 1, 1, 0, 0, 0), at(2015, 1, 1, 1, 0, 0)};
  EXPECT_EQ(addOneTimeSchedule(table, 1, free).message, kScheduleOverlap);
  EXPECT_EQ(addWeeklySchedule(table, 1, allTimeRecordForm()).message, kScheduleOverlap);
  EXPECT_EQ(editOneTimeSchedule(table, 3, free).message, kScheduleOverlap);
  EXPECT_EQ(table, full);

  // A freed entry in the middle is the next one taken.
  deleteSchedule(table, 17);
  EXPECT_EQ(table[17].channel, -1);
  EXPECT_EQ(addWeeklySchedule(table, 1, allTimeRecordForm()).index, 17);

  // Editing an entry into a range that overlaps only itself is fine; the old slot is freed.
  deleteSchedule(table, 20);
  const ScheduleEntry edited = table[3];
  const OneTimeRange later = {at(2014, 6, 4, 10, 15, 0), at(2014, 6, 4, 10, 45, 0)};
  const ScheduleAnswer answer = editOneTimeSchedule(table, 3, later);
  ASSERT_TRUE(answer.accepted()) << answer.message;
  EXPECT_EQ(answer.index, 20);
  EXPECT_EQ(table[3].channel, -1);
  EXPECT_EQ(scheduleLineText(table[20]), "2014/06/04 10:15:00 - 2014/06/04 10:45:00");
  EXPECT_NE(table[20], edited);
}

TEST(ScheduleTable, PurgeAndApply) {
  const LocalTime now = at(2014, 5, 6, 12, 0, 0);
  ScheduleTable edit;
  edit[0] = oneTime(0, at(2014, 5, 5, 10, 0, 0), at(2014, 5, 5, 11, 0, 0));  // over
  edit[1] = oneTime(0, at(2014, 5, 6, 11, 0, 0), at(2014, 5, 6, 13, 0, 0));  // running
  edit[2] = oneTime(0, at(2014, 5, 7, 10, 0, 0), at(2014, 5, 7, 11, 0, 0));  // to come
  edit[3] = weekly(0, kMon, {8, 0, 0}, {9, 0, 0});

  ScheduleTable live = edit;
  live[0].active = 1;
  live[1].active = 1;
  live[5] = weekly(2, kTue, {8, 0, 0}, {9, 0, 0});
  live[5].active = 1;  // deleted on the page while it records
  edit[1].active = 0;  // the edit copy's flags never reach the live table

  applyScheduleTable(edit, live, now);
  EXPECT_EQ(edit[0].channel, -1);
  EXPECT_EQ(edit[1].channel, 0);
  EXPECT_EQ(edit[2].channel, 0);
  for (int i = 0; i < kScheduleCount; ++i) {
    EXPECT_TRUE(sameSchedule(live[static_cast<std::size_t>(i)], edit[static_cast<std::size_t>(i)]))
        << i;
  }
  const std::vector<int> active = {live[0].active, live[1].active, live[2].active, live[5].active};
  EXPECT_EQ(active, (std::vector<int>{1, 1, 0, 1}));
}

// Entries a hand-edited or damaged settings file may hold: whatever cannot be a calendar
// range never matches, and nothing goes wrong on the way.
TEST(ScheduleMatch, OnlyRealRangesMatch) {
  const LocalTime monday = at(2014, 5, 5, 10, 0, 0);
  ScheduleEntry good = weekly(0, kMon, {9, 0, 0}, {11, 0, 0});
  ScheduleEntry goodOnce = oneTime(0, at(2014, 5, 5, 9, 0, 0), at(2014, 5, 5, 11, 0, 0));
  EXPECT_TRUE(scheduleMatches(good, 0, monday));
  EXPECT_TRUE(scheduleMatches(goodOnce, 0, monday));
  EXPECT_FALSE(scheduleMatches(good, 0, at(2014, 5, 5, 11, 0, 0)));  // End is not recorded
  EXPECT_FALSE(scheduleMatches(good, 0, at(2014, 5, 6, 10, 0, 0)));  // Tuesday

  std::vector<std::pair<const char*, ScheduleEntry>> bad;
  auto add = [&bad](const char* name, ScheduleEntry e) { bad.emplace_back(name, e); };
  ScheduleEntry e = goodOnce;
  e.beginMonth = 13;
  add("month 13", e);
  e = goodOnce;
  e.endDay = 31;
  e.endMonth = 4;
  add("31 April", e);
  e = good;
  e.endHour = 25;
  add("hour 25", e);
  e = good;
  e.daysOfWeek = 1 << 8;
  add("day bits above Saturday", e);
  e = good;
  e.channel = 99;
  add("channel 99", e);
  e = good;
  e.beginHour = 22;
  e.endHour = 2;
  add("past midnight", e);
  e = good;
  e.mode = 7;
  add("mode 7", e);
  e = goodOnce;
  e.beginMinute = -5;
  add("negative minute", e);
  for (const auto& [name, entry] : bad) {
    for (const LocalTime& now : {monday, at(2014, 5, 5, 23, 0, 0), at(2014, 5, 5, 1, 0, 0)}) {
      for (int channel = 0; channel < kChannelCount; ++channel) {
        EXPECT_FALSE(scheduleMatches(entry, channel, now)) << name;
      }
    }
    EXPECT_FALSE(scheduleLineText(entry).empty());
  }
}

}  // namespace
}  // namespace ipcam
