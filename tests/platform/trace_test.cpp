#include "platform/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_environment.h"

namespace ipcam::platform {
namespace {

// The switch is read once per process, so it has to be on before anything traces.
const bool gTraceSwitchedOn = [] {
  ::setenv("IPCAM_TRACE", "1", 0);
  return true;
}();

// Sends standard error to a file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() {
    ::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    // O_APPEND: every write lands at the end, as on a terminal or a pipe.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() { restore(); }

  std::string finish() {
    restore();
    std::ifstream in(file_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  test_support::TempFolder folder_;
  std::filesystem::path file_ = folder_.path() / "stderr.txt";
  int saved_ = -1;
};

TEST(Trace, FormatsLinesOfAnyLength) {
  ASSERT_TRUE(traceEnabled());
  const std::string longText(10000, 'x');
  StderrCapture capture;
  trace("channel %d: %s|", 7, longText.c_str());
  traceLine("plain");
  EXPECT_EQ(capture.finish(), "channel 7: " + longText + "|\nplain\n");
}

TEST(Trace, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  StderrCapture capture;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string padding(200, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) trace("%d %s %d", t, padding.c_str(), i);
      });
    }
  }
  std::istringstream lines(capture.finish());
  std::map<int, int> nextLine;  // per thread, the line number expected next
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    int thread = -1;
    int number = -1;
    char padding[256] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %255s %d", &thread, padding, &number), 3) << line;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
    EXPECT_EQ(std::string(padding), std::string(200, static_cast<char>('a' + thread))) << line;
    EXPECT_EQ(number, nextLine[thread]++) << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace ipcam::platform
