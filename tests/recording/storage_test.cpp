#include "recording/storage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/viewer_settings.h"
#include "platform/folders.h"
#include "recording/record_dir_rules.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using platform::test_support::TempFolder;
using namespace std::chrono_literals;

constexpr unsigned long long kMegabyte = 1048576;

// Free space that a test decides, per directory.
std::function<std::optional<unsigned long long>(const fs::path&)> fixedFree(
    std::map<std::string, std::optional<unsigned long long>> freeByDir) {
  return [freeByDir](const fs::path& dir) -> std::optional<unsigned long long> {
    const auto it = freeByDir.find(dir.string());
    return it == freeByDir.end() ? std::nullopt : it->second;
  };
}

TEST(ChooseRecordDir, NeedsMoreThanSixteenFilesOfRoom) {
  struct Case {
    std::optional<unsigned long long> firstFree;
    int expected;
  };
  // FileSize 100: more than 1,600 MB is needed; the second directory always has room.
  const Case cases[] = {
      {1600 * kMegabyte, 1},
      {1601 * kMegabyte - 1, 1},  // whole megabytes only
      {1601 * kMegabyte, 0},
      {std::nullopt, 1},  // reports no free size: full
  };
  ViewerSettings settings;
  settings.fileSize = 100;
  settings.recPath = {"/rec/a", "/rec/b", ""};
  for (const Case& c : cases) {
    StorageProbes probes;
    probes.freeSpace = fixedFree({{"/rec/a", c.firstFree}, {"/rec/b", 5000 * kMegabyte}});
    EXPECT_EQ(chooseRecordDir(settings, probes), c.expected)
        << (c.firstFree ? *c.firstFree / kMegabyte : 0);
  }
  settings.recPath[1].clear();
  StorageProbes none;
  none.freeSpace = fixedFree({{"/rec/a", 1600 * kMegabyte}});
  EXPECT_EQ(chooseRecordDir(settings, none), -1);
}

// A recording directory with files aged in days, and free space that appears once fewer than
// `roomBelow` recordings are left in it.
class CycleStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = folder_.path() / "rec";
    prepareRecordDirs({root_.string(), "", ""}, nullptr);
    settings_.recPath = {root_.string(), "", ""};
    settings_.fileSize = 50;
    settings_.recCycle = 1;
    now_ = fs::file_time_type::clock::now();
    probes_.now = [this] { return now_; };
    probes_.openFiles = [this] { return openFiles_; };
    probes_.freeSpace = [this](const fs::path&) -> std::optional<unsigned long long> {
      return countRecordings() < roomBelow_ ? 10000 * kMegabyte : 0;
    };
  }

  fs::path camera(int n) const {
    return root_ / "Data" / "Record" / ("Camera " + std::to_string(n));
  }

  fs::path addFile(const fs::path& path, int ageDays) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "RIFF";
    fs::last_write_time(path, now_ - std::chrono::hours(24 * ageDays) - 1min);
    return path;
  }

  int countRecordings() const {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      if (entry.is_regular_file() && isRecordingFileName(entry.path().filename().string())) {
        ++count;
      }
    }
    return count;
  }

  TempFolder folder_;
  fs::path root_;
  ViewerSettings settings_;
  StorageProbes probes_;
  fs::file_time_type now_;
  std::vector<fs::path> openFiles_;
  int roomBelow_ = 0;
};

TEST_F(CycleStorageTest, DaysDeleteEveryOldFileAnyTimeStopsAtRoom) {
  struct Case {
    int cycleTime;
    std::set<std::string> survivors;
  };
  const Case cases[] = {
      // Seven days: both old recordings go although one deletion would have made room.
      {7, {"Motion_2014-05-03_00-00-00.avi"}},
      // AnyTime: oldest first, and only until there is room.
      {0, {"Schedule_2014-05-02_00-00-00.avi", "Motion_2014-05-03_00-00-00.avi"}},
  };
  for (const Case& c : cases) {
    const fs::path oldest = addFile(camera(1) / "Manual_2014-05-01_00-00-00.avi", 10);
    const fs::path older = addFile(camera(2) / "Schedule_2014-05-02_00-00-00.avi", 8);
    const fs::path recent = addFile(camera(1) / "Motion_2014-05-03_00-00-00.avi", 2);
    settings_.recCycleTime = c.cycleTime;
    roomBelow_ = 3;

    // The room that was made is used in the same pass.
    EXPECT_EQ(cycleStorage(settings_, probes_), 0) << c.cycleTime;
    std::set<std::string> left;
    for (const fs::path& file : {oldest, older, recent}) {
      if (fs::exists(file)) left.insert(file.filename().string());
    }
    EXPECT_EQ(left, c.survivors) << c.cycleTime;
    for (const fs::path& file : {oldest, older, recent}) fs::remove(file);
  }
}

TEST_F(CycleStorageTest, NothingIsDeletedWhileThereIsRoomOrWithCyclingOff) {
  const fs::path file = addFile(camera(3) / "Manual_2014-05-01_00-00-00.avi", 30);
  roomBelow_ = 2;  // room already
  EXPECT_EQ(cycleStorage(settings_, probes_), 0);
  roomBelow_ = 0;  // never room
  settings_.recCycle = 0;
  EXPECT_EQ(cycleStorage(settings_, probes_), -1);
  EXPECT_TRUE(fs::exists(file));
}

// The cleaner deletes the program's own recordings only, and never a file a recorder writes,
// however that file's path is spelled.
TEST_F(CycleStorageTest, OnlyClosedRecordingsOfTheProgramAreDeleted) {
  TempFolder outside;
  const fs::path precious = outside.write("Manual_2014-05-01_00-00-00.avi", "keep");
  const fs::path recording = addFile(camera(1) / "Manual_2014-05-01_00-00-00.avi", 40);
  const fs::path open = addFile(camera(16) / "Schedule_2014-05-01_00-00-00.avi", 40);
  const std::vector<fs::path> foreign = {
      addFile(camera(1) / "notes.avi", 40),
      addFile(camera(1) / "Manual_2014-05-01_00-00-00.mp4", 40),
      addFile(camera(1) / "Manual_2014-05-01_00-00-00.avi.bak", 40),
      addFile(camera(1) / "Manual_2014-5-1_00-00-00.avi", 40),
      addFile(camera(1) / "Holiday_2014-05-01_00-00-00.avi", 40),
      addFile(root_ / "Data" / "Record" / "Motion_2014-05-01_00-00-00.avi", 40),
      addFile(root_ / "Data" / "Snapshot" / "Camera 1" / "Motion_2014-05-01_00-00-00.avi", 40),
      addFile(root_ / "Data" / "Record" / "Other" / "Motion_2014-05-01_00-00-00.avi", 40),
  };
  const fs::path link = camera(2) / "Motion_2014-05-01_00-00-00.avi";
  fs::create_symlink(precious, link);
  fs::create_directory_symlink(outside.path(), camera(3) / "Sub");
  // The recorder names its file through a link to the recording directory.
  const fs::path alias = folder_.path() / "alias";
  fs::create_directory_symlink(root_, alias);
  openFiles_ = {alias / "Data" / "Record" / "Camera 16" / "." / "Schedule_2014-05-01_00-00-00.avi"};

  settings_.recCycleTime = 0;
  roomBelow_ = 0;  // never room: everything that may go, goes
  EXPECT_EQ(cycleStorage(settings_, probes_), -1);

  EXPECT_FALSE(fs::exists(recording));
  EXPECT_TRUE(fs::exists(open));
  for (const fs::path& file : foreign) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::exists(precious));
}

TEST_F(CycleStorageTest, ALinkedCameraFolderIsNotCleaned) {
  TempFolder outside;
  const fs::path theirs = outside.write("Manual_2014-05-01_00-00-00.avi", "keep");
  fs::remove(camera(4));
  fs::create_directory_symlink(outside.path(), camera(4));
  settings_.recCycleTime = 0;
  EXPECT_EQ(cycleStorage(settings_, probes_), -1);
  EXPECT_TRUE(fs::exists(theirs));
}

TEST(PrepareRecordDirs, AFolderThatCannotBeMadeIsReportedAndStopsThePreparation) {
  TempFolder folder;
  folder.write("plain-file", "x");
  const std::string bad = (folder.path() / "plain-file" / "rec").string();
  const fs::path later = folder.path() / "later";
  testing::RecordingViewerUi ui;
  prepareRecordDirs({(folder.path() / "first").string(), bad, later.string()}, &ui);

  EXPECT_TRUE(fs::is_directory(folder.path() / "first" / "Data" / "Record" / "Camera 16"));
  EXPECT_TRUE(fs::is_directory(folder.path() / "first" / "Data" / "Snapshot" / "Camera 1"));
  const auto messages = ui.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].text.rfind(bad + "\n\n", 0), 0U) << messages[0].text;
  EXPECT_FALSE(fs::exists(later));
}

// What we make holds recordings and pictures of people: 0700 whatever the umask. What the
// user made keeps its mode; a recording directory may be shared on purpose.
TEST(PrepareRecordDirs, WhatItMakesIsPrivateWhatWasThereKeepsItsMode) {
  TempFolder folder;
  const fs::path shared = folder.path() / "shared";
  fs::create_directories(shared / "Data" / "Record");
  for (const fs::path& dir : {shared, shared / "Data", shared / "Data" / "Record"}) {
    fs::permissions(dir, fs::perms(0775));
  }
  const fs::path fresh = folder.path() / "new" / "rec";
  platform::test_support::ScopedUmask loose(0);
  prepareRecordDirs({shared.string(), fresh.string(), ""}, nullptr);

  const struct {
    fs::path dir;
    int mode;
  } cases[] = {
      {shared, 0775},
      {shared / "Data" / "Record", 0775},
      {shared / "Data" / "Record" / "Camera 1", 0700},
      {shared / "Data" / "Snapshot", 0700},
      {shared / "Data" / "Snapshot" / "Camera 16", 0700},
      {folder.path() / "new", 0700},
      {fresh / "Data" / "Record" / "Camera 7", 0700},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::test_support::modeOf(c.dir), c.mode) << c.dir;
  }
}

// The monitor's passes go on while the space-full box waits for the user, so the current
// directory follows the disks; the box comes once per stretch of full disks.
TEST(StorageMonitor, SpaceFullBoxDoesNotHoldUpThePasses) {
  AppState& state = appState();
  state.currentRecordDir.store(0);
  state.spaceFullShown.store(false);
  testing::RecordingViewerUi ui;
  ui.holdBoxes();

  ViewerSettings settings;
  settings.recPath = {"/rec/a", "/rec/b", ""};
  settings.recCycle = 0;
  std::optional<unsigned long long> freeB = 0;
  StorageProbes probes;
  probes.freeSpace = [&freeB](const fs::path& dir) -> std::optional<unsigned long long> {
    return dir == "/rec/b" ? freeB : std::optional<unsigned long long>(0);
  };
  const auto pass = [&] {
    auto done = std::async(std::launch::async, [&] { storageMonitorPass(&ui, settings, probes); });
    return done.wait_for(10s) == std::future_status::ready;
  };

  ASSERT_TRUE(pass());
  EXPECT_EQ(state.currentRecordDir.load(), -1);
  ASSERT_TRUE(testing::waitFor([&] { return ui.messages().size() == 1; }));
  ASSERT_TRUE(pass());  // still full, box still open: no second box

  freeB = 2000 * kMegabyte;
  ASSERT_TRUE(pass());
  EXPECT_EQ(state.currentRecordDir.load(), 1);

  ui.releaseBoxes();
  freeB = 0;
  // The new stretch gets its own box once the first one is closed.
  EXPECT_TRUE(testing::waitFor([&] { return pass() && ui.messages().size() == 2; }));
  stopStorageMonitor();
  EXPECT_EQ(ui.messages().size(), 2U);
  EXPECT_EQ(ui.messages()[1].text, ui.messages()[0].text);
}

TEST(RecordDirRules, SameFileSystemIsRefused) {
  TempFolder folder;
  const std::string a = (folder.path() / "a").string();
  const std::string b = (folder.path() / "b").string();
  fs::create_directories(a);

  struct Case {
    RecordDirs dirs;
    int slot;
    std::string folder;
    bool accepted;
  };
  std::vector<Case> cases = {
      {{a, "", ""}, 1, b, false},               // two folders under one temp folder
      {{a, "", ""}, 0, b, true},                // the slot's own old directory does not count
      {{a, "", ""}, 1, b + "/not/yet", false},  // judged where it would be made
  };
  // A second file system, where the machine has one.
  for (const char* other : {"/dev/shm", "/proc"}) {
    if (fs::is_directory(other) && !platform::sameFileSystem(other, folder.path())) {
      cases.push_back({{a, "", ""}, 1, other, true});
      break;
    }
  }
  for (Case& c : cases) {
    const RecordDirAnswer answer = setRecordDir(c.dirs, c.slot, c.folder);
    EXPECT_EQ(answer.accepted(), c.accepted) << c.folder;
    if (!c.accepted) {
      EXPECT_EQ(answer.message, kSameFileSystem);
    }
    EXPECT_EQ(c.dirs[static_cast<std::size_t>(c.slot)] == c.folder, c.accepted);
  }
}

TEST(RecordDirRules, NewDeleteAndTheRecordingLock) {
  RecordDirs dirs = {"/a", "/b", "/c"};
  EXPECT_EQ(newRecordDir(dirs, false).message, kAllRecordDirsUsed);
  for (const RecordDirAnswer& answer :
       {newRecordDir(dirs, true), editRecordDir(dirs, 0, true), deleteRecordDir(dirs, 0, true)}) {
    EXPECT_EQ(answer.message, kNoChangePath);
  }
  EXPECT_EQ(dirs, (RecordDirs{"/a", "/b", "/c"}));

  EXPECT_EQ(deleteRecordDir(dirs, 0, false).slot, 0);
  EXPECT_EQ(dirs, (RecordDirs{"/b", "/c", ""}));
  EXPECT_EQ(newRecordDir(dirs, false).slot, 2);

  // The list shows the used slots only; a line is the n-th of them.
  dirs = {"", "/b", "/c"};
  EXPECT_EQ(editRecordDir(dirs, 1, false).slot, 2);
  EXPECT_EQ(editRecordDir(dirs, -1, false).slot, -1);
  deleteRecordDir(dirs, 0, false);
  EXPECT_EQ(dirs, (RecordDirs{"", "/c", ""}));
}

TEST(RecordDirRules, ConfirmingStoresPreparesAndAllowsTheMessageAgain) {
  TempFolder folder;
  const RecordDirs saved = [] {
    std::lock_guard lock(settingsMutex());
    return liveSettings().recPath;
  }();
  appState().recorderSpaceFullShown.store(true);
  const RecordDirs dirs = {(folder.path() / "x").string(), "", ""};
  confirmRecordDirs(dirs, nullptr);
  EXPECT_FALSE(appState().recorderSpaceFullShown.load());
  EXPECT_TRUE(fs::is_directory(folder.path() / "x" / "Data" / "Record" / "Camera 5"));
  {
    std::lock_guard lock(settingsMutex());
    EXPECT_EQ(liveSettings().recPath, dirs);
    liveSettings().recPath = saved;
  }
}

}  // namespace
}  // namespace ipcam
