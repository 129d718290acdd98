#pragma once

#include <QApplication>
#include <chrono>
#include <thread>

namespace ipcam::testing {

// Runs the Qt event loop until `done` holds or `limit` passes; false on time-out. For waits
// whose answer comes through the user-interface thread (queued calls, dialogs, repaints).
template <class Condition>
bool processUntil(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace ipcam::testing
