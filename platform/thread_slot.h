#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "platform/run_flag.h"

namespace ipcam::platform {

// What one thread of a slot knows about its own run. Every thread gets a fresh one, so a
// thread that was given up on and a newer thread of the same slot never share a flag: the
// older one sees itself stopped for good, whatever happens to the slot afterwards.
class ThreadRun {
 public:
  ThreadRun() = default;
  ThreadRun(const ThreadRun&) = delete;
  ThreadRun& operator=(const ThreadRun&) = delete;

  // Set while the slot wants the thread to go on; cleared once, by the slot, and never set
  // again. Blocking waits sleep on it (or on the stop token) so that a stop is noticed at once.
  const RunFlag& flag() const { return flag_; }
  // Requested together with the flag's clear: for condition_variable_any waits, which it wakes.
  std::stop_token stopToken() const { return stop_.get_token(); }
  bool running() const { return flag_.load() != 0; }
  // The slot stopped waiting for this thread. A newer thread may own the channel by now, so
  // the thread ends without reporting anything or touching the channel's other threads.
  bool abandoned() const { return abandoned_.load(); }

 private:
  friend class ThreadSlot;
  RunFlag flag_{1};                     // atomic
  std::stop_source stop_;               // thread-safe
  std::atomic<bool> abandoned_{false};  // atomic
};

// The ThreadRun of the slot thread that calls, or null on a thread no slot started. Blocking
// waits deep inside a call (a camera query, say) use it to end as soon as the thread is told
// to stop, without every caller handing the flag down.
const ThreadRun* currentThreadRun();

// One slot for one worker thread, with the rule every channel thread follows: start() raises
// the run flag and keeps the thread; stop() drops the flag, waits up to a time limit (1000 ms
// by default) and after that abandons (detaches) the thread.
//
// The slot also keeps a run flag that other threads read to know whether the slot's thread
// runs (it lives in the channel record). Only the slot writes it: 1 at start, 0 at stop or
// when the thread ends by itself. A thread never writes it; it ends, and the slot notices. An
// abandoned thread that ends later leaves it alone, so it cannot stop a newer thread.
//
// The body must hold shared ownership of whatever it uses, or use only objects that live
// until process exit: a slot never frees anything an abandoned thread could still touch. The
// ThreadRun handed to the body stays valid for the whole run of the body.
//
// Any thread may start or stop a slot (a data thread restarts the connection worker while the
// user may press "Connect"); the slot serialises them. running() and requestStop() never wait
// for a stop in progress, so the user-interface thread may call them.
class ThreadSlot {
 public:
  using RunFlag = platform::RunFlag;
  using Body = std::function<void(const ThreadRun&)>;

  ThreadSlot() = default;
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;
  // Stops the thread with the default limit.
  ~ThreadSlot();

  // Sets `runFlag` to 1 and starts `body` on a new thread named `name` (the system keeps 15
  // characters; per-thread tools show it). Refuses (returns false, starts nothing) while an
  // earlier thread of this slot is still running. `runFlag` must outlive every thread of the
  // slot (in practice it has static storage duration).
  bool start(RunFlag& runFlag, Body body, std::string name = "worker");

  // Tells the thread to end without waiting for it.
  void requestStop();

  // Tells the thread to end and waits up to `limit` for it. Returns true when the thread ended
  // in time (or none was running), false when it was abandoned. The slot is empty afterwards
  // either way. Safe to call twice and on an empty slot.
  bool stop(std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

  // True while the slot holds a thread that has not yet ended.
  bool running() const;

  // Sleeps until the slot's thread has ended (true; also when there is none), `end` passes or
  // `stop` is requested (false). The thread may be joined by someone else meanwhile.
  bool waitUntilEnded(std::chrono::steady_clock::time_point end, std::stop_token stop) const;

 private:
  struct Shared;
  std::shared_ptr<Shared> current() const;

  std::mutex mutex_;  // serialises start and stop; held while stop waits
  mutable std::mutex stateMutex_;
  std::shared_ptr<Shared> shared_;  // guarded by stateMutex_ (only written under mutex_ too)
};

}  // namespace ipcam::platform
