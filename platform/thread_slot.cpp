#include "platform/thread_slot.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/thread_name.h"
#include "platform/trace.h"

namespace ipcam::platform {

// Held by the slot and by its thread. Once a thread is abandoned, this record and the slot's
// run flag are the only things it may still touch, which is why it is shared rather than owned.
struct ThreadSlot::Shared {
  explicit Shared(RunFlag& flag) : slotFlag(flag) {}

  // Drops both flags: the thread's own, and the one the slot shows to readers.
  void tellToStop() {
    run.flag_.store(0);
    run.stop_.request_stop();
    std::lock_guard lock(mutex);
    if (!abandoned) slotFlag.store(0);
  }

  RunFlag& slotFlag;   // set before the thread starts, never changed; the flag itself is atomic
  ThreadRun run;       // the thread's own view; its fields are atomic
  std::thread thread;  // the owning slot only (the thread never looks at it)
  std::mutex mutex;
  // Signalled once, when `finished` becomes true; "any" so that a waiter's stop token wakes it.
  std::condition_variable_any ended;
  bool finished = false;   // protected by `mutex`
  bool abandoned = false;  // protected by `mutex`
};

namespace {

thread_local const ThreadRun* tCurrentRun = nullptr;

}  // namespace

const ThreadRun* currentThreadRun() {
  return tCurrentRun;
}

ThreadSlot::~ThreadSlot() {
  stop();
}

std::shared_ptr<ThreadSlot::Shared> ThreadSlot::current() const {
  std::lock_guard lock(stateMutex_);
  return shared_;
}

bool ThreadSlot::start(RunFlag& runFlag, Body body, std::string name) {
  std::lock_guard slotLock(mutex_);
  if (const std::shared_ptr<Shared> previous = current()) {
    {
      std::lock_guard lock(previous->mutex);
      if (!previous->finished) return false;
    }
    // The previous thread ended by itself; only the join is left.
    previous->thread.join();
    std::lock_guard lock(stateMutex_);
    shared_.reset();
  }

  auto shared = std::make_shared<Shared>(runFlag);
  runFlag.store(1);
  try {
    shared->thread = std::thread([shared, body = std::move(body)]() mutable {
      tCurrentRun = &shared->run;
      try {
        if (body) body(shared->run);
      } catch (const std::exception& e) {
        trace("thread slot: the thread body threw: %s", e.what());
      } catch (...) {
        trace("thread slot: the thread body threw a non-standard exception");
      }
      tCurrentRun = nullptr;
      {
        std::lock_guard lock(shared->mutex);
        shared->finished = true;
        // Once abandoned, the slot's flag may already belong to a newer thread.
        if (!shared->abandoned) shared->slotFlag.store(0);
        shared->ended.notify_all();
      }
      // Released only now, after the end was reported: whoever watches the captures go away
      // knows the decision about the flag has been taken.
      body = nullptr;
    });
    nameThread(shared->thread.native_handle(), name);
  } catch (const std::system_error& e) {
    runFlag.store(0);
    trace("thread slot: cannot start a thread: %s", e.what());
    return false;
  }
  std::lock_guard lock(stateMutex_);
  shared_ = std::move(shared);
  return true;
}

void ThreadSlot::requestStop() {
  if (const std::shared_ptr<Shared> shared = current()) shared->tellToStop();
}

bool ThreadSlot::stop(std::chrono::milliseconds limit) {
  // The slot stays locked through the wait, so nobody can start a second thread in it while
  // the first is still on its way out. Readers of running() are not held up: they only take
  // the state lock.
  std::lock_guard slotLock(mutex_);
  const std::shared_ptr<Shared> shared = current();
  if (!shared) return true;
  shared->tellToStop();

  bool endedInTime = false;
  {
    std::unique_lock lock(shared->mutex);
    endedInTime = shared->ended.wait_for(lock, limit, [&shared] { return shared->finished; });
    if (!endedInTime) {
      shared->abandoned = true;
      shared->run.abandoned_.store(true);
    }
  }
  if (endedInTime) {
    shared->thread.join();
  } else {
    trace("thread slot: the thread did not end within %lld ms, abandoning it",
          static_cast<long long>(limit.count()));
    shared->thread.detach();
  }
  std::lock_guard lock(stateMutex_);
  shared_.reset();
  return endedInTime;
}

bool ThreadSlot::waitUntilEnded(std::chrono::steady_clock::time_point end,
                                std::stop_token stop) const {
  const std::shared_ptr<Shared> shared = current();
  if (!shared) return true;
  std::unique_lock lock(shared->mutex);
  return shared->ended.wait_until(lock, stop, end, [&shared] { return shared->finished; });
}

bool ThreadSlot::running() const {
  const std::shared_ptr<Shared> shared = current();
  if (!shared) return false;
  std::lock_guard lock(shared->mutex);
  return !shared->finished;
}

}  // namespace ipcam::platform
