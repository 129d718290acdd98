#include "recording/channel_recorder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/media_queue.h"
#include "core/multi_language.h"
#include "core/recording_wake.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/trace.h"
#include "recording/record_names.h"

namespace ipcam {
namespace {

constexpr const char* kManualMode = "Manual";

// What each file's size estimate adds to a sample's length: the chunk header (8) and the
// index entry (16), and one byte of padding after an odd length.
constexpr std::uint32_t kSampleOverheadBytes = 24;

// The rate rewrite: hundredths of a frame per second.
constexpr std::uint32_t kRateScale = 100;

// Channel status and the record buttons follow from all recorders together; one lock makes
// each recorder's "am I the last one?" decision and the state it sets one step. Taken inside
// a recorder lock, never around one.
std::mutex& recordingStateMutex() {
  static auto* const mutex = new std::mutex();  // lives until exit, as the recorders do
  return *mutex;
}

bool recorderRecording(const std::shared_ptr<FrameSink>& sink) {
  return sink && sink->recording();
}

bool anyRecorderOfChannelRecording(const ChannelRecord& record) {
  return recorderRecording(record.scheduleRecorder) || recorderRecording(record.manualRecorder) ||
         recorderRecording(record.motionRecorder);
}

bool anyManualRecorderRecording() {
  for (const ChannelRecord& record : channelRecords()) {
    if (recorderRecording(record.manualRecorder)) return true;
  }
  return false;
}

std::string recordDirectory(int index) {
  if (index < 0 || index >= kRecPathCount) return {};
  std::lock_guard lock(settingsMutex());
  return liveSettings().recPath[static_cast<std::size_t>(index)];
}

std::tm localTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}

std::string errorText(int error) {
  char buffer[128];
  // The GNU strerror_r returns the text, which may or may not be in the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

void rearmRecordingSpaceFullMessage() {
  appState().recorderSpaceFullShown.store(false);
}

ChannelRecorder::~ChannelRecorder() {
  close();
}

int ChannelRecorder::startRecording() {
  StartMessage message = StartMessage::kNone;
  int result = kStarted;
  {
    std::lock_guard lock(mutex_);
    stopLocked(StopKind::kNormal);
    result = startLocked(message);
  }
  showStartMessage(message);
  return result;
}

int ChannelRecorder::splitRecording() {
  StartMessage message = StartMessage::kNone;
  int result = kStarted;
  {
    std::lock_guard lock(mutex_);
    if (!recording_.load()) return kIdleOrEmpty;
    // A new file in the same second would take this one's name and replace it.
    if (wallClock_() == startSecond_) return kStarted;
    stopLocked(StopKind::kSplit);
    const bool wasSplitting = splitting_.exchange(true);
    result = startLocked(message);
    splitting_.store(wasSplitting);
    if (result != kStarted) {
      // The recording ends here after all: the channel and the buttons say so.
      leaveRecordingState(true);
    }
  }
  showStartMessage(message);
  return result;
}

int ChannelRecorder::startLocked(StartMessage& message) {
  AppState& state = appState();
  const int dirIndex = state.currentRecordDir.load();
  const std::string dir = recordDirectory(dirIndex);
  if (dir.empty()) {
    if (!state.recorderSpaceFullShown.exchange(true)) message = StartMessage::kSpaceFull;
    noteStartFailureLocked(kNoRecordDir, "no recording directory has room");
    return kNoRecordDir;
  }

  const std::time_t now = wallClock_();
  const std::string name = recordingFileName(dir, channel_, mode_, localTime(now));
  std::string failure;
  const int result = openFileLocked(name, failure);
  if (result != kStarted) {
    if (result == kCannotCreateFile && !state.recorderPathErrorShown.exchange(true)) {
      message = StartMessage::kPathError;
    }
    discardFileLocked(name);
    noteStartFailureLocked(result, name + ": " + failure);
    return result;
  }
  if (std::exchange(startFailure_, kStarted) != kStarted) {
    // This recorder's stretch of failures is over: the next one is said again.
    state.recorderPathErrorShown.store(false);
    state.recorderSpaceFullShown.store(false);
  }

  if (!splitting_.load()) logChannelEvent(channel_, "Start " + mode_);
  currentFile_ = name;
  startTick_ = std::chrono::steady_clock::now();
  startSecond_ = now;
  writtenBytes_ = 0;
  durationMs_ = 0;
  keySeen_ = false;
  parameterSetsWritten_ = false;
  recording_.store(true);
  restartGsmBlocks();
  enterRecordingState();
  return kStarted;
}

void ChannelRecorder::restartGsmBlocks() const {
  int mode = static_cast<int>(RecordingMode::kManual);
  if (mode_ == "Schedule") mode = static_cast<int>(RecordingMode::kSchedule);
  if (mode_ == "Motion") mode = static_cast<int>(RecordingMode::kMotion);
  if (channel_ < 0 || channel_ >= kChannelCount) return;
  channelRecord(channel_).gsmBlockRestart[static_cast<std::size_t>(mode)].store(true);
}

void ChannelRecorder::noteStartFailureLocked(int failure, const std::string& what) {
  // The mode's thread tries again at every pass: one line per stretch of the same failure,
  // not one a second.
  if (std::exchange(startFailure_, failure) == failure) return;
  logChannelEvent(channel_, mode_ + " recording could not start: " + what);
}

void ChannelRecorder::discardFileLocked(const std::string& name) {
  // A file that was created but whose streams could not be set up holds no recording, at
  // worst not even its headers (a full disk): it goes, rather than be found later as a
  // recording that does not play.
  if (avi_ && avi_->isOpen()) {
    avi_->release();
    if (::unlink(name.c_str()) != 0) {
      platform::trace("recorder %d %s: cannot remove %s: %s", channel_ + 1, mode_.c_str(),
                      name.c_str(), errorText(errno).c_str());
    }
  }
  avi_.reset();
}

int ChannelRecorder::openFileLocked(const std::string& name, std::string& failure) {
  CameraSettings camera;
  if (channel_ >= 0 && channel_ < kChannelCount) camera = cameraSnapshot(channel_);
  format_ = recordingFormatFor(camera);
  const ChannelRecord& record = channelRecord(channel_);
  width_ = record.pictureWidth.load();
  height_ = record.pictureHeight.load();

  avi_ = std::make_unique<AviFile>();
  if (const int error = avi_->open(name); error != 0) {
    failure = errorText(error);
    platform::trace("recorder %d %s: cannot create %s: %s", channel_ + 1, mode_.c_str(),
                    name.c_str(), failure.c_str());
    return kCannotCreateFile;
  }
  videoStream_ = avi_->createStream(videoStreamHeader(format_.videoHandler, width_, height_));
  if (videoStream_ < 0) {
    failure = "the video stream could not be created";
    return kVideoStreamFailed;
  }
  if (!avi_->setFormat(videoStream_, videoFormatRecord(format_.videoHandler, width_, height_))) {
    failure = "the video format could not be set";
    return kVideoFormatFailed;
  }
  audioStream_ = -1;
  if (format_.audio != RecordedAudio::kNone) {
    audioStream_ = avi_->createStream(audioStreamHeader(format_.audio));
    if (audioStream_ < 0) {
      failure = "the audio stream could not be created";
      return kAudioStreamFailed;
    }
    if (!avi_->setFormat(audioStream_, audioFormatRecord(format_.audio))) {
      failure = "the audio format could not be set";
      return kAudioFormatFailed;
    }
  }
  return kStarted;
}

void ChannelRecorder::showStartMessage(StartMessage message) const {
  if (message == StartMessage::kNone) return;
  ViewerUi* ui = appState().ui.load();
  if (ui == nullptr) return;
  // Posted: the recording threads go on trying while the box waits for the user, so that
  // recording resumes by itself once a directory has room again.
  CMultiLanguage& language = CMultiLanguage::instance();
  if (message == StartMessage::kSpaceFull) {
    ui->postMessage(language.text("MessageBox", "Message_RecordingSpaceFull"),
                    kDefaultMessageTitle);
  } else {
    ui->postMessage(language.text("ErrorMessage", "Path_Error"), kDefaultMessageTitle);
  }
}

void ChannelRecorder::stopRecording() {
  std::lock_guard lock(mutex_);
  stopLocked(StopKind::kNormal);
}

void ChannelRecorder::close() {
  std::lock_guard lock(mutex_);
  stopLocked(StopKind::kClosing);
}

void ChannelRecorder::stopLocked(StopKind kind) {
  const bool wasRecording = recording_.exchange(false);
  const std::string file = std::exchange(currentFile_, {});
  writtenBytes_ = 0;
  durationMs_ = 0;
  keySeen_ = false;
  parameterSetsWritten_ = false;
  if (avi_) {
    if (const int error = avi_->release(); error != 0 && error != avi_->failure()) {
      platform::trace("recorder %d %s: finishing %s: %s", channel_ + 1, mode_.c_str(), file.c_str(),
                      errorText(error).c_str());
    }
    avi_.reset();
  }
  videoStream_ = -1;
  audioStream_ = -1;
  if (wasRecording) restartGsmBlocks();
  if (!wasRecording || kind != StopKind::kNormal) return;

  const bool splitting = splitting_.load();
  if (!splitting) logChannelEvent(channel_, "Stop " + mode_);
  // A split continues in a new file within the second: the buttons stay as they are.
  leaveRecordingState(!splitting);
}

void ChannelRecorder::enterRecordingState() {
  std::lock_guard lock(recordingStateMutex());
  setChannelStatus(channel_, kStatusRecording, nullptr);
  if (mode_ != kManualMode) return;
  AppState& state = appState();
  if (!state.recordingOn.exchange(true)) {
    if (ViewerUi* ui = state.ui.load()) ui->setRecordingButtons(true);
  }
}

void ChannelRecorder::leaveRecordingState(bool swapButtons) {
  std::lock_guard lock(recordingStateMutex());
  const ChannelRecord& record = channelRecord(channel_);
  // Back to live only from recording: a channel that lost its camera meanwhile keeps saying so.
  if (record.status.load() == kStatusRecording) {
    setChannelStatus(
        channel_, anyRecorderOfChannelRecording(record) ? kStatusRecording : kStatusLive, nullptr);
  }
  if (mode_ != kManualMode || !swapButtons) return;
  AppState& state = appState();
  if (state.recordingOn.load() && !anyManualRecorderRecording()) {
    state.recordingOn.store(false);
    if (ViewerUi* ui = state.ui.load()) ui->setRecordingButtons(false);
  }
}

int ChannelRecorder::writeSample(std::span<const std::uint8_t> data, bool isAudio, bool keyFrame) {
  std::lock_guard lock(mutex_);
  if (isAudio) return writeAudioLocked(data);
  return writeVideoLocked(data, keyFrame, {});
}

bool ChannelRecorder::recording() const {
  return recording_.load();
}

void ChannelRecorder::writeFrame(std::span<const std::uint8_t> frame, bool keyFrame,
                                 std::string_view parameterSets) {
  std::lock_guard lock(mutex_);
  writeVideoLocked(frame, keyFrame, parameterSets);
}

int ChannelRecorder::writeAudio(std::span<const std::uint8_t> audio, AudioCoding coding) {
  std::lock_guard lock(mutex_);
  // Audio of another coding than the file's stream would make it undecodable.
  const bool fits = coding == AudioCoding::kALaw
                        ? format_.audio == RecordedAudio::kALaw
                        : format_.audio == RecordedAudio::kGsm610 && audio.size() == kGsmBlockBytes;
  if (recording_.load() && !audio.empty() && !fits) return kWriteFailed;
  return writeAudioLocked(audio);
}

int ChannelRecorder::writeVideoLocked(std::span<const std::uint8_t> frame, bool keyFrame,
                                      std::string_view parameterSets) {
  if (!recording_.load() || frame.empty()) return kIdleOrEmpty;
  if (frame.size() > kLargestFrameBytes) return kWriteFailed;
  if (keyFrame) {
    if (!prepareKeyFrameLocked(frame)) return kWriteFailed;
  } else if (!keySeen_) {
    // A file begins with a key frame: what comes before it could not be decoded.
    return kIdleOrEmpty;
  }
  if (!keySeen_) {
    keySeen_ = true;
    // The file's time starts with its first frame, not with the wait for it: a stream
    // started mid-GOP would otherwise play slower than it was recorded.
    startTick_ = std::chrono::steady_clock::now();
  }
  if (!parameterSetsWritten_ && !parameterSets.empty()) {
    // The parameter sets open the file, in the same chunk as its first picture: a chunk of
    // parameter sets alone is an access unit without a picture, which decoders report as
    // an error.
    std::vector<std::uint8_t> first(parameterSets.begin(), parameterSets.end());
    first.insert(first.end(), frame.begin(), frame.end());
    const int result = appendLocked(videoStream_, first, 1, keyFrame);
    if (result == kWritten) parameterSetsWritten_ = true;
    return result;
  }
  return appendLocked(videoStream_, frame, 1, keyFrame);
}

int ChannelRecorder::writeAudioLocked(std::span<const std::uint8_t> block) {
  if (!recording_.load() || block.empty()) return kIdleOrEmpty;
  if (audioStream_ < 0 || block.size() > kLargestFrameBytes) return kWriteFailed;
  if (!keySeen_) return kIdleOrEmpty;
  const std::int64_t samples =
      format_.audio == RecordedAudio::kGsm610 && block.size() == kGsmBlockBytes
          ? 1
          : static_cast<std::int64_t>(block.size());
  return appendLocked(audioStream_, block, samples, false);
}

int ChannelRecorder::appendLocked(int stream, std::span<const std::uint8_t> data,
                                  std::int64_t samples, bool keyFrame) {
  const std::int64_t end = avi_->streamStart(stream) + avi_->streamLength(stream);
  if (const int error = avi_->write(stream, end, data, samples, keyFrame ? AviFile::kKeyFrame : 0);
      error != 0) {
    if (error != EINVAL) endAfterFailureLocked(error);
    return kWriteFailed;
  }
  const auto length = static_cast<std::uint32_t>(data.size());
  const std::uint64_t before = writtenBytes_;
  writtenBytes_ += length + kSampleOverheadBytes + (length & 1U);
  if (const std::uint64_t split = splitBytes_.load();
      split != 0 && before < split && writtenBytes_ >= split) {
    recordingWake().notify();
  }
  updateDurationLocked();
  return kWritten;
}

void ChannelRecorder::updateDurationLocked() {
  std::int64_t duration = 0;
  if (audioStream_ >= 0) {
    duration = avi_->sampleToTime(
        audioStream_, avi_->streamStart(audioStream_) + avi_->streamLength(audioStream_));
  }
  // The audio's end lies one block after its last sample, so it spans every frame. The clock
  // starts with the first frame, so it spans one frame fewer than were written: counted
  // whole, the rate would come out high, the file would play fast, and an MPEG-4 file would
  // run ahead of its own stream's time stamps.
  std::int64_t framesSpanned = avi_->streamLength(videoStream_);
  if (duration == 0) {
    duration = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - startTick_)
                   .count();
    --framesSpanned;
  }
  durationMs_ = static_cast<std::uint32_t>(duration);
  if (framesSpanned < 1 || durationMs_ == 0) return;
  AviStreamHeader header = avi_->streamInfo(videoStream_);
  header.scale = kRateScale;
  header.rate = static_cast<std::uint32_t>(static_cast<double>(framesSpanned) * 1000.0 *
                                           kRateScale / static_cast<double>(durationMs_));
  if (header.rate == 0) header.rate = 1;
  avi_->setStreamInfo(videoStream_, header);
}

bool ChannelRecorder::keyFrameSize(std::span<const std::uint8_t> frame, int& width,
                                   int& height) const {
  if (handlerOfFrame(frame) == fourCc("MJPG")) return jpegPictureSize(frame, width, height);
  // The MPEG codecs' sizes come from the channel's decoder, one picture behind.
  const ChannelRecord& record = channelRecord(channel_);
  width = record.pictureWidth.load();
  height = record.pictureHeight.load();
  return width > 0 && height > 0;
}

bool ChannelRecorder::prepareKeyFrameLocked(std::span<const std::uint8_t> frame) {
  int width = 0;
  int height = 0;
  const bool sized = keyFrameSize(frame, width, height);
  if (avi_->streamLength(videoStream_) == 0) {
    // Before the first frame the file can still take what the camera really sends: the
    // settings may name another codec than the stream carries, and a thread may have
    // started the file before the first picture was decoded.
    const std::uint32_t handler = handlerOfFrame(frame);
    fitVideoLocked(handler != 0 ? handler : format_.videoHandler, sized ? width : width_,
                   sized ? height : height_);
    return true;
  }
  if (!sized || (width == width_ && height == height_)) return true;
  // The camera changed its picture size: every file keeps one size, so the recording goes on
  // in a new file from this key frame, once the new file cannot take this one's name.
  if (wallClock_() == startSecond_) return true;
  stopLocked(StopKind::kSplit);
  const bool wasSplitting = splitting_.exchange(true);
  StartMessage message = StartMessage::kNone;
  const int result = startLocked(message);
  splitting_.store(wasSplitting);
  if (result != kStarted) {
    leaveRecordingState(true);
    // Posting does not wait, so it may happen under the recorder lock.
    showStartMessage(message);
    return false;
  }
  const std::uint32_t handler = handlerOfFrame(frame);
  fitVideoLocked(handler != 0 ? handler : format_.videoHandler, width, height);
  return true;
}

void ChannelRecorder::fitVideoLocked(std::uint32_t handler, int width, int height) {
  if (handler == format_.videoHandler && width == width_ && height == height_) return;
  format_.videoHandler = handler;
  width_ = width;
  height_ = height;
  AviStreamHeader header = avi_->streamInfo(videoStream_);
  const AviStreamHeader fitted = videoStreamHeader(handler, width, height);
  header.handler = fitted.handler;
  header.frame = fitted.frame;
  avi_->setStreamInfo(videoStream_, header);
  avi_->setFormat(videoStream_, videoFormatRecord(handler, width, height));
}

void ChannelRecorder::endAfterFailureLocked(int error) {
  // The file keeps what was written before the failure and plays up to there; the mode's
  // thread, woken here, starts a new file, wherever the storage monitor then points.
  logChannelEvent(channel_, mode_ + " recording stopped: " + errorText(error));
  stopLocked(StopKind::kNormal);
  recordingWake().notify();
}

std::string ChannelRecorder::currentFile() const {
  std::lock_guard lock(mutex_);
  return currentFile_;
}

std::uint32_t ChannelRecorder::writtenBytes() const {
  std::lock_guard lock(mutex_);
  return writtenBytes_;
}

void ChannelRecorder::watchSplit(std::uint64_t bytes) {
  splitBytes_.store(bytes);
}

void ChannelRecorder::setWallClock(WallClock clock) {
  std::lock_guard lock(mutex_);
  wallClock_ = std::move(clock);
}

void ChannelRecorder::setSplitting(bool splitting) {
  splitting_.store(splitting);
}

bool ChannelRecorder::splitting() const {
  return splitting_.load();
}

}  // namespace ipcam
