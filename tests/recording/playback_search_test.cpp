#include "recording/playback_search.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_environment.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using platform::test_support::TempFolder;

TEST(RecordingStartTime, ReadsTheTimeAfterTheFirstUnderscoreOrNothing) {
  const struct {
    const char* name;
    std::optional<LocalTime> time;
  } cases[] = {
      {"Motion_2014-05-01_08-07-06.avi", LocalTime{2014, 5, 1, 8, 7, 6}},
      {"Schedule_2014-5-1_8-7-6.avi", LocalTime{2014, 5, 1, 8, 7, 6}},
      {"Manual_2014-05-01_08-07-06.AVI", LocalTime{2014, 5, 1, 8, 7, 6}},
      // Whatever comes before the first underscore is the mode, even another program's.
      {"x_2020-12-31_23-59-59.avi", LocalTime{2020, 12, 31, 23, 59, 59}},
      // A name that stops early or strays carries no time; its fields are not guessed.
      {"Motion_2014-05-01.avi", std::nullopt},
      {"Motion_2014-05-01_08-07.avi", std::nullopt},
      {"Motion2014-05-01_08-07-06.avi", std::nullopt},
      {"Motion_2014-05-01_08-07-06x.avi", std::nullopt},
      {"Motion_2014-05-01_08-07-06.avi.part", std::nullopt},
      {"Motion_clip.avi", std::nullopt},
      {"_2014-05-01_08-07-06.avi", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<LocalTime> time = recordingStartTime(c.name);
    ASSERT_EQ(time.has_value(), c.time.has_value()) << c.name;
    if (!time) continue;
    EXPECT_EQ(std::tie(time->year, time->month, time->day, time->hour, time->minute, time->second),
              std::tie(c.time->year, c.time->month, c.time->day, c.time->hour, c.time->minute,
                       c.time->second))
        << c.name;
  }
}

// Three recording directories with a Motion and a Manual recording at noon in each of the 16
// camera folders, and the odd cases in camera 5 of the first directory.
class PlaybackSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t d = 0; d < dirs_.size(); ++d) {
      dirs_[d] = (folder_.path() / ("rec" + std::to_string(d))).string();
      for (int camera = 1; camera <= 16; ++camera) {
        add(d, camera, "Motion_2014-05-01_12-00-00.avi");
        add(d, camera, "Manual_2014-05-01_12-30-00.avi");
      }
    }
    add(0, 5, "Motion_2014-05-01_00-00-00.avi");
    add(0, 5, "Motion_2014-05-01_23-59-59.avi");
    add(0, 5, "Motion_2014-04-30_23-59-59.avi");
    add(0, 5, "Motion_2014-05-02_00-00-00.avi");
    add(0, 5, "Motion_2014-05-01_10-00-00.avi", "");  // nothing was written
    add(0, 5, "Motion_clip.avi");
    add(0, 5, "Motion_2014-05-01_09-00-00.jpg");
    fs::create_directories(cameraFolder(0, 5) / "Motion_2014-05-01_11-00-00.avi");
  }

  fs::path cameraFolder(std::size_t dir, int camera) const {
    return fs::path(dirs_[dir]) / "Data" / "Record" / ("Camera " + std::to_string(camera));
  }
  void add(std::size_t dir, int camera, const std::string& name, std::string_view content = "x") {
    folder_.write(fs::relative(cameraFolder(dir, camera), folder_.path()) / name, content);
  }
  // The rows a search of 1 May 2014 finds: every camera's noon recordings, and the ones at
  // either end of the day in camera 5.
  std::vector<PlaybackRow> dayRows(bool motionOnly) const {
    std::vector<PlaybackRow> rows;
    for (const std::string& dir : dirs_) {
      for (int camera = 1; camera <= 16; ++camera) {
        const std::string n = std::to_string(camera);
        if (!motionOnly) rows.push_back({dir, n, "Manual_2014-05-01_12-30-00.avi"});
        if (dir == dirs_[0] && camera == 5) {
          rows.push_back({dir, n, "Motion_2014-05-01_00-00-00.avi"});
          rows.push_back({dir, n, "Motion_2014-05-01_12-00-00.avi"});
          rows.push_back({dir, n, "Motion_2014-05-01_23-59-59.avi"});
        } else {
          rows.push_back({dir, n, "Motion_2014-05-01_12-00-00.avi"});
        }
      }
    }
    return rows;
  }

  TempFolder folder_;
  std::array<std::string, 3> dirs_;
  const LocalTime dayStart_{2014, 5, 1, 0, 0, 0};
  const LocalTime dayEnd_{2014, 5, 1, 23, 59, 59};
};

TEST_F(PlaybackSearchTest, FindsEveryCameraInEveryDirectoryWithBothEndsIncluded) {
  EXPECT_EQ(searchRecordings(dirs_, dayStart_, dayEnd_, false), dayRows(false));
  EXPECT_EQ(searchRecordings(dirs_, dayStart_, dayEnd_, true), dayRows(true));
}

TEST_F(PlaybackSearchTest, NarrowRangesEmptyEntriesAndMissingFolders) {
  const LocalTime noon{2014, 5, 1, 12, 0, 0};
  // From equal to To finds what began in that second.
  const std::vector<PlaybackRow> atNoon = searchRecordings({dirs_[2], "", ""}, noon, noon, false);
  ASSERT_EQ(atNoon.size(), 16u);
  EXPECT_EQ(atNoon[15], (PlaybackRow{dirs_[2], "16", "Motion_2014-05-01_12-00-00.avi"}));
  // A second before midnight ends the earlier day's search, and no more.
  const std::vector<PlaybackRow> evening =
      searchRecordings({dirs_[0], "", ""}, LocalTime{2014, 4, 30, 23, 59, 59},
                       LocalTime{2014, 4, 30, 23, 59, 59}, true);
  EXPECT_EQ(evening, (std::vector<PlaybackRow>{{dirs_[0], "5", "Motion_2014-04-30_23-59-59.avi"}}));
  EXPECT_TRUE(
      searchRecordings({(folder_.path() / "gone").string(), "", ""}, dayStart_, dayEnd_, false)
          .empty());
}

TEST(PlaybackFilePath, JoinsTheThreeColumns) {
  EXPECT_EQ(playbackFilePath({"/media/rec", "12", "Motion_2014-05-01_08-07-06.avi"}),
            "/media/rec/Data/Record/Camera 12/Motion_2014-05-01_08-07-06.avi");
}

TEST(PlaybackSort, SortsByColumnTextAndReversesOnASecondClick) {
  const PlaybackRow schedule{"/rec", "2", "Schedule_2014-05-01_08-00-00.avi"};
  const PlaybackRow manual{"/rec", "10", "Manual_2014-05-01_09-00-00.avi"};
  const PlaybackRow motion{"/Rec", "1", "Motion_2014-05-01_07-59-59.avi"};
  std::vector<PlaybackRow> rows{manual, schedule, motion};
  PlaybackSort sort;

  // By start time whatever the mode.
  sort.clickColumn(rows, kPlaybackFileName);
  EXPECT_EQ(rows, (std::vector<PlaybackRow>{motion, schedule, manual}));
  sort.clickColumn(rows, kPlaybackFileName);
  EXPECT_EQ(rows, (std::vector<PlaybackRow>{manual, schedule, motion}));
  EXPECT_FALSE(sort.ascending());
  // Another column starts ascending; numbers compare as text.
  sort.clickColumn(rows, kPlaybackChannel);
  EXPECT_EQ(rows, (std::vector<PlaybackRow>{motion, manual, schedule}));
  EXPECT_TRUE(sort.ascending());
  // Case counts ('R' before 'r'); equal texts keep their order.
  sort.clickColumn(rows, kPlaybackDirectory);
  EXPECT_EQ(rows, (std::vector<PlaybackRow>{motion, manual, schedule}));
  sort.clickColumn(rows, kPlaybackDirectory);
  EXPECT_EQ(rows, (std::vector<PlaybackRow>{manual, schedule, motion}));
}

}  // namespace
}  // namespace ipcam
