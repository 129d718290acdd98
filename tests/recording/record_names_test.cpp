#include "recording/record_names.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <tuple>

namespace ipcam {
namespace {

auto timeOf(const LocalTime& t) {
  return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

TEST(RecordNamesTest, WhatTheRecordersWriteReadsBackAsOurs) {
  std::tm when{};
  when.tm_year = 2031 - 1900;
  when.tm_mon = 0;
  when.tm_mday = 9;
  when.tm_hour = 0;
  when.tm_min = 5;
  when.tm_sec = 59;
  for (const std::string_view mode : kRecorderModes) {
    const std::string name = recordingName(mode, when);
    SCOPED_TRACE(name);
    const std::optional<RecordingName> parsed = parseRecordingName(name);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mode, mode);
    EXPECT_EQ(timeOf(parsed->start), std::make_tuple(2031, 1, 9, 0, 5, 59));
    EXPECT_TRUE(parsed->ours);
  }
}

// Names a search still lists but the storage cleaner must never take for its own, and names
// that are no recording at all.
TEST(RecordNamesTest, OursOnlyWhenWrittenExactlyAsTheRecordersWrite) {
  struct Case {
    std::string name;
    std::optional<bool> ours;  // nothing: not a recording name
  } cases[] = {
      {"Manual_2014-05-01_08-07-06.avi", true},
      {"Schedule_999-12-31_23-59-59.avi", true},
      {"Motion_2014-05-01_08-07-06.AVI", false},
      {"Motion_2014-5-01_08-07-06.avi", false},
      {"Motion_2014-05-01_08-07-006.avi", false},
      {"motion_2014-05-01_08-07-06.avi", false},
      {"Motionx_2014-05-01_08-07-06.avi", false},
      {"Clip_2014-05-01_08-07-06.avi", false},
      {"Motion_-2014-05-01_08-07-06.avi", std::nullopt},
      {"Motion_2014-+5-01_08-07-06.avi", std::nullopt},
      {"Motion_99999999999-05-01_08-07-06.avi", std::nullopt},
      {"Motion_2014--01_08-07-06.avi", std::nullopt},
      {"Motion_2014-05-01_08-07-06.", std::nullopt},
      {"Motion_2014-05-01_08-07-06", std::nullopt},
      {"Motion_2014-05-01_08-07-06.avi ", std::nullopt},
      {"Motion_2014-05-01 08-07-06.avi", std::nullopt},
      {"Motion_", std::nullopt},
      {"", std::nullopt},
      {std::string("Motion_2014-05-01_08-07-06\0.avi", 31), std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<RecordingName> parsed = parseRecordingName(c.name);
    EXPECT_EQ(parsed.has_value(), c.ours.has_value()) << c.name;
    if (parsed && c.ours) {
      EXPECT_EQ(parsed->ours, *c.ours) << c.name;
    }
  }
}

TEST(RecordNamesTest, FoldersAndPaths) {
  EXPECT_EQ(recordFolder("/video", 0), "/video/Data/Record/Camera 1");
  EXPECT_EQ(recordFolder("/video//", 15), "/video/Data/Record/Camera 16");
  EXPECT_EQ(recordFolder("/", 2), "/Data/Record/Camera 3");
  EXPECT_EQ(recordFolder("/srv/a b", "12"), "/srv/a b/Data/Record/Camera 12");
}

}  // namespace
}  // namespace ipcam
