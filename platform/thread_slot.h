#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace ipcam::platform {

// One slot for one worker thread, with the rule every channel thread follows:
// start() raises the run flag and keeps the thread; stop() drops the flag, waits up to
// a time limit (1000 ms by default) and after that abandons (detaches) the thread.
//
// The run flag is owned by the caller and shared with other readers (it lives in the
// channel record). It must outlive any thread that may be abandoned, so in practice it
// has static storage duration. The body must itself hold shared ownership of whatever it
// uses, or use only objects that live until process exit: a slot never frees anything an
// abandoned thread could still touch.
//
// Any thread may start or stop a slot (a data thread restarts the connection worker while the
// user may press "Connect"); the slot serialises them.
//
// A thread that ends by itself clears its run flag and leaves the slot empty. An abandoned
// thread that ends later does not touch the flag any more, so it cannot clear the flag of a
// newer thread started in the same slot.
class ThreadSlot {
 public:
  using RunFlag = std::atomic<std::int32_t>;

  ThreadSlot() = default;
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;
  // Stops the thread with the default limit.
  ~ThreadSlot();

  // Sets `runFlag` to 1 and starts `body` on a new thread. Refuses (returns false, starts
  // nothing) while an earlier thread of this slot is still running.
  bool start(RunFlag& runFlag, std::function<void()> body);

  // Clears the run flag and waits up to `limit` for the thread. Returns true when the thread
  // ended in time (or none was running), false when it was abandoned. The slot is empty
  // afterwards either way. Safe to call twice and on an empty slot.
  bool stop(std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

  // True while the slot holds a thread that has not yet ended.
  bool running() const;

 private:
  struct Shared;
  mutable std::mutex mutex_;
  std::shared_ptr<Shared> shared_;  // guarded by mutex_
};

}  // namespace ipcam::platform
