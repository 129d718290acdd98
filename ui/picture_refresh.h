#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/channel_count.h"

namespace ipcam::ui {

// New pictures of the channels, painted together at most once per screen refresh.
//
// Every picture used to cost its own repaint of the window: a sync of the repaint manager, a
// flush of the backing store and a round trip to the display server. Here the decoding
// threads only mark their channel; the first mark after a repaint wakes the user-interface
// thread, which repaints every marked channel at the next refresh, in one pass of the window.
// While no picture arrives, nothing runs.
class PictureRefresh : public QObject {
 public:
  // Marks the channels' tiles for repainting (user-interface thread); bit n is channel n.
  using RepaintChannels = std::function<void(std::uint32_t channels)>;

  // Lives on the thread that creates it: the user-interface thread.
  explicit PictureRefresh(RepaintChannels repaint, QObject* parent = nullptr);

  // Any thread: `channel` has a new picture in its display.
  void pictureArrived(int channel);

  // The shortest time between two repaints; by default one refresh of the primary screen (60 Hz
  // where the screen does not say).
  void setInterval(std::chrono::milliseconds interval);
  std::chrono::milliseconds interval() const;

 private:
  static_assert(kChannelCount <= 32, "one bit per channel");

  void schedule();
  void repaint();

  const RepaintChannels repaintChannels_;
  std::atomic<std::uint32_t> pending_{0};  // atomic: set by any thread, taken by the UI thread
  QTimer timer_;                           // user-interface thread only
  std::chrono::steady_clock::time_point lastRepaint_{};     // user-interface thread only
  std::optional<std::chrono::milliseconds> fixedInterval_;  // user-interface thread only
};

}  // namespace ipcam::ui
