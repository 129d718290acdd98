#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/test_environment.h"

namespace ipcam::platform {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempFolder;

class SingleInstanceTest : public ::testing::Test {
 protected:
  std::string uniqueName(const char* what) const {
    return std::string("ipcam-test-") + what + "-" + std::to_string(::getpid());
  }

  // Runs SingleInstance(name) in a child process; true when the child got the lock.
  static bool childAcquires(const std::string& name) {
    const pid_t child = ::fork();
    if (child == 0) {
      bool acquired = false;
      {
        SingleInstance instance(name);
        acquired = instance.acquired();
      }
      ::_exit(acquired ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  TempFolder runtime_;
  ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().string()};
};

TEST_F(SingleInstanceTest, SecondHolderIsRefusedUntilTheFirstGoesAway) {
  const std::string name = uniqueName("same-process");
  auto first = std::make_unique<SingleInstance>(name);
  EXPECT_TRUE(first->acquired());
  EXPECT_TRUE(fs::exists(runtime_.path() / (name + ".lock")));
  {
    // flock() belongs to the open file, so a second open in one process conflicts too.
    SingleInstance second(name);
    EXPECT_FALSE(second.acquired());
  }
  EXPECT_TRUE(SingleInstance(uniqueName("other-name")).acquired());

  first.reset();
  EXPECT_TRUE(SingleInstance(name).acquired());
}

TEST_F(SingleInstanceTest, AnotherProcessIsRefusedWhileTheLockIsHeld) {
  const std::string name = uniqueName("two-processes");
  {
    SingleInstance parent(name);
    ASSERT_TRUE(parent.acquired());
    EXPECT_FALSE(childAcquires(name));
  }
  EXPECT_TRUE(childAcquires(name));
}

TEST_F(SingleInstanceTest, GoesOnWhenTheLockFileCannotBeOpened) {
  const std::string name = uniqueName("unopenable");
  // A folder in the lock file's place cannot be opened for writing, not even by root.
  fs::create_directory(runtime_.path() / (name + ".lock"));
  EXPECT_TRUE(SingleInstance(name).acquired());
}

TEST_F(SingleInstanceTest, UsesTheTempFolderWithoutARuntimeFolder) {
  ScopedEnv missingRuntime("XDG_RUNTIME_DIR", (runtime_.path() / "missing").string());
  const std::string name = uniqueName("temp-folder");
  const fs::path lockFile = fs::temp_directory_path() / (name + ".lock");
  {
    SingleInstance instance(name);
    EXPECT_TRUE(instance.acquired());
    EXPECT_TRUE(fs::exists(lockFile));
  }
  fs::remove(lockFile);
}

}  // namespace
}  // namespace ipcam::platform
