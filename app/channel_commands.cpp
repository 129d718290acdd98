#include "app/channel_commands.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/channel_pipeline.h"
#include "app/connection_worker.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/frame_sink.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "protocols/av_server_client.h"
#include "recording/recording_threads.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// Lets a camera that was just disconnected settle before its settings are wiped.
constexpr auto kResetPause = 500ms;

bool validChannel(int channel) {
  return channel >= 0 && channel < kChannelCount;
}

// Reads a run-time integer of the live camera and clears it, under the settings lock.
std::int32_t takeCameraFlag(int channel, std::int32_t CameraSettings::*flag) {
  std::lock_guard lock(settingsMutex());
  CameraSettings& camera = liveSettings().camera[static_cast<std::size_t>(channel)];
  return std::exchange(camera.*flag, 0);
}

// Clears the run-time integer only when it is 1; true when it was.
bool takeCameraFlagIfOne(int channel, std::int32_t CameraSettings::*flag) {
  std::lock_guard lock(settingsMutex());
  CameraSettings& camera = liveSettings().camera[static_cast<std::size_t>(channel)];
  if (camera.*flag != 1) return false;
  camera.*flag = 0;
  return true;
}

// The user's "Connect", a changed camera and a reset start the channel afresh: the last
// picture is not kept for a comeback (the reconnects of a lost stream keep it, marked as old).
void startAfresh(ChannelRecord& record) {
  if (record.display) record.display->discardPicture();
  forgetPictures(record);
}

}  // namespace

ChannelMenuState channelMenuState(int channel) {
  ChannelMenuState state;
  if (!validChannel(channel)) return state;
  const ChannelRecord& record = channelRecord(channel);
  state.status = record.status.load();
  state.streamWorkerRunning = record.stream.anyWorkerRunning();
  // A thread that ends by itself leaves its slot, so a slot that holds one holds a running one.
  state.connectionThreadRunning = record.threads.connect.running() ||
                                  record.threads.mpeg4Data.running() ||
                                  record.threads.legacyData.running();
  state.configured = isCameraConfigured(channel, false) != 0;
  state.manualRecording = record.manualRecorder && record.manualRecorder->recording();
  return state;
}

std::vector<int> contextMenuEntries(const ChannelMenuState& state) {
  const bool busy = state.streamWorkerRunning || state.connectionThreadRunning;
  if (state.status == kStatusLive || state.status == kStatusRecording) {
    // A live channel with nothing behind it has nothing to disconnect or restart.
    if (!busy) return {kCommandConfigureCamera};
    return {kCommandConfigureCamera, kCommandDisconnect, kCommandReset, kCommandSeparator,
            state.manualRecording ? kCommandStopRecord : kCommandStartRecord};
  }
  if (!state.configured) return {kCommandConfigureCamera};
  if (busy) return {kCommandDisconnect};
  return {kCommandConfigureCamera, kCommandConnect, kCommandReset};
}

std::vector<int> contextMenuEntries(int channel) {
  return contextMenuEntries(channelMenuState(channel));
}

void connectChannel(int channel) {
  if (!validChannel(channel)) return;
  ChannelRecord& record = channelRecord(channel);
  closeLegacySocket(record);
  startAfresh(record);
  refreshChannelAddress(record);
  showTileText(channel, kStatusDisconnected, "Message_Connecting");
  record.clearReconnect();
  armReconnect(record);
  startConnectionWorker(record);
  takeCameraFlag(channel, &CameraSettings::needsStart);
}

void disconnectChannel(int channel) {
  if (!validChannel(channel)) return;
  ChannelRecord& record = channelRecord(channel);
  record.legacyReconnect.store(false);
  record.mpeg4Reconnect.store(false);

  // A channel that is already disconnected has nothing left to stop, and must not be
  // restarted behind the user's back.
  const bool stopped = record.status.load() != kStatusDisconnected;
  if (stopped) {
    setChannelStatus(channel, kStatusDisconnected, nullptr);
    channelPipeline().stopChannel(record);
    // A data connection opened by a pass the stop cut short has no thread to close it.
    if (record.avClient) AvsTeardown(*record.avClient);
    closeLegacySocket(record);
    if (record.media) record.media->close();
  }

  takeCameraFlag(channel, &CameraSettings::needsRestart);
  if (stopped && takeCameraFlagIfOne(channel, &CameraSettings::restartPending)) {
    connectChannel(channel);
  }
}

void resetChannel(int channel) {
  if (!validChannel(channel)) return;
  disconnectChannel(channel);
  std::this_thread::sleep_for(kResetPause);
  resetCamera(liveSettings(), channel);
  startAfresh(channelRecord(channel));
  // A camera the settings dialog is about to drop is saved by the dialog itself.
  if (takeCameraFlag(channel, &CameraSettings::needsStop) == 0) saveSettings(liveSettings());
  showTileText(channel, kStatusNoSignal, "Message_NoSignal");
}

bool postChannelCommand(int channel, int command) {
  if (!validChannel(channel)) return false;
  void (*action)(int) = nullptr;
  switch (command) {
    case kCommandConnect:
      action = connectChannel;
      break;
    case kCommandDisconnect:
      action = disconnectChannel;
      break;
    case kCommandReset:
      action = resetChannel;
      break;
    case kCommandStartRecord:
      action = startManualRecord;
      break;
    case kCommandStopRecord:
      action = stopManualRecord;
      break;
    default:
      return false;
  }
  return channelRecord(channel).threads.commands.post(
      [action, channel](const platform::ThreadRun&) { action(channel); });
}

bool channelCommandsBusy(int channel) {
  return validChannel(channel) && channelRecord(channel).threads.commands.busy();
}

void startManualRecord(int channel) {
  if (!validChannel(channel)) return;
  ChannelRecord& record = channelRecord(channel);
  record.manualRecord.store(1);
  // A thread that already runs keeps recording; it is not started twice.
  startManualRecordThread(record);
}

void stopManualRecord(int channel) {
  if (!validChannel(channel)) return;
  ChannelRecord& record = channelRecord(channel);
  record.manualRecord.store(0);
  record.threads.manualRecord.stop();
  // The thread stops its recorder as it ends; one that was given up on does not.
  if (record.manualRecorder) record.manualRecorder->stopRecording();
}

std::optional<ManualRecordProblem> checkManualRecordStart() {
  const int index = appState().currentRecordDir.load();
  std::string dir;
  if (index >= 0 && index < kRecPathCount) {
    std::lock_guard lock(settingsMutex());
    dir = liveSettings().recPath[static_cast<std::size_t>(index)];
  }
  if (dir.empty()) return ManualRecordProblem{"MessageBox", "Message_RecordingSpaceFull"};
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::path(dir) / "Data", error)) {
    return ManualRecordProblem{"ErrorMessage", "Path_Error"};
  }
  return std::nullopt;
}

void startManualRecordingEverywhere() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const ChannelRecord& record = channelRecord(channel);
    const std::int32_t status = record.status.load();
    if (status != kStatusLive && status != kStatusRecording) continue;
    if (record.manualRecorder && record.manualRecorder->recording()) continue;
    postChannelCommand(channel, kCommandStartRecord);
  }
}

void stopManualRecordingEverywhere() {
  appState().recordingOn.store(false);
  for (int channel = 0; channel < kChannelCount; ++channel) {
    postChannelCommand(channel, kCommandStopRecord);
  }
}

}  // namespace ipcam
