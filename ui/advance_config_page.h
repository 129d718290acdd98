#pragma once

#include <QShowEvent>
#include <QString>
#include <QWidget>
#include <string>
#include <string_view>

#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/trace.h"

namespace ipcam::ui {

// One page of the general options sheet. A page reads the editing copy the first time it is
// shown; only a page that was shown has anything to give back when the sheet closes with OK.
class CAdvanceConfigPage : public QWidget {
 public:
  using QWidget::QWidget;

  bool shownOnce() const { return shownOnce_; }
  // Every text of the page, from the current language.
  virtual void retranslateUi() = 0;
  // OK on the sheet, before anything is applied: false (after telling the user why) keeps the
  // sheet open with nothing changed.
  virtual bool check() { return true; }
  // Copies the page's part into the editing copy and from there into the live settings.
  virtual void apply() = 0;

 protected:
  // The values of the editing copy into the controls.
  virtual void showValues() = 0;

  void showEvent(QShowEvent* event) override {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    showValues();
  }

 private:
  bool shownOnce_ = false;
};

inline QString qtText(const std::string& text) {
  return QString::fromStdString(text);
}

inline QString languageText(std::string_view section, std::string_view key) {
  return qtText(CMultiLanguage::instance().text(section, key));
}

inline void showLanguageMessage(ViewerUi& ui, std::string_view section, std::string_view key) {
  ui.messageBox(CMultiLanguage::instance().text(section, key), kDefaultMessageTitle);
}

// Confirming a settings dialog writes avcln.ini; when that fails the user must hear it, not
// find the old settings at the next start.
inline void saveConfirmedSettings(ViewerUi& ui, const char* dialog) {
  if (saveSettings(liveSettings())) return;
  platform::trace("%s: the settings file could not be written", dialog);
  ui.postMessage(CMultiLanguage::instance().text("MessageBox", "Message_SettingsNotSaved"),
                 kDefaultMessageTitle);
}

}  // namespace ipcam::ui
