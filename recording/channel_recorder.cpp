#include "recording/channel_recorder.h"

namespace ipcam {

// The AVI writer is not in yet: nothing is ever recorded, and every start reports that there
// is no file.

ChannelRecorder::~ChannelRecorder() {
  close();
}

int ChannelRecorder::startRecording() {
  return kCannotCreateFile;
}

void ChannelRecorder::stopRecording() {
  std::lock_guard lock(mutex_);
  currentFile_.clear();
}

int ChannelRecorder::writeSample(std::span<const std::uint8_t> /*data*/, bool /*isAudio*/,
                                 bool /*keyFrame*/) {
  return kIdleOrEmpty;
}

bool ChannelRecorder::recording() const {
  return false;
}

void ChannelRecorder::writeFrame(std::span<const std::uint8_t> /*frame*/, bool /*keyFrame*/,
                                 std::string_view /*parameterSets*/) {}

void ChannelRecorder::close() {
  std::lock_guard lock(mutex_);
  currentFile_.clear();
}

std::string ChannelRecorder::currentFile() const {
  std::lock_guard lock(mutex_);
  return currentFile_;
}

std::uint32_t ChannelRecorder::writtenBytes() const {
  return 0;
}

void ChannelRecorder::setSplitting(bool /*splitting*/) {}

bool ChannelRecorder::splitting() const {
  return false;
}

}  // namespace ipcam
