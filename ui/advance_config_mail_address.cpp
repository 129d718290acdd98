#include "ui/advance_config_mail_address.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/advance_config_page.h"
#include "ui/dialog_buttons.h"
#include "ui/dialog_style.h"

namespace ipcam::ui {
namespace {

constexpr int kAddressEditWidth = 280;
// The settings file keeps a text to 254 characters; a longer address would come back cut.
constexpr int kMaxAddressLength = 254;

}  // namespace

CAdvanceConfigMailAddress::CAdvanceConfigMailAddress(ViewerUi& ui, Recipients& recipients, int slot,
                                                     QWidget* parent)
    : QDialog(parent), ui_(ui), recipients_(recipients), slot_(slot) {
  setObjectName(QStringLiteral("CAdvanceConfigMailAddress"));
  setStyleSheet(QString::fromLatin1(kSettingsDialogStyle));

  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("addressEdit"));
  edit_->setMinimumWidth(kAddressEditWidth);
  edit_->setMaxLength(kMaxAddressLength);
  if (slot >= 0 && slot < kRecipientCount) {
    edit_->setText(qtText(recipients[static_cast<std::size_t>(slot)]));
  }
  ok_ = new QPushButton(this);
  cancel_ = new QPushButton(this);

  QHBoxLayout* buttons = okCancelRow(this, ok_, cancel_);
  auto* whole = new QVBoxLayout(this);
  whole->addWidget(edit_);
  whole->addLayout(buttons);

  retranslateUi();
}

void CAdvanceConfigMailAddress::retranslateUi() {
  setWindowTitle(languageText(kMailSection, "Static_RecipientAddress"));
  ok_->setText(languageText("AdvanceConfig", "Button_OK"));
  cancel_->setText(languageText("AdvanceConfig", "Button_Cancel"));
}

void CAdvanceConfigMailAddress::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) retranslateUi();
  QDialog::changeEvent(event);
}

void CAdvanceConfigMailAddress::accept() {
  const RecipientAnswer answer = storeRecipient(recipients_, slot_, edit_->text().toStdString());
  if (!answer.accepted()) {
    showLanguageMessage(ui_, kMailSection, answer.message);
    edit_->setFocus();
    edit_->selectAll();
    return;
  }
  QDialog::accept();
}

}  // namespace ipcam::ui
