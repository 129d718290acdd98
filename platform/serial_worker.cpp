#include "platform/serial_worker.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

#include "platform/trace.h"

namespace ipcam::platform {

struct SerialWorker::Queue {
  explicit Queue(std::size_t limit) : maxPending(limit) {}

  const std::size_t maxPending;
  RunFlag running{0};  // the slot's flag; atomic
  std::mutex mutex;
  // A task came, or the worker is stopping; "any" so that the thread's stop token wakes it.
  std::condition_variable_any changed;
  std::deque<Task> tasks;  // guarded by mutex
  bool working = false;    // guarded by mutex: a task is running
  bool stopped = false;    // guarded by mutex: no task is taken any more
};

SerialWorker::SerialWorker(std::size_t maxPending, std::string name)
    : queue_(std::make_shared<Queue>(maxPending)), name_(std::move(name)) {}

SerialWorker::~SerialWorker() {
  stop();
}

bool SerialWorker::post(Task task) {
  {
    std::lock_guard lock(queue_->mutex);
    if (queue_->stopped) return false;
    if (queue_->tasks.size() >= queue_->maxPending) {
      trace("serial worker: %zu tasks already wait, one more is refused", queue_->tasks.size());
      return false;
    }
    queue_->tasks.push_back(std::move(task));
  }
  queue_->changed.notify_all();
  if (slot_.running()) return true;
  // The first task (or the first after the thread ended on an exception) brings the thread up;
  // a start that races another one is refused by the slot, and the running thread takes the
  // task.
  slot_.start(
      queue_->running,
      [queue = queue_](const ThreadRun& run) {
        std::unique_lock lock(queue->mutex);
        while (run.running() && !queue->stopped) {
          if (queue->tasks.empty()) {
            queue->changed.wait(lock, run.stopToken(),
                                [&queue] { return queue->stopped || !queue->tasks.empty(); });
            continue;
          }
          Task next = std::move(queue->tasks.front());
          queue->tasks.pop_front();
          queue->working = true;
          lock.unlock();
          // A task that throws costs that task, not the worker.
          try {
            next(run);
          } catch (const std::exception& e) {
            trace("serial worker: a task threw: %s", e.what());
          } catch (...) {
            trace("serial worker: a task threw a non-standard exception");
          }
          next = nullptr;
          lock.lock();
          queue->working = false;
        }
      },
      name_);
  return true;
}

void SerialWorker::requestStop() {
  {
    std::lock_guard lock(queue_->mutex);
    queue_->stopped = true;
    queue_->tasks.clear();
  }
  queue_->changed.notify_all();
  slot_.requestStop();
}

bool SerialWorker::stop(std::chrono::milliseconds limit) {
  requestStop();
  return slot_.stop(limit);
}

void SerialWorker::resume() {
  std::lock_guard lock(queue_->mutex);
  queue_->stopped = false;
}

bool SerialWorker::busy() const {
  std::lock_guard lock(queue_->mutex);
  return queue_->working || !queue_->tasks.empty();
}

}  // namespace ipcam::platform
