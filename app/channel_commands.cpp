#include "app/channel_commands.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/connection_worker.h"
#include "app/multi_language.h"
#include "app/viewer_settings.h"
#include "app/viewer_ui.h"
#include "media/channel_media.h"
#include "recording/channel_recorder.h"
#include "recording/recording_threads.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

// Lets a camera that was just disconnected settle before its settings are wiped.
constexpr auto kResetPause = 500ms;

bool validChannel(int channel) {
  return channel >= 0 && channel < kChannelCount;
}

void tileText(int channel, int code, const char* key) {
  setChannelStatus(channel, code, CMultiLanguage::instance().text("ViewerElement", key));
}

void logEvent(int channel, const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->logEvent(channel, text);
}

void closeLegacySocket(ChannelRecord& record) {
  if (const int socket = record.legacySocket.exchange(0); socket != 0) ::close(socket);
}

// The same order as shutdown, so that no thread is left feeding one that is already gone.
void stopChannelThreads(ChannelRecord& record) {
  record.stream.stopWorkers();
  ChannelThreads& threads = record.threads;
  const std::pair<ChannelRecord::RunFlag*, platform::ThreadSlot*> slots[] = {
      {&record.connectRunning, &threads.connect},
      {&record.mpeg4DataRunning, &threads.mpeg4Data},
      {&record.legacyDataRunning, &threads.legacyData},
      {&record.mpeg4DecodeRunning, &threads.mpeg4Decode},
      {&record.audioPlayRunning, &threads.audioPlay},
      {&record.scheduleRunning, &threads.schedule},
      {&record.manualRecordRunning, &threads.manualRecord},
      {&record.motionRunning, &threads.motion},
  };
  for (const auto& [runFlag, slot] : slots) {
    runFlag->store(0);
    slot->stop();
  }
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
  refreshChannelAddress(record);
  tileText(channel, kStatusDisconnected, "Message_Connecting");
  record.clearReconnect();
  record.connectRunning.store(1);
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
    stopChannelThreads(record);
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
  // A camera the settings dialog is about to drop is saved by the dialog itself.
  if (takeCameraFlag(channel, &CameraSettings::needsStop) == 0) saveSettings(liveSettings());
  tileText(channel, kStatusNoSignal, "Message_NoSignal");
}

void startManualRecord(int channel) {
  if (!validChannel(channel)) return;
  ChannelRecord& record = channelRecord(channel);
  record.manualRecord.store(1);
  if (startManualRecordThread(record)) return;
  // No recorder yet: say so rather than leave a request nobody will ever serve.
  record.manualRecord.store(0);
  record.manualRecordRunning.store(0);
  logEvent(channel, "Manual recording is not available in this version yet");
}

void stopManualRecord(int channel) {
  if (!validChannel(channel)) return;
  ChannelRecord& record = channelRecord(channel);
  record.manualRecord.store(0);
  record.manualRecordRunning.store(0);
  if (record.manualRecorder) record.manualRecorder->close();
}

}  // namespace ipcam
