// The real program as a user starts it: one instance at a time, and a signal closes it the
// orderly way with the settings saved.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/text_encoding.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;
using namespace std::chrono_literals;

struct Child {
  pid_t pid = -1;
  std::filesystem::path output;
};

// Starts the viewer with its standard output and error going to `output`.
Child startViewer(const std::filesystem::path& output) {
  Child child{::fork(), output};
  if (child.pid == 0) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::execl(IPCAM_VIEWER_BINARY, IPCAM_VIEWER_BINARY, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

// The exit status, or -1 when the process is still running after `limit`.
int waitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(20ms);
  }
  return -1;
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(ViewerProcess, SecondStartEndsSilentlyAndSigtermSavesTheSettings) {
  TempFolder home;
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", home.path().string());
  ScopedEnv traceEnv("IPCAM_TRACE", std::nullopt);
  const auto settingsFolder = home.path() / ".config" / "CORVEL IP Camera Viewer";

  const Child first = startViewer(home.path() / "first.log");
  ASSERT_GT(first.pid, 0);
  // Up once it has found its settings folder (whatever box it may show after that).
  ASSERT_TRUE(ipcam::testing::waitFor([&] { return std::filesystem::exists(settingsFolder); }, 30s))
      << readFile(first.output);

  const Child second = startViewer(home.path() / "second.log");
  EXPECT_EQ(waitForExit(second.pid, 30s), 0);
  EXPECT_EQ(readFile(second.output), "");
  EXPECT_EQ(::kill(first.pid, 0), 0) << "the running viewer must not be disturbed";

  ::kill(first.pid, SIGTERM);
  const int status = waitForExit(first.pid, 20s);
  if (status == -1) ::kill(first.pid, SIGKILL);
  EXPECT_EQ(status, 0) << readFile(first.output);

  const std::string bytes = readFile(settingsFolder / "avcln.ini");
  ASSERT_TRUE(bytes.starts_with("\xFF\xFE"));
  const std::string text = platform::utf16ToUtf8(platform::decodeUtf16(bytes.substr(2), false));
  EXPECT_TRUE(text.starts_with("[Global]\r\nDivision=16\r\n")) << text.substr(0, 80);
  EXPECT_NE(text.find("[Record31]\r\nID=-1\r\n"), std::string::npos);
}

}  // namespace
}  // namespace ipcam
