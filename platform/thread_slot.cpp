#include "platform/thread_slot.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/trace.h"

namespace ipcam::platform {

// Held by the slot and by its thread. Once a thread is abandoned, this record and the run
// flag are the only things it may still touch, which is why it is shared rather than owned.
struct ThreadSlot::Shared {
  explicit Shared(RunFlag& flag) : runFlag(flag) {}

  RunFlag& runFlag;    // set before the thread starts, never changed; the flag itself is atomic
  std::thread thread;  // the owning slot only (the thread never looks at it)
  std::mutex mutex;
  std::condition_variable ended;  // signalled once, when `finished` becomes true
  bool finished = false;          // protected by `mutex`
  bool abandoned = false;         // protected by `mutex`
};

ThreadSlot::~ThreadSlot() {
  stop();
}

bool ThreadSlot::start(RunFlag& runFlag, std::function<void()> body) {
  std::lock_guard slotLock(mutex_);
  if (shared_) {
    {
      std::lock_guard lock(shared_->mutex);
      if (!shared_->finished) return false;
    }
    // The previous thread ended by itself; only the join is left.
    shared_->thread.join();
    shared_.reset();
  }

  auto shared = std::make_shared<Shared>(runFlag);
  runFlag.store(1);
  try {
    shared->thread = std::thread([shared, body = std::move(body)]() mutable {
      try {
        if (body) body();
      } catch (const std::exception& e) {
        trace("thread slot: the thread body threw: %s", e.what());
      } catch (...) {
        trace("thread slot: the thread body threw a non-standard exception");
      }
      {
        std::lock_guard lock(shared->mutex);
        shared->finished = true;
        // Once abandoned, the flag may already belong to a newer thread of the same slot.
        if (!shared->abandoned) shared->runFlag.store(0);
        shared->ended.notify_all();
      }
      // Released only now, after the end was reported: whoever watches the captures go away
      // knows the decision about the flag has been taken.
      body = nullptr;
    });
  } catch (const std::system_error& e) {
    runFlag.store(0);
    trace("thread slot: cannot start a thread: %s", e.what());
    return false;
  }
  shared_ = std::move(shared);
  return true;
}

bool ThreadSlot::stop(std::chrono::milliseconds limit) {
  // The slot stays locked through the wait, so nobody can start a second thread in it while
  // the first is still on its way out.
  std::lock_guard slotLock(mutex_);
  if (!shared_) return true;
  const std::shared_ptr<Shared> shared = std::move(shared_);
  shared->runFlag.store(0);

  bool endedInTime = false;
  {
    std::unique_lock lock(shared->mutex);
    endedInTime = shared->ended.wait_for(lock, limit, [&shared] { return shared->finished; });
    if (!endedInTime) shared->abandoned = true;
  }
  if (endedInTime) {
    shared->thread.join();
  } else {
    trace("thread slot: the thread did not end within %lld ms, abandoning it",
          static_cast<long long>(limit.count()));
    shared->thread.detach();
  }
  return endedInTime;
}

bool ThreadSlot::running() const {
  std::shared_ptr<Shared> shared;
  {
    std::lock_guard slotLock(mutex_);
    shared = shared_;
  }
  if (!shared) return false;
  std::lock_guard lock(shared->mutex);
  return !shared->finished;
}

}  // namespace ipcam::platform
