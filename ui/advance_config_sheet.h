#pragma once

#include <QDialog>
#include <array>

#include "ui/advance_config_general.h"

class QPushButton;
class QTabWidget;

namespace ipcam::ui {

class CAdvanceConfigAbout;
class CAdvanceConfigMail;
class CAdvanceConfigPage;
class CAdvanceConfigSecurity;

// The general options: General, E-Mail, Security and About, with OK and Cancel. Opening copies
// the live settings into the editing copy. OK lets every page that was shown give its part
// back to the live settings and writes the settings file; a page that refuses keeps the sheet
// open and nothing changes. Cancel changes nothing.
class CAdvanceConfigSheet : public QDialog {
  Q_OBJECT

 public:
  // `chooser` empty: the desktop's folder dialog.
  explicit CAdvanceConfigSheet(ViewerUi& ui, QWidget* parent = nullptr,
                               CAdvanceConfigGeneral::FolderChooser chooser = {});

  void retranslateUi();
  void accept() override;

  QTabWidget* tabs() const { return tabs_; }
  CAdvanceConfigGeneral* generalPage() const { return general_; }
  CAdvanceConfigMail* mailPage() const { return mail_; }
  CAdvanceConfigSecurity* securityPage() const { return security_; }
  CAdvanceConfigAbout* aboutPage() const { return about_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  std::array<CAdvanceConfigPage*, 4> pages() const;

  ViewerUi& ui_;
  QTabWidget* tabs_ = nullptr;
  CAdvanceConfigGeneral* general_ = nullptr;
  CAdvanceConfigMail* mail_ = nullptr;
  CAdvanceConfigSecurity* security_ = nullptr;
  CAdvanceConfigAbout* about_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace ipcam::ui
