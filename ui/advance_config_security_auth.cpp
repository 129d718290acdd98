#include "ui/advance_config_security_auth.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>

#include "app/advance_config_rules.h"
#include "core/viewer_settings.h"
#include "ui/advance_config_page.h"
#include "ui/dialog_buttons.h"
#include "ui/dialog_style.h"

namespace ipcam::ui {
namespace {

constexpr const char* kTitle = "Authentication Required";
constexpr const char* kPromptLine = "Please input password";
constexpr const char* kPasswordLabel = "Password:";
constexpr const char* kOk = "OK";
constexpr const char* kCancel = "Cancel";
constexpr int kPasswordEditWidth = 200;

}  // namespace

CAdvanceConfigSecurityAuth::CAdvanceConfigSecurityAuth(ViewerUi& ui, std::string storedDigest,
                                                       QWidget* parent)
    : QDialog(parent), ui_(ui), storedDigest_(std::move(storedDigest)) {
  setObjectName(QStringLiteral("CAdvanceConfigSecurityAuth"));
  setStyleSheet(QString::fromLatin1(kSettingsDialogStyle));
  prompt_ = new QLabel(this);
  passwordLabel_ = new QLabel(this);
  password_ = new QLineEdit(this);
  password_->setObjectName(QStringLiteral("passwordEdit"));
  password_->setEchoMode(QLineEdit::Password);
  password_->setMinimumWidth(kPasswordEditWidth);
  passwordLabel_->setBuddy(password_);
  ok_ = new QPushButton(this);
  cancel_ = new QPushButton(this);

  auto* field = new QHBoxLayout;
  field->addWidget(passwordLabel_);
  field->addWidget(password_, 1);
  QHBoxLayout* buttons = okCancelRow(this, ok_, cancel_);
  auto* whole = new QVBoxLayout(this);
  whole->addWidget(prompt_);
  whole->addLayout(field);
  whole->addLayout(buttons);
  retranslateUi();
  password_->setFocus();
}

void CAdvanceConfigSecurityAuth::retranslateUi() {
  setWindowTitle(QString::fromLatin1(kTitle));
  prompt_->setText(QString::fromLatin1(kPromptLine));
  passwordLabel_->setText(QString::fromLatin1(kPasswordLabel));
  ok_->setText(QString::fromLatin1(kOk));
  cancel_->setText(QString::fromLatin1(kCancel));
}

void CAdvanceConfigSecurityAuth::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) retranslateUi();
  QDialog::changeEvent(event);
}

void CAdvanceConfigSecurityAuth::accept() {
  if (securityPasswordMatches(password_->text().toStdString(), storedDigest_)) {
    QDialog::accept();
    return;
  }
  ui_.messageBox(std::string(kPasswordIncorrectText), kDefaultMessageTitle);
  reject();
}

bool passPasswordLock(ViewerUi& ui, QWidget* parent) {
  std::string digest;
  {
    std::lock_guard lock(settingsMutex());
    if (liveSettings().securityEnable != 1) return true;
    digest = liveSettings().securityPassword;
  }
  CAdvanceConfigSecurityAuth prompt(ui, std::move(digest), parent);
  return prompt.exec() == QDialog::Accepted;
}

}  // namespace ipcam::ui
