#include "ui/advance_config_security.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <mutex>

#include "core/viewer_settings.h"

namespace ipcam::ui {
namespace {

QString securityText(std::string_view key) {
  return languageText(kSecuritySection, key);
}

constexpr int kPasswordEditWidth = 220;

}  // namespace

CAdvanceConfigSecurity::CAdvanceConfigSecurity(ViewerUi& ui, QWidget* parent)
    : CAdvanceConfigPage(parent), ui_(ui) {
  setObjectName(QStringLiteral("CAdvanceConfigSecurity"));
  group_ = new QGroupBox(this);
  enable_ = new QRadioButton(group_);
  disable_ = new QRadioButton(group_);
  passwordLabel_ = new QLabel(group_);
  password_ = new QLineEdit(group_);
  confirmationLabel_ = new QLabel(group_);
  confirmation_ = new QLineEdit(group_);
  for (QLineEdit* edit : {password_, confirmation_}) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setMinimumWidth(kPasswordEditWidth);
  }
  password_->setObjectName(QStringLiteral("passwordEdit"));
  confirmation_->setObjectName(QStringLiteral("confirmationEdit"));
  passwordLabel_->setBuddy(password_);
  confirmationLabel_->setBuddy(confirmation_);
  connect(enable_, &QRadioButton::toggled, this, [this] { updateEnabling(); });

  auto* radios = new QHBoxLayout;
  radios->addWidget(enable_);
  radios->addWidget(disable_);
  radios->addStretch();
  auto* grid = new QGridLayout(group_);
  grid->addLayout(radios, 0, 0, 1, 2);
  grid->addWidget(passwordLabel_, 1, 0);
  grid->addWidget(password_, 1, 1);
  grid->addWidget(confirmationLabel_, 2, 0);
  grid->addWidget(confirmation_, 2, 1);
  grid->setColumnStretch(2, 1);
  auto* whole = new QVBoxLayout(this);
  whole->addWidget(group_);
  whole->addStretch();

  retranslateUi();
}

void CAdvanceConfigSecurity::retranslateUi() {
  group_->setTitle(securityText("Static_Security"));
  enable_->setText(securityText("Static_Enable"));
  disable_->setText(securityText("Static_Disable"));
  passwordLabel_->setText(securityText("Static_Password"));
  confirmationLabel_->setText(securityText("Static_ConfirmPassword"));
}

void CAdvanceConfigSecurity::showValues() {
  int enabled = 0;
  {
    std::lock_guard lock(settingsMutex());
    enabled = editSettings().securityEnable;
    storedDigest_ = editSettings().securityPassword;
  }
  (enabled != 0 ? enable_ : disable_)->setChecked(true);
  password_->setText(qtText(storedDigest_));
  confirmation_->setText(qtText(storedDigest_));
  updateEnabling();
}

void CAdvanceConfigSecurity::updateEnabling() {
  const bool on = enable_->isChecked();
  for (QWidget* widget : std::initializer_list<QWidget*>{passwordLabel_, password_,
                                                         confirmationLabel_, confirmation_}) {
    widget->setEnabled(on);
  }
}

SecurityPageAnswer CAdvanceConfigSecurity::take() const {
  return takeSecurityPage(enable_->isChecked(), password_->text().toStdString(),
                          confirmation_->text().toStdString(), storedDigest_);
}

bool CAdvanceConfigSecurity::check() {
  const SecurityPageAnswer answer = take();
  if (answer.accepted()) return true;
  showLanguageMessage(ui_, kSecuritySection, answer.message);
  password_->setFocus();
  return false;
}

void CAdvanceConfigSecurity::apply() {
  SecurityPageAnswer answer = take();
  if (!answer.accepted()) return;
  std::lock_guard lock(settingsMutex());
  editSettings().securityEnable = answer.enable;
  editSettings().securityPassword = answer.password;
  liveSettings().securityEnable = answer.enable;
  liveSettings().securityPassword = std::move(answer.password);
}

}  // namespace ipcam::ui
