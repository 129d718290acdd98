#include "core/channel_reports.h"

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_ui.h"

namespace ipcam {

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

}  // namespace ipcam
