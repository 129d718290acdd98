#include "support/recording_viewer_ui.h"

namespace ipcam::testing {

void RecordingViewerUi::setChannelStatus(int channel, int code,
                                         const std::optional<std::string>& text) {
  std::lock_guard lock(mutex_);
  statuses_.push_back({channel, code, text});
}

void RecordingViewerUi::logEvent(int channel, const std::string& text) {
  std::lock_guard lock(mutex_);
  events_.push_back({channel, text});
}

void RecordingViewerUi::messageBox(const std::string& text, const std::string& title) {
  std::unique_lock lock(mutex_);
  messages_.push_back({text, title, false});
  // A held box keeps its caller waiting, as a box the user has not answered yet.
  boxesReleased_.wait(lock, [this] { return !holdBoxes_; });
}

void RecordingViewerUi::postMessage(const std::string& text, const std::string& title) {
  std::lock_guard lock(mutex_);
  messages_.push_back({text, title, true});
}

void RecordingViewerUi::holdBoxes() {
  std::lock_guard lock(mutex_);
  holdBoxes_ = true;
}

void RecordingViewerUi::releaseBoxes() {
  {
    std::lock_guard lock(mutex_);
    holdBoxes_ = false;
  }
  boxesReleased_.notify_all();
}

void RecordingViewerUi::presentPicture(int channel) {
  std::lock_guard lock(mutex_);
  pictures_.push_back(channel);
}

void RecordingViewerUi::setRecordingButtons(bool recordingOn) {
  std::lock_guard lock(mutex_);
  recordingOn_ = recordingOn;
}

void RecordingViewerUi::setScanInterval(int seconds) {
  std::lock_guard lock(mutex_);
  scanInterval_ = seconds;
}

std::vector<RecordingViewerUi::Status> RecordingViewerUi::statuses() const {
  std::lock_guard lock(mutex_);
  return statuses_;
}

std::vector<RecordingViewerUi::Message> RecordingViewerUi::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<RecordingViewerUi::Event> RecordingViewerUi::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<int> RecordingViewerUi::pictures() const {
  std::lock_guard lock(mutex_);
  return pictures_;
}

void RecordingViewerUi::clear() {
  std::lock_guard lock(mutex_);
  statuses_.clear();
  messages_.clear();
  events_.clear();
  pictures_.clear();
}

int RecordingViewerUi::scanInterval() const {
  std::lock_guard lock(mutex_);
  return scanInterval_;
}

}  // namespace ipcam::testing
