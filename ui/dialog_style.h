#pragma once

namespace ipcam::ui {

// The main window's slate console colours for the settings dialogs, so that they read as part
// of the same program as the playback dialog. Applied to the dialog's top-level widget; every
// child takes it over.
inline constexpr const char* kSettingsDialogStyle = R"(
QDialog { background: #1d222a; }
QLabel, QCheckBox, QRadioButton { color: #c6d0dc; background: transparent; }
QCheckBox:disabled, QRadioButton:disabled, QLabel:disabled { color: #5d6774; }
QCheckBox::indicator, QRadioButton::indicator {
  width: 12px; height: 12px; border: 1px solid #6a7686; background: #161a20;
}
QRadioButton::indicator { border-radius: 7px; }
QCheckBox::indicator:focus, QRadioButton::indicator:focus { border-color: #5cc8ff; }
QCheckBox::indicator:checked { background: #3da6e0; border-color: #5cc8ff; }
QRadioButton::indicator:checked {
  background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5,
                              stop:0 #5cc8ff, stop:0.5 #5cc8ff, stop:0.6 #161a20, stop:1 #161a20);
}
QCheckBox::indicator:disabled, QRadioButton::indicator:disabled {
  border-color: #343c48; background: #1b1f26;
}
QCheckBox::indicator:checked:disabled { background: #34506a; }
QGroupBox {
  color: #7f8c9c; border: 1px solid #3b4553; border-radius: 6px;
  margin-top: 14px; padding: 10px 8px 8px 8px; background: #232932;
}
QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }
QLineEdit, QComboBox, QDateEdit, QTimeEdit {
  color: #e3e9f0; background: #161a20; border: 1px solid #2e3641; border-radius: 3px;
  padding: 2px 4px; selection-background-color: #3da6e0;
}
QLineEdit:disabled, QComboBox:disabled { color: #5d6774; background: #1b1f26; }
QLineEdit[readOnly="true"] { background: #1b1f26; }
QLineEdit:focus, QComboBox:focus, QDateEdit:focus, QTimeEdit:focus { border-color: #5cc8ff; }
QComboBox QAbstractItemView {
  color: #e3e9f0; background: #161a20; selection-background-color: #3da6e0;
}
QTimeEdit::up-button, QTimeEdit::down-button, QDateEdit::drop-down, QComboBox::drop-down {
  width: 16px; background: #262d37; border-left: 1px solid #2e3641;
}
QTimeEdit::up-arrow, QTimeEdit::down-arrow, QDateEdit::down-arrow, QComboBox::down-arrow {
  width: 0; height: 0; border-left: 4px solid #262d37; border-right: 4px solid #262d37;
}
QTimeEdit::up-arrow { border-bottom: 5px solid #c6d0dc; }
QTimeEdit::down-arrow, QDateEdit::down-arrow, QComboBox::down-arrow {
  border-top: 5px solid #c6d0dc;
}
QPushButton {
  color: #e3e9f0; border: 1px solid #3b4553; border-radius: 4px; padding: 4px 16px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #323b47, stop:1 #222831);
}
QPushButton:hover, QPushButton:focus { border-color: #5cc8ff; }
QPushButton:default { border-color: #3da6e0; }
QPushButton:pressed { background: #161a20; }
QPushButton:disabled { color: #5d6774; border-color: #2e3641; }
QListWidget, QTreeWidget {
  color: #c8d2de; background: #101319; alternate-background-color: #151920;
  border: 1px solid #566070; selection-background-color: #3da6e0; selection-color: #ffffff;
}
QListWidget:disabled, QTreeWidget:disabled { color: #5d6774; }
QHeaderView::section {
  color: #c6d0dc; background: #262d37; border: none; border-right: 1px solid #3b4553;
  border-bottom: 1px solid #3b4553; padding: 3px 6px;
}
QTabWidget::pane { border: 1px solid #3b4553; border-radius: 4px; background: #1d222a; top: -1px; }
QTabBar::tab {
  color: #9aa6b4; background: #232932; border: 1px solid #3b4553; border-bottom: none;
  border-top-left-radius: 4px; border-top-right-radius: 4px; padding: 5px 12px; margin-right: 2px;
}
QTabBar::tab:selected { color: #e3e9f0; background: #2c3440; border-color: #5cc8ff; }
)";

}  // namespace ipcam::ui
