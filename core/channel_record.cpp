#include "core/channel_record.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/app_state.h"
#include "core/frame_sink.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/trace.h"

namespace ipcam {

void ChannelRecord::clearReconnect() {
  legacyReconnect.store(false);
  legacyReconnectCount.store(0);
  legacyLastError.store(0);
  mpeg4Reconnect.store(false);
  mpeg4ReconnectCount.store(0);
  mpeg4LastError.store(0);
  serverReopen.clear();
}

ChannelCredentials ChannelRecord::credentials() const {
  std::lock_guard lock(credentialsMutex_);
  return credentials_;
}

void ChannelRecord::setCredentials(ChannelCredentials credentials) {
  std::lock_guard lock(credentialsMutex_);
  credentials_ = std::move(credentials);
}

std::array<ChannelRecord, kChannelCount>& channelRecords() {
  // Never destroyed: threads abandoned at shutdown may still read their record at exit.
  static auto* const records = [] {
    auto* table = new std::array<ChannelRecord, kChannelCount>();
    for (int channel = 0; channel < kChannelCount; ++channel) {
      (*table)[static_cast<std::size_t>(channel)].channel = channel;
      (*table)[static_cast<std::size_t>(channel)].stream.record =
          &(*table)[static_cast<std::size_t>(channel)];
    }
    return table;
  }();
  return *records;
}

ChannelRecord& channelRecord(int channel) {
  return channelRecords().at(static_cast<std::size_t>(channel));
}

bool parseDottedQuad(const std::string& text, std::uint32_t& address) {
  // inet_pton accepts exactly four decimal parts of 0..255, nothing else.
  in_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

int initChannelRecord(ChannelRecord& record, int channel) {
  record.channel = channel;
  record.mainWindow.store(appState().ui.load());
  const CameraSettings camera = cameraSnapshot(channel);
  std::uint32_t address = 0;
  if (camera.ip.empty() || !parseDottedQuad(camera.ip, address)) return -1;
  platform::trace("Camera %d address %s", channel + 1, camera.ip.c_str());
  record.address.store(address);
  record.port.store(camera.port);
  record.setCredentials({camera.login, camera.password});
  record.motionFlag.store(0);
  record.manualRecord.store(0);
  return 0;
}

int refreshChannelAddress(ChannelRecord& record) {
  const CameraSettings camera = cameraSnapshot(record.channel);
  record.setCredentials({camera.login, camera.password});
  std::uint32_t address = 0;
  if (!parseDottedQuad(camera.ip, address)) return -1;
  record.address.store(address);
  record.port.store(camera.port);
  return 0;
}

namespace {

// The slots of the threads that fill the channel's queues, then of those that record.
std::array<platform::ThreadSlot*, 3> feederSlots(ChannelThreads& threads) {
  return {&threads.connect, &threads.mpeg4Data, &threads.legacyData};
}

std::array<platform::ThreadSlot*, 3> recordingSlots(ChannelThreads& threads) {
  return {&threads.schedule, &threads.manualRecord, &threads.motion};
}

std::mutex& legacySocketMutex() {
  static auto* const mutex = new std::mutex();
  return *mutex;
}

}  // namespace

void setLegacySocket(ChannelRecord& record, int socket) {
  std::lock_guard lock(legacySocketMutex());
  if (const int old = record.legacySocket.exchange(socket); old != 0) ::close(old);
}

void closeLegacySocket(ChannelRecord& record) {
  std::lock_guard lock(legacySocketMutex());
  if (const int socket = record.legacySocket.exchange(0); socket != 0) ::close(socket);
}

void shutdownLegacySocket(ChannelRecord& record) {
  std::lock_guard lock(legacySocketMutex());
  if (const int socket = record.legacySocket.load(); socket != 0) ::shutdown(socket, SHUT_RDWR);
}

void requestChannelStop(ChannelRecord& record) {
  shutdownLegacySocket(record);
  record.stream.requestStopWorkers();
  for (platform::ThreadSlot* slot : feederSlots(record.threads)) slot->requestStop();
  for (platform::ThreadSlot* slot : recordingSlots(record.threads)) slot->requestStop();
}

void stopChannelThreads(ChannelRecord& record) {
  // The legacy data thread may sit in a receive of up to 10 s; it must end within its limit.
  shutdownLegacySocket(record);
  // Whatever fills the queues ends before what drains them.
  record.stream.stopReaders();
  for (platform::ThreadSlot* slot : feederSlots(record.threads)) slot->stop();
  record.stream.stopDecoding();
  for (platform::ThreadSlot* slot : recordingSlots(record.threads)) slot->stop();
}

std::string tileStatusText(int channel, const std::string& text) {
  if (text.empty()) return {};
  return std::to_string(channel + 1) + " " + text;
}

void setChannelStatus(int channel, int code, const std::string* text) {
  if (channel < 0 || channel >= kChannelCount) return;
  ChannelRecord& record = channelRecord(channel);
  // A stream that comes (back) while one of the channel's recorders still writes is live and
  // recording.
  if (code == kStatusLive) {
    for (const auto& recorder :
         {record.scheduleRecorder, record.manualRecorder, record.motionRecorder}) {
      if (recorder && recorder->recording()) code = kStatusRecording;
    }
  }
  if (code != 0) record.status.store(code);
  ViewerUi* ui = appState().ui.load();
  if (ui == nullptr) return;
  ui->setChannelStatus(
      channel, code,
      text != nullptr ? std::optional(tileStatusText(channel, *text)) : std::nullopt);
}

void setChannelStatus(int channel, int code, const std::string& text) {
  setChannelStatus(channel, code, &text);
}

}  // namespace ipcam
