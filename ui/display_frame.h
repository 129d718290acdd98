#pragma once

#include <QTimer>
#include <array>
#include <functional>

#include "core/channel_count.h"

namespace ipcam::ui {

// The scan: the named cameras shown alone, one after another in channel order, each for the
// scan interval, round after round.
//
// A timer of the user-interface thread keeps the time, so the scan needs no thread of its
// own and the steps run where the widgets live. User-interface thread only.
class CDisplayFrame {
 public:
  // `channel`'s tile alone fills the video area.
  using ShowChannel = std::function<void(int channel)>;

  explicit CDisplayFrame(ShowChannel show);
  ~CDisplayFrame();
  CDisplayFrame(const CDisplayFrame&) = delete;
  CDisplayFrame& operator=(const CDisplayFrame&) = delete;

  // Marks every camera with a name as taken into the scan; returns how many there are.
  int selectNamedCameras();

  bool scanning() const;
  // Starts the scan and shows the first channel at once.
  void start(int intervalSeconds);
  // Ends the scan; no step runs after it.
  void stop();
  // One step of the scan.
  void showNext();

  std::array<int, kChannelCount> channels{};  // the channel indexes 0..15
  std::array<int, kChannelCount> selected{};  // 1: taken into the scan
  int scanInterval = 3;                       // seconds per channel
  int nextIndex = 0;                          // next channel to test, 0..16
  int shownCount = 0;                         // channels shown in this round
  int selectedCount = 0;                      // channels in the scan

 private:
  const ShowChannel show_;
  QTimer timer_;
};

}  // namespace ipcam::ui
