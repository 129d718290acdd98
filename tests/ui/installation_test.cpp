// The program as it is installed and started from a shell: its command line, and the layout
// `cmake --install` leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ipcam_version.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;
using namespace std::chrono_literals;

struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Runs `command` through the shell and collects what it printed on each stream.
CommandResult runCommand(const std::string& command) {
  const TempFolder scratch;
  const fs::path out = scratch.path() / "out";
  const fs::path err = scratch.path() / "err";
  const int status =
      std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
  CommandResult run;
  if (status != -1 && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.out = readFile(out);
  run.err = readFile(err);
  return run;
}

std::string versionLine() {
  return std::string("ipcam-viewer ") + kVersionString + "\n";
}

std::string quoted(const fs::path& path) {
  return "'" + path.string() + "'";
}

TEST(CommandLine, HelpVersionAndUnknownOptions) {
  // No display and no runtime folder: help and version need neither a window nor the lock.
  const std::string viewer = "env -u DISPLAY -u WAYLAND_DISPLAY " + quoted(IPCAM_VIEWER_BINARY);

  for (const char* option : {"--version", "-v"}) {
    const CommandResult version = runCommand(viewer + " " + option);
    EXPECT_EQ(version.exitCode, 0) << option;
    EXPECT_EQ(version.out, versionLine()) << option;
    EXPECT_EQ(version.err, "");
  }
  for (const char* option : {"--help", "-h", "-platform offscreen --help"}) {
    const CommandResult help = runCommand(viewer + " " + option);
    EXPECT_EQ(help.exitCode, 0) << option;
    EXPECT_TRUE(help.out.starts_with("Usage: ipcam-viewer")) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
  }
  const struct {
    const char* arguments;
    const char* message;
  } refused[] = {
      {"--frobnicate", "ipcam-viewer: unknown option '--frobnicate'"},
      {"--versions", "ipcam-viewer: unknown option '--versions'"},
      {"-platform", "ipcam-viewer: unknown option '-platform'"},  // its value is missing
      {"camera.ini", "ipcam-viewer: unexpected argument 'camera.ini'"},
  };
  for (const auto& c : refused) {
    const CommandResult run = runCommand(viewer + " " + c.arguments);
    EXPECT_EQ(run.exitCode, 2) << c.arguments;
    EXPECT_EQ(run.out, "") << c.arguments;
    EXPECT_TRUE(run.err.starts_with(c.message)) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
  }
}

TEST(Installation, LayoutAndTheInstalledProgramFindsItsResources) {
  TempFolder prefix;
  const CommandResult install =
      runCommand(std::string(quoted(IPCAM_CMAKE_COMMAND)) + " --install " +
                 quoted(IPCAM_BUILD_DIR) + " --prefix " + quoted(prefix.path()));
  ASSERT_EQ(install.exitCode, 0) << install.out << install.err;

  const fs::path root = prefix.path();
  const fs::path viewer = root / "bin/ipcam-viewer";
  for (const fs::path& file :
       {viewer, root / "share/ipcam-viewer/image/bg.bmp",
        root / "share/ipcam-viewer/image/MOVE_06.bmp",
        root / "share/ipcam-viewer/image/Snapshot_640_480.jpg",
        root / "share/ipcam-viewer/ini/English.ini", root / "share/ipcam-viewer/ini/Language.ini",
        root / "share/ipcam-viewer/Sound/ding.wav",
        root / "share/applications/ipcam-viewer.desktop",
        root / "share/icons/hicolor/48x48/apps/ipcam-viewer.png",
        root / "share/icons/hicolor/256x256/apps/ipcam-viewer.png"}) {
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
  }
  const std::string desktop = readFile(root / "share/applications/ipcam-viewer.desktop");
  EXPECT_NE(desktop.find("\nName=IP Camera Viewer\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nExec=ipcam-viewer\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nIcon=ipcam-viewer\n"), std::string::npos) << desktop;
  EXPECT_TRUE(
      readFile(root / "share/icons/hicolor/48x48/apps/ipcam-viewer.png").starts_with("\x89PNG"));

  const CommandResult version = runCommand(quoted(viewer) + " --version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, versionLine());

  // Started without IPCAM_RESOURCES, the installed program must find its skin in
  // share/ipcam-viewer: without it, it would stop at a box before reading its settings.
  TempFolder home;
  home.write(".asoundrc", "pcm.!default { type null }\nctl.!default { type hw card 0 }\n");
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", home.path().string());
  ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv resourcesEnv("IPCAM_RESOURCES", std::nullopt);
  const fs::path log = home.path() / "viewer.log";
  const pid_t child = ::fork();
  if (child == 0) {
    // Not from the build tree's folder either: the working directory must not matter.
    if (::chdir("/") != 0) ::_exit(126);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::execl(viewer.c_str(), viewer.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  const fs::path settings = home.path() / ".config/CORVEL IP Camera Viewer";
  const bool started = ipcam::testing::waitFor([&] { return fs::exists(settings); }, 30s);
  ::kill(child, SIGTERM);
  int status = 0;
  const bool ended =
      ipcam::testing::waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 20s);
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  EXPECT_TRUE(started) << readFile(log);
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace ipcam
