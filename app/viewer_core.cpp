#include "app/viewer_core.h"

#include <unistd.h>

#include <memory>

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/connection_worker.h"
#include "app/multi_language.h"
#include "app/viewer_settings.h"
#include "app/viewer_ui.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "protocols/av_server_client.h"
#include "recording/channel_recorder.h"
#include "recording/storage.h"

namespace ipcam {
namespace {

constexpr const char* kErrorTitle = "Error";

std::string viewerText(const char* key) {
  return CMultiLanguage::instance().text("ViewerElement", key);
}

std::atomic<bool>& shutDown() {
  static std::atomic<bool> done{false};
  return done;
}

}  // namespace

void attachUi(ViewerUi* ui) {
  appState().ui.store(ui);
  shutDown().store(false);
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

    record.display = std::make_shared<ChannelDisplay>(channel);
    if (!record.display->setUp()) ui.messageBox("Can't initialize DirectX.", kErrorTitle);

    record.avClient = std::make_shared<AvServerClient>();
    record.avClient->setChannel(channel);
    if (record.avClient->startNetwork()) {
      record.avClient->reset();
    } else {
      ui.messageBox("WSAStartup() failed", kDefaultMessageTitle);
      ui.messageBox("Can't initialize network connection.", kErrorTitle);
    }

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
    record.status.store(kStatusNoSignal);

    const bool connected = record.avClient && record.avClient->connected();
    if (!connected && isCameraConfigured(channel, false) != 0) {
      setChannelStatus(channel, kStatusConnecting, viewerText("Message_Connecting"));
      armReconnect(record);
      startConnectionWorker(record);
    } else {
      setChannelStatus(channel, kStatusNoSignal, viewerText("Message_NoSignal"));
    }
  }
}

void refreshTileTexts() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const int status = channelRecord(channel).status.load();
    const auto key = CMultiLanguage::tileTextKeyForStatus(status);
    setChannelStatus(channel, status, key ? viewerText(key->c_str()) : std::string());
  }
}

void shutdownCore() {
  if (shutDown().exchange(true)) return;

  saveSettings(liveSettings());
  stopStorageMonitor();

  for (ChannelRecord& record : channelRecords()) {
    record.stream.stopWorkers();
    ChannelThreads& threads = record.threads;
    for (platform::ThreadSlot* slot :
         {&threads.connect, &threads.mpeg4Data, &threads.legacyData, &threads.mpeg4Decode,
          &threads.audioPlay, &threads.schedule, &threads.manualRecord, &threads.motion}) {
      slot->stop();
    }
  }

  for (ChannelRecord& record : channelRecords()) {
    if (const int socket = record.legacySocket.exchange(0); socket != 0) ::close(socket);
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
  appState().ui.store(nullptr);
}

}  // namespace ipcam
