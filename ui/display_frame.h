#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/channel_count.h"
#include "platform/thread_slot.h"

namespace ipcam::ui {

// The scan: the named cameras shown alone, one after another in channel order, each for the
// scan interval, round after round.
//
// The scan thread only keeps time. Widgets belong to the user-interface thread, so each
// "show the next channel" is posted there and runs as showNext(); the counters below are
// therefore touched by the user-interface thread only.
class CDisplayFrame {
 public:
  // Runs on the user-interface thread: `channel`'s tile alone fills the video area.
  using ShowChannel = std::function<void(int channel)>;

  // `uiContext` is an object of the user-interface thread that outlives every scan step
  // posted to it (the application).
  CDisplayFrame(QObject* uiContext, ShowChannel show);
  ~CDisplayFrame();
  CDisplayFrame(const CDisplayFrame&) = delete;
  CDisplayFrame& operator=(const CDisplayFrame&) = delete;

  // Marks every camera with a name as taken into the scan; returns how many there are.
  int selectNamedCameras();

  bool scanning() const;
  // Starts the scan thread, which shows the first channel at once.
  void start(int intervalSeconds);
  // Ends the scan: the thread gets up to 1000 ms, then is left to end by itself.
  void stop();
  // One step of the scan (user-interface thread).
  void showNext();

  std::array<int, kChannelCount> channels{};  // the channel indexes 0..15
  std::array<int, kChannelCount> selected{};  // 1: taken into the scan
  int scanInterval = 3;                       // seconds per channel
  int nextIndex = 0;                          // next channel to test, 0..16
  int shownCount = 0;                         // channels shown in this round
  int selectedCount = 0;                      // channels in the scan

 private:
  // What the scan thread and the steps it posts share; the thread holds it, so an abandoned
  // thread never reaches a destroyed frame.
  struct Shared {
    platform::ThreadSlot::RunFlag scanning{0};  // atomic
    CDisplayFrame* owner = nullptr;             // user-interface thread only
  };

  static void postStep(QObject* uiContext, const std::shared_ptr<Shared>& shared);

  QObject* const uiContext_;
  const ShowChannel show_;
  std::shared_ptr<Shared> shared_;  // user-interface thread only; a new one for every start
  platform::ThreadSlot thread_;     // user-interface thread only
};

}  // namespace ipcam::ui
