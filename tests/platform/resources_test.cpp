#include "platform/resources.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "support/test_environment.h"

namespace ipcam::platform {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempFolder;

TEST(Resources, ExecutableFolderHoldsTheRunningProgram) {
  EXPECT_TRUE(fs::is_regular_file(executableFolder() / program_invocation_short_name));
}

TEST(Resources, ConfiguredFolderIsUsedOnlyWhenItExists) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  {
    ScopedEnv resources("IPCAM_RESOURCES", folder.path().string());
    EXPECT_EQ(resourceFolder(), folder.path());
  }
  for (const char* unusable : {"", "/nonexistent/ipcam-resources"}) {
    SCOPED_TRACE(unusable);
    ScopedEnv resources("IPCAM_RESOURCES", unusable);
    const fs::path fallback = resourceFolder();
    EXPECT_NE(fallback, fs::path(unusable));
    EXPECT_TRUE(fallback == executableFolder() / "resources" ||
                fallback == executableFolder().parent_path() / "share" / "ipcam-viewer")
        << fallback;
  }
}

TEST(Resources, ResourcePathResolvesLikeTheCaseBlindOriginal) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  folder.write("image/Snapshot_x.jpg");
  folder.write("ini/English.ini");
  folder.write("Sound/Alarm.wav");
  ScopedEnv resources("IPCAM_RESOURCES", folder.path().string());

  const struct {
    const char* given;
    const char* expected;  // under the resource folder
  } cases[] = {
      {"image/Snapshot_x.jpg", "image/Snapshot_x.jpg"},
      {"image\\Snapshot_x.jpg", "image/Snapshot_x.jpg"},
      {"./ini/English.ini", "ini/English.ini"},
      {".\\Image\\SNAPSHOT_X.JPG", "image/Snapshot_x.jpg"},
      {"Image/Snapshot_x.jpg", "image/Snapshot_x.jpg"},
      {"sound\\alarm.WAV", "Sound/Alarm.wav"},
      {"INI", "ini"},
      // Nothing matches: the path as written, so that the failure names it.
      {"Image/missing.jpg", "Image/missing.jpg"},
      {"movies\\Snapshot_x.jpg", "movies/Snapshot_x.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(resourcePath(c.given), folder.path() / c.expected);
  }
  EXPECT_EQ(resourcePath("/etc/Image/x.jpg"), fs::path("/etc/Image/x.jpg"));
}

}  // namespace
}  // namespace ipcam::platform
