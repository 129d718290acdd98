#include "platform/run_flag.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace ipcam::platform {
namespace {

static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t) &&
                  std::atomic<std::int32_t>::is_always_lock_free,
              "the futex calls need the flag to be a plain 32-bit word");

// The kernel compares the word with `expected` and sleeps only while they are equal, so a
// clear that lands between our look at the flag and the sleep is never missed.
long futexWait(const std::atomic<std::int32_t>& word, std::int32_t expected,
               const timespec* timeout) {
  return ::syscall(SYS_futex, reinterpret_cast<const std::int32_t*>(&word), FUTEX_WAIT_PRIVATE,
                   expected, timeout, nullptr, 0);
}

void futexWakeAll(const std::atomic<std::int32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<const std::int32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
}

}  // namespace

RunFlag::~RunFlag() {
  const int fd = stopFd_.load();
  if (fd >= 0) ::close(fd);
}

void RunFlag::store(std::int32_t value) noexcept {
  value_.store(value);
  if (value == 0) {
    futexWakeAll(value_);
    signalStop();
  } else {
    clearStop();
  }
}

bool RunFlag::sleepWhileSet(std::chrono::nanoseconds duration) const {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + duration;
  for (;;) {
    const std::int32_t seen = value_.load();
    if (seen == 0) return false;
    const auto left = end - Clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return true;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>((left - seconds).count())};
    // Woken by a clear, by a signal or spuriously: the loop looks again either way.
    futexWait(value_, seen, &timeout);
  }
}

int RunFlag::stopDescriptor() const {
  int fd = stopFd_.load();
  if (fd >= 0) return fd;
  const int made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (made < 0) return -1;
  int expected = -1;
  if (!stopFd_.compare_exchange_strong(expected, made)) {
    ::close(made);
    return expected;
  }
  // A clear that came before the descriptor existed had nothing to signal.
  if (value_.load() == 0) signalStop();
  return made;
}

void RunFlag::signalStop() const noexcept {
  const int fd = stopFd_.load();
  if (fd >= 0) {
    const eventfd_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
  }
}

void RunFlag::clearStop() const noexcept {
  const int fd = stopFd_.load();
  if (fd >= 0) {
    eventfd_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(fd, &count, sizeof count);
  }
}

}  // namespace ipcam::platform
