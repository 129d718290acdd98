#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/viewer_ui.h"

namespace ipcam::testing {

// A ViewerUi that records every call; message boxes return at once, unless the test holds
// them (then they wait, as for a user who has not answered, until released). Posted messages
// never wait, held or not.
class RecordingViewerUi : public ViewerUi {
 public:
  struct Status {
    int channel;
    int code;
    std::optional<std::string> text;
  };
  struct Message {
    std::string text;
    std::string title;
    bool posted = false;  // through postMessage: the caller did not wait
  };
  struct Event {
    int channel;
    std::string text;
  };

  void setChannelStatus(int channel, int code, const std::optional<std::string>& text) override;
  void logEvent(int channel, const std::string& text) override;
  void messageBox(const std::string& text, const std::string& title) override;
  void postMessage(const std::string& text, const std::string& title) override;
  void presentPicture(int channel) override;
  int visibleTileCount() const override { return visibleTiles; }
  int singleChannel() const override { return single; }
  void setRecordingButtons(bool recordingOn) override;
  void setScanInterval(int seconds) override;

  // Copies taken under the lock, safe while workers still report.
  std::vector<Status> statuses() const;
  std::vector<Message> messages() const;
  std::vector<Event> events() const;
  std::vector<int> pictures() const;
  int scanInterval() const;
  // Forgets everything recorded so far.
  void clear();
  // From now on message boxes (not posted ones) keep their callers until releaseBoxes().
  void holdBoxes();
  void releaseBoxes();

  // Set by the test while the channel threads read them.
  std::atomic<int> visibleTiles{16};
  std::atomic<int> single{0};

 private:
  mutable std::mutex mutex_;
  std::vector<Status> statuses_;   // guarded by mutex_
  std::vector<Message> messages_;  // guarded by mutex_
  std::vector<Event> events_;      // guarded by mutex_
  std::vector<int> pictures_;      // guarded by mutex_
  bool recordingOn_ = false;       // guarded by mutex_
  int scanInterval_ = -1;          // guarded by mutex_
  bool holdBoxes_ = false;         // guarded by mutex_
  std::condition_variable boxesReleased_;
};

}  // namespace ipcam::testing
