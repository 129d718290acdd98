#include "core/channel_reports.h"

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"

namespace ipcam {
namespace {

// "Name: " of the configured camera, or nothing for a camera without a name.
std::string namePrefix(int channel) {
  const std::string name = cameraSnapshot(channel).name;
  return name.empty() ? std::string() : name + ": ";
}

std::string localClockText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[16];
  const std::size_t length = std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return std::string(text, length);
}

}  // namespace

void logChannelEvent(int channel, const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->logEvent(channel, text);
}

std::string tileLanguageText(const char* key) {
  return CMultiLanguage::instance().text("ViewerElement", key);
}

void showTileText(int channel, int code, const char* key) {
  setChannelStatus(channel, code, tileLanguageText(key));
}

void showCameraMessage(int channel, const char* key) {
  if (ViewerUi* ui = appState().ui.load()) {
    ui->postMessage("Camera " + std::to_string(channel + 1) + ": " +
                        CMultiLanguage::instance().text("MessageBox", key),
                    kDefaultMessageTitle);
  }
}

void reportLoginRefused(int channel, int code) {
  const std::string text = tileLanguageText("Message_PasswordError");
  setChannelStatus(channel, code, text);
  logChannelEvent(channel, namePrefix(channel) + text);
}

std::string noPictureSinceText(std::time_t shownAt) {
  // Translations put the time where their grammar wants it; one without the mark gets it
  // at the end.
  std::string text = tileLanguageText("Message_NoPictureSince");
  const std::string clock = localClockText(shownAt);
  if (const std::size_t mark = text.find("%s"); mark != std::string::npos) {
    return text.replace(mark, 2, clock);
  }
  return text.empty() ? clock : text + " " + clock;
}

void notePictureShown(ChannelRecord& record) {
  record.lastPictureAt.store(std::time(nullptr), std::memory_order_relaxed);
  // One load per picture while pictures come; the exchange only at a change.
  if (record.pictureFlow.load(std::memory_order_relaxed) == kPicturesComing) return;
  if (record.pictureFlow.exchange(kPicturesComing) == kPicturesLost) {
    logChannelEvent(record.channel, namePrefix(record.channel) + "reconnected");
  }
}

void reportPicturesLost(ChannelRecord& record) {
  int coming = kPicturesComing;
  if (!record.pictureFlow.compare_exchange_strong(coming, kPicturesLost)) return;
  logChannelEvent(record.channel,
                  namePrefix(record.channel) + "lost, last picture at " +
                      localClockText(static_cast<std::time_t>(record.lastPictureAt.load())));
}

void forgetPictures(ChannelRecord& record) {
  record.pictureFlow.store(kPicturesNotYet);
}

}  // namespace ipcam
