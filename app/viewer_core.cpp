#include "app/viewer_core.h"

#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "alerts/motion_mail.h"
#include "app/channel_pipeline.h"
#include "app/connection_worker.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "platform/thread_name.h"
#include "platform/trace.h"
#include "protocols/av_server_client.h"
#include "recording/channel_recorder.h"
#include "recording/storage.h"

namespace ipcam {
namespace {

constexpr const char* kErrorTitle = "Error";

// How far the shutdown has come. Never destroyed: the thread that does the work may still
// be on its way out when the process ends.
struct ShutdownState {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;   // guarded by mutex
  bool finished = false;  // guarded by mutex
};

ShutdownState& shutdownState() {
  static auto* const state = new ShutdownState();
  return *state;
}

// Every thread is told to end first, so they all end at once and the waits that follow
// overlap instead of adding up.
void stopEveryThread() {
  AppState& state = appState();
  state.storageMonitor.requestStop();
  for (ChannelRecord& record : channelRecords()) {
    record.threads.commands.requestStop();
    record.threads.ptz.requestStop();
    requestChannelStop(record);
  }
  stopStorageMonitor();
  // A command still under way may start a thread; it ends before the channels are stopped.
  for (ChannelRecord& record : channelRecords()) {
    record.threads.commands.stop();
    record.threads.ptz.stop();
  }
  for (ChannelRecord& record : channelRecords()) channelPipeline().stopChannel(record);
  // After the motion threads, which queue the mails: a send in progress gives up at once.
  stopMotionMail();
}

void releaseChannels() {
  for (ChannelRecord& record : channelRecords()) {
    closeLegacySocket(record);
    // The objects themselves stay allocated until exit: a thread abandoned above may still
    // hold them. Closing releases what they own.
    if (record.display) record.display->close();
    if (record.avClient) record.avClient->disconnect();
    if (record.audioPlayer) record.audioPlayer->close();
    if (record.media) record.media->close();
    for (const auto& recorder :
         {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
      if (recorder) recorder->close();
    }
  }
}

}  // namespace

void attachUi(ViewerUi* ui) {
  appState().ui.store(ui);
  appState().shuttingDown.store(false);
  ShutdownState& state = shutdownState();
  std::lock_guard lock(state.mutex);
  // A window after an earlier one (the tests start several in one process) begins afresh.
  if (state.finished) {
    state.started = state.finished = false;
    for (ChannelRecord& record : channelRecords()) {
      record.threads.commands.resume();
      record.threads.ptz.resume();
    }
  }
}

void loadConfiguration(ViewerUi& ui) {
  const std::string defaultDirError =
      CMultiLanguage::instance().text("AdvanceConfigGeneral", "Message_DefaultDirError");
  // The settings functions take the settings lock themselves when given the live instance.
  locateSettings(liveSettings(), &ui, defaultDirError);
  loadSettings(liveSettings(), &ui);
  prepareLiveRecordDirs(&ui);
}

void createChannelObjects(ViewerUi& ui) {
  AppState& state = appState();
  state.soundAvailable.store(true);
  for (int channel = 0; channel < kChannelCount; ++channel) {
    ChannelRecord& record = channelRecord(channel);

    // The surfaces are memory pictures and POSIX sockets need no library start-up, so
    // neither object has a set-up step that could fail here.
    record.display = std::make_shared<ChannelDisplay>(channel);

    record.avClient = std::make_shared<AvServerClient>();
    record.avClient->setChannel(channel);
    record.avClient->reset();

    record.audioPlayer = std::make_shared<AudioPlayer>(channel);
    if (!record.audioPlayer->open() && state.soundAvailable.exchange(false)) {
      ui.messageBox("No sound card found. Audio functions will be disabled. Press OK to continue.",
                    kErrorTitle);
    }

    record.media = std::make_shared<ChannelMedia>(channel);
    record.media->initialise();

    record.scheduleRecorder = std::make_shared<ChannelRecorder>(channel, "Schedule");
    record.manualRecorder = std::make_shared<ChannelRecorder>(channel, "Manual");
    record.motionRecorder = std::make_shared<ChannelRecorder>(channel, "Motion");
  }
}

void startChannels(ViewerUi& /*ui*/) {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    ChannelRecord& record = channelRecord(channel);
    initChannelRecord(record, channel);
    record.clearReconnect();
    forgetPictures(record);
    record.status.store(kStatusNoSignal);

    const bool connected = record.avClient && record.avClient->connected();
    if (!connected && isCameraConfigured(channel, false) != 0) {
      setChannelStatus(channel, kStatusConnecting, tileLanguageText("Message_Connecting"));
      armReconnect(record);
      startConnectionWorker(record);
    } else {
      setChannelStatus(channel, kStatusNoSignal, tileLanguageText("Message_NoSignal"));
    }
  }
}

void refreshTileTexts() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const int status = channelRecord(channel).status.load();
    const auto key = CMultiLanguage::tileTextKeyForStatus(status);
    setChannelStatus(channel, status, key ? tileLanguageText(key->c_str()) : std::string());
  }
}

bool beginCoreShutdown(std::function<void()> finished) {
  ShutdownState& state = shutdownState();
  {
    std::lock_guard lock(state.mutex);
    if (state.started) return false;
    state.started = true;
  }
  appState().shuttingDown.store(true);
  // Saved first and at once: whatever happens to the threads, the settings are on disk.
  saveSettings(liveSettings());
  try {
    std::thread([finished = std::move(finished)] {
      platform::nameThisThread("shutdown");
      stopEveryThread();
      releaseChannels();
      appState().ui.store(nullptr);
      {
        ShutdownState& done = shutdownState();
        std::lock_guard lock(done.mutex);
        done.finished = true;
        done.changed.notify_all();
      }
      if (finished) finished();
    }).detach();
  } catch (const std::system_error& e) {
    platform::trace("shutdown: no thread for it (%s); stopping on this one", e.what());
    stopEveryThread();
    releaseChannels();
    appState().ui.store(nullptr);
    {
      std::lock_guard lock(state.mutex);
      state.finished = true;
      state.changed.notify_all();
    }
    if (finished) finished();
  }
  return true;
}

bool coreShutdownFinished() {
  ShutdownState& state = shutdownState();
  std::lock_guard lock(state.mutex);
  return state.finished;
}

bool waitForCoreShutdown(std::chrono::milliseconds limit) {
  ShutdownState& state = shutdownState();
  std::unique_lock lock(state.mutex);
  return state.changed.wait_for(lock, limit, [&state] { return state.finished; });
}

void shutdownCore() {
  beginCoreShutdown();
  // Every wait inside has its limit, so this ends; the bound only guards against a fault.
  if (!waitForCoreShutdown(std::chrono::seconds(30))) {
    platform::trace("shutdown: the threads did not all end in time");
  }
}

}  // namespace ipcam
