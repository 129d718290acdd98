#include "ui/advance_config_sheet.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "core/viewer_settings.h"
#include "ui/advance_config_about.h"
#include "ui/advance_config_mail.h"
#include "ui/advance_config_security.h"
#include "ui/dialog_buttons.h"
#include "ui/dialog_style.h"

namespace ipcam::ui {
namespace {

QString sheetText(std::string_view key) {
  return languageText("AdvanceConfig", key);
}

}  // namespace

CAdvanceConfigSheet::CAdvanceConfigSheet(ViewerUi& ui, QWidget* parent,
                                         CAdvanceConfigGeneral::FolderChooser chooser)
    : QDialog(parent), ui_(ui) {
  setObjectName(QStringLiteral("CAdvanceConfigSheet"));
  setStyleSheet(QString::fromLatin1(kSettingsDialogStyle));
  copySettingsToEdit();

  tabs_ = new QTabWidget(this);
  general_ = new CAdvanceConfigGeneral(ui, std::move(chooser), tabs_);
  mail_ = new CAdvanceConfigMail(ui, tabs_);
  security_ = new CAdvanceConfigSecurity(ui, tabs_);
  about_ = new CAdvanceConfigAbout(tabs_);
  for (CAdvanceConfigPage* page : pages()) tabs_->addTab(page, QString());

  ok_ = new QPushButton(this);
  cancel_ = new QPushButton(this);

  QHBoxLayout* buttons = okCancelRow(this, ok_, cancel_);
  auto* whole = new QVBoxLayout(this);
  whole->addWidget(tabs_, 1);
  whole->addLayout(buttons);

  retranslateUi();
}

std::array<CAdvanceConfigPage*, 4> CAdvanceConfigSheet::pages() const {
  return {general_, mail_, security_, about_};
}

void CAdvanceConfigSheet::retranslateUi() {
  setWindowTitle(sheetText("PropertyPage_AdvanceConfig"));
  tabs_->setTabText(tabs_->indexOf(general_), sheetText("PropertyPage_General"));
  tabs_->setTabText(tabs_->indexOf(mail_), sheetText("PropertyPage_EMailSetting"));
  tabs_->setTabText(tabs_->indexOf(security_), sheetText("PropertyPage_Security"));
  tabs_->setTabText(tabs_->indexOf(about_), sheetText("PropertyPage_About"));
  ok_->setText(sheetText("Button_OK"));
  cancel_->setText(sheetText("Button_Cancel"));
  for (CAdvanceConfigPage* page : pages()) page->retranslateUi();
}

void CAdvanceConfigSheet::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) retranslateUi();
  QDialog::changeEvent(event);
}

void CAdvanceConfigSheet::accept() {
  // Every page is checked before any applies, so a refusal leaves the live settings exactly as
  // they were: Cancel after it must still change nothing.
  for (CAdvanceConfigPage* page : pages()) {
    if (!page->shownOnce() || page->check()) continue;
    tabs_->setCurrentWidget(page);
    return;
  }
  for (CAdvanceConfigPage* page : pages()) {
    if (page->shownOnce()) page->apply();
  }
  saveConfirmedSettings(ui_, "General options");
  QDialog::accept();
}

}  // namespace ipcam::ui
