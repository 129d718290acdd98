#pragma once

#include <QShowEvent>
#include <QString>
#include <QWidget>
#include <string>
#include <string_view>

#include "core/multi_language.h"
#include "core/viewer_ui.h"

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

// The main window's slate console colours, shared by the sheet and its small dialogs so they
// read as part of the same program.
inline constexpr const char* kAdvanceConfigStyleSheet = R"(
QDialog { background: #1d222a; }
QTabWidget::pane { border: 1px solid #3b4553; border-radius: 4px; background: #232932; top: -1px; }
QTabBar::tab {
  color: #a9b5c3; background: #1d222a; border: 1px solid #3b4553; border-bottom: none;
  border-top-left-radius: 4px; border-top-right-radius: 4px; padding: 5px 14px; margin-right: 2px;
}
QTabBar::tab:selected { color: #e3e9f0; background: #232932; }
QTabBar::tab:hover { border-color: #5cc8ff; }
QLabel, QRadioButton { color: #c6d0dc; background: transparent; }
QLabel:disabled, QRadioButton:disabled { color: #5d6876; }
QRadioButton::indicator {
  width: 10px; height: 10px; border: 1px solid #7f8c9c; border-radius: 6px; background: #161a20;
}
QRadioButton::indicator:checked { background: #3da6e0; border-color: #5cc8ff; }
QRadioButton::indicator:disabled { border-color: #3b4553; }
QGroupBox {
  color: #7f8c9c; border: 1px solid #3b4553; border-radius: 6px;
  margin-top: 14px; padding: 10px 8px 8px 8px; background: #232932;
}
QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }
QLineEdit, QComboBox {
  color: #e3e9f0; background: #161a20; border: 1px solid #2e3641; border-radius: 3px;
  padding: 2px 4px; selection-background-color: #3da6e0;
}
QLineEdit:focus, QComboBox:focus { border-color: #5cc8ff; }
QLineEdit:disabled, QComboBox:disabled { color: #5d6876; background: #1b1f26; }
QComboBox::drop-down { width: 16px; background: #262d37; border-left: 1px solid #2e3641; }
QComboBox::down-arrow {
  width: 0; height: 0; border-left: 4px solid #262d37; border-right: 4px solid #262d37;
  border-top: 5px solid #c6d0dc;
}
QComboBox QAbstractItemView {
  color: #e3e9f0; background: #161a20; selection-background-color: #3da6e0;
}
QPushButton {
  color: #e3e9f0; border: 1px solid #3b4553; border-radius: 4px; padding: 4px 16px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #323b47, stop:1 #222831);
}
QPushButton:hover { border-color: #5cc8ff; }
QPushButton:focus { border-color: #5cc8ff; }
QPushButton:pressed { background: #161a20; }
QPushButton:disabled { color: #5d6876; }
QTreeWidget, QListWidget {
  color: #c8d2de; background: #101319; alternate-background-color: #151920;
  border: 1px solid #566070; selection-background-color: #3da6e0; selection-color: #ffffff;
}
QHeaderView::section {
  color: #c6d0dc; background: #262d37; border: none; border-right: 1px solid #3b4553;
  border-bottom: 1px solid #3b4553; padding: 3px 6px;
}
)";

}  // namespace ipcam::ui
