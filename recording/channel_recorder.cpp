#include "recording/channel_recorder.h"

namespace ipcam {

void ChannelRecorder::close() {
  std::lock_guard lock(mutex_);
  currentFile_.clear();
}

std::string ChannelRecorder::currentFile() const {
  std::lock_guard lock(mutex_);
  return currentFile_;
}

}  // namespace ipcam
