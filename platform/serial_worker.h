#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/thread_slot.h"

namespace ipcam::platform {

// A thread that runs posted tasks one after another, in the order they came. Whoever posts
// never waits: the user-interface thread hands slow work (stopping a channel, a request to a
// camera) to it and goes on painting.
//
// The thread starts with the first task and then stays, idle on its queue, until stop(). A
// stopped worker takes no more tasks. A task gets the worker's ThreadRun, so a long task can
// watch the run flag and end early when the worker is stopped.
class SerialWorker {
 public:
  using Task = std::function<void(const ThreadRun&)>;

  // At most `maxPending` tasks wait behind the running one; more are refused. The thread
  // carries `name`.
  explicit SerialWorker(std::size_t maxPending, std::string name = "tasks");
  // Stops the worker with the default limit.
  ~SerialWorker();
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // Queues `task`. False when the queue is full or the worker was stopped.
  bool post(Task task);

  // Drops the tasks that wait, tells the running one to end, and waits up to `limit` for the
  // thread (then it is abandoned, as every slot's thread). No task is taken afterwards.
  bool stop(std::chrono::milliseconds limit = std::chrono::milliseconds(1000));
  // Drops the waiting tasks and tells the running one to end; does not wait.
  void requestStop();

  // Takes tasks again after a stop (a program that starts anew in the same process).
  void resume();

  // True while a task runs or waits.
  bool busy() const;

 private:
  struct Queue;
  std::shared_ptr<Queue> queue_;  // shared with the thread, which may outlive the worker
  const std::string name_;
  ThreadSlot slot_;
};

}  // namespace ipcam::platform
