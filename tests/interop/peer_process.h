#pragma once

// A real peer (GStreamer's RTSP server, FFmpeg) as a child process of the test: its stdin is
// ours to close (a well-behaved peer exits then), its stdout and stderr are ours to read.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ipcam::testing {

using PeerClock = std::chrono::steady_clock;

// Reads what `fd` delivers until `stop` says so, EOF, or the deadline.
inline std::string readUntil(int fd, PeerClock::time_point deadline,
                             const std::function<bool(const std::string&)>& stop) {
  std::string text;
  while (!stop(text)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - PeerClock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    std::array<char, 4096> chunk{};
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
  return text;
}

class PeerProcess {
 public:
  PeerProcess() = default;
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  ~PeerProcess() {
    stop();
    for (const int fd : {output_, errors_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Starts `program` with `arguments`; false when it could not even be forked.
  bool start(const std::string& program, const std::vector<std::string>& arguments) {
    std::array<int, 2> input{};
    std::array<int, 2> output{};
    std::array<int, 2> errors{};
    if (::pipe2(input.data(), O_CLOEXEC) != 0 || ::pipe2(output.data(), O_CLOEXEC) != 0 ||
        ::pipe2(errors.data(), O_CLOEXEC) != 0) {
      return false;
    }
    // Built before the fork: the child may only make async-signal-safe calls.
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string failure = "cannot execute " + program + "\n";

    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(input[0], STDIN_FILENO);
      ::dup2(output[1], STDOUT_FILENO);
      ::dup2(errors[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      [[maybe_unused]] const ssize_t written =
          ::write(STDERR_FILENO, failure.data(), failure.size());
      ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(errors[1]);
    input_ = input[1];
    output_ = output[0];
    errors_ = errors[0];
    return pid_ > 0;
  }

  // Closing stdin asks the peer to end; SIGTERM after `grace` and SIGKILL two seconds later
  // if it does not.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(1)) {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ > 0) {
      using namespace std::chrono_literals;
      int status = 0;
      const auto deadline = PeerClock::now() + grace + 2s;
      bool terminated = false;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (PeerClock::now() >= deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        if (!terminated && PeerClock::now() >= deadline - 2s) {
          ::kill(pid_, SIGTERM);
          terminated = true;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    pid_ = -1;
  }

  int output() const { return output_; }
  // What the peer wrote to stderr within `wait` (for a failure message).
  std::string errors(std::chrono::milliseconds wait) const {
    return readUntil(errors_, PeerClock::now() + wait, [](const std::string&) { return false; });
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
};

}  // namespace ipcam::testing
