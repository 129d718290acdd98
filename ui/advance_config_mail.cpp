#include "ui/advance_config_mail.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <mutex>

#include "alerts/mail_connection.h"
#include "core/viewer_settings.h"
#include "ui/advance_config_mail_address.h"

namespace ipcam::ui {
namespace {

// The language files have no keys for these labels: the dialog has always carried them as
// they are.
constexpr const char* kSecurityLabel = "SSL/TLS";
constexpr const char* kPop3BeforeSmtpTitle = "POP3 before SMTP";
constexpr const char* kPop3ServerLabel = "POP3 server";
constexpr const char* kPop3PortLabel = "POP3 port";
constexpr const char* kPop3AccountLabel = "POP3 account";
constexpr const char* kPop3PasswordLabel = "POP3 password";

constexpr int kPortEditWidth = 70;
// More digits than a port has, few enough that the number cannot overflow; anything outside
// 1..65535 falls back to the protocol's port.
constexpr int kMaxPortDigits = 9;
// The settings file keeps a text to 254 characters.
constexpr int kMaxFieldLength = 254;
constexpr int kRecipientRows = 5;

QString mailText(std::string_view key) {
  return languageText(kMailSection, key);
}

std::string textOf(const QLineEdit* edit) {
  return edit->text().toStdString();
}

int portOf(const QLineEdit* edit, int fallback) {
  bool ok = false;
  const long long port = edit->text().toLongLong(&ok);
  return portOr(ok ? port : 0, fallback);
}

// A fingerprint is too wide for one line of the page: its 32 pairs go on two.
QString fingerprintLines(const std::string& fingerprint) {
  constexpr std::size_t kFirstLine = 16 * 3;  // sixteen pairs with their colons
  if (fingerprint.size() <= kFirstLine) return qtText(fingerprint);
  return qtText(fingerprint.substr(0, kFirstLine)) + QLatin1Char('\n') +
         qtText(fingerprint.substr(kFirstLine));
}

}  // namespace

QLineEdit* CAdvanceConfigMail::makeEdit(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setMaxLength(kMaxFieldLength);
  return edit;
}

CAdvanceConfigMail::CAdvanceConfigMail(ViewerUi& ui, QWidget* parent)
    : CAdvanceConfigPage(parent), ui_(ui) {
  setObjectName(QStringLiteral("CAdvanceConfigMail"));
  const auto portValidator = [this] {
    return new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(kMaxPortDigits)), this);
  };

  // Made in the order Tab visits them.
  subjectLabel_ = new QLabel(this);
  c_.subject = makeEdit(this);
  subjectLabel_->setBuddy(c_.subject);

  recipientBox_ = new QGroupBox(this);
  c_.recipients = new QListWidget(recipientBox_);
  c_.recipients->setObjectName(QStringLiteral("recipientList"));
  c_.recipients->setSelectionMode(QAbstractItemView::SingleSelection);
  c_.recipients->setMinimumHeight(c_.recipients->fontMetrics().height() * kRecipientRows);
  connect(c_.recipients, &QListWidget::itemDoubleClicked, this, [this] { editRecipientAddress(); });
  c_.newButton = new QPushButton(recipientBox_);
  c_.editButton = new QPushButton(recipientBox_);
  c_.deleteButton = new QPushButton(recipientBox_);
  connect(c_.newButton, &QPushButton::clicked, this, &CAdvanceConfigMail::newRecipientAddress);
  connect(c_.editButton, &QPushButton::clicked, this, &CAdvanceConfigMail::editRecipientAddress);
  connect(c_.deleteButton, &QPushButton::clicked, this,
          &CAdvanceConfigMail::deleteRecipientAddress);

  smtpBox_ = new QGroupBox(this);
  senderLabel_ = new QLabel(smtpBox_);
  c_.sender = makeEdit(smtpBox_);
  smtpServerLabel_ = new QLabel(smtpBox_);
  c_.smtpServer = makeEdit(smtpBox_);
  smtpPortLabel_ = new QLabel(smtpBox_);
  c_.smtpPort = makeEdit(smtpBox_);
  c_.smtpPort->setValidator(portValidator());
  c_.smtpPort->setMaximumWidth(kPortEditWidth);
  smtpAuthLabel_ = new QLabel(smtpBox_);
  c_.smtpAuthOn = new QRadioButton(smtpBox_);
  c_.smtpAuthOff = new QRadioButton(smtpBox_);
  smtpAccountLabel_ = new QLabel(smtpBox_);
  c_.smtpAccount = makeEdit(smtpBox_);
  smtpPasswordLabel_ = new QLabel(smtpBox_);
  c_.smtpPassword = makeEdit(smtpBox_);
  c_.smtpPassword->setEchoMode(QLineEdit::Password);
  securityLabel_ = new QLabel(smtpBox_);
  c_.security = new QComboBox(smtpBox_);
  for (const std::string_view choice : kSmtpSecurityChoices) {
    c_.security->addItem(QString::fromLatin1(choice.data(), static_cast<qsizetype>(choice.size())));
  }
  // A choice the user makes, not one the page shows, fills in the server.
  connect(c_.security, &QComboBox::activated, this, &CAdvanceConfigMail::onSecurityChosen);
  c_.trustedCertificate = new QLabel(smtpBox_);
  c_.trustedCertificate->setTextInteractionFlags(Qt::TextSelectableByMouse);
  c_.testMailButton = new QPushButton(smtpBox_);
  c_.testMailButton->setObjectName(QStringLiteral("testMailButton"));
  c_.testMailAnswer = new QLabel(smtpBox_);
  c_.testMailAnswer->setObjectName(QStringLiteral("testMailAnswer"));
  c_.testMailAnswer->setWordWrap(true);
  c_.testMailAnswer->setTextInteractionFlags(Qt::TextSelectableByMouse);
  c_.trustButton = new QPushButton(smtpBox_);
  c_.trustButton->setObjectName(QStringLiteral("trustCertificateButton"));
  c_.trustButton->hide();
  connect(c_.testMailButton, &QPushButton::clicked, this, &CAdvanceConfigMail::sendTestMail);
  connect(c_.trustButton, &QPushButton::clicked, this,
          &CAdvanceConfigMail::trustOfferedCertificate);
  // Only the user's own edits: showing the stored values must keep their pin.
  connect(c_.smtpServer, &QLineEdit::textEdited, this, [this] { forgetPinOnServerChange(); });
  connect(c_.smtpPort, &QLineEdit::textEdited, this, [this] { forgetPinOnServerChange(); });
  senderLabel_->setBuddy(c_.sender);
  smtpServerLabel_->setBuddy(c_.smtpServer);
  smtpPortLabel_->setBuddy(c_.smtpPort);
  smtpAccountLabel_->setBuddy(c_.smtpAccount);
  smtpPasswordLabel_->setBuddy(c_.smtpPassword);
  securityLabel_->setBuddy(c_.security);
  smtpAuthGroup_ = new QButtonGroup(this);
  smtpAuthGroup_->addButton(c_.smtpAuthOn);
  smtpAuthGroup_->addButton(c_.smtpAuthOff);

  pop3Box_ = new QGroupBox(this);
  c_.pop3On = new QRadioButton(pop3Box_);
  c_.pop3Off = new QRadioButton(pop3Box_);
  pop3ServerLabel_ = new QLabel(pop3Box_);
  c_.pop3Server = makeEdit(pop3Box_);
  pop3PortLabel_ = new QLabel(pop3Box_);
  c_.pop3Port = makeEdit(pop3Box_);
  c_.pop3Port->setValidator(portValidator());
  c_.pop3Port->setMaximumWidth(kPortEditWidth);
  pop3AccountLabel_ = new QLabel(pop3Box_);
  c_.pop3Account = makeEdit(pop3Box_);
  pop3PasswordLabel_ = new QLabel(pop3Box_);
  c_.pop3Password = makeEdit(pop3Box_);
  c_.pop3Password->setEchoMode(QLineEdit::Password);
  pop3ServerLabel_->setBuddy(c_.pop3Server);
  pop3PortLabel_->setBuddy(c_.pop3Port);
  pop3AccountLabel_->setBuddy(c_.pop3Account);
  pop3PasswordLabel_->setBuddy(c_.pop3Password);
  pop3Group_ = new QButtonGroup(this);
  pop3Group_->addButton(c_.pop3On);
  pop3Group_->addButton(c_.pop3Off);

  for (QPushButton* button :
       {c_.newButton, c_.editButton, c_.deleteButton, c_.testMailButton, c_.trustButton}) {
    button->setAutoDefault(false);
  }
  for (QRadioButton* radio : {c_.smtpAuthOn, c_.smtpAuthOff, c_.pop3On, c_.pop3Off}) {
    connect(radio, &QRadioButton::toggled, this, [this] { updateEnabling(); });
  }

  auto* recipientButtons = new QVBoxLayout;
  recipientButtons->addWidget(c_.newButton);
  recipientButtons->addWidget(c_.editButton);
  recipientButtons->addWidget(c_.deleteButton);
  recipientButtons->addStretch();
  auto* recipientLayout = new QHBoxLayout(recipientBox_);
  recipientLayout->addWidget(c_.recipients, 1);
  recipientLayout->addLayout(recipientButtons);

  auto* smtpAuthButtons = new QHBoxLayout;
  smtpAuthButtons->addWidget(c_.smtpAuthOn);
  smtpAuthButtons->addWidget(c_.smtpAuthOff);
  smtpAuthButtons->addStretch();
  auto* smtp = new QGridLayout(smtpBox_);
  smtp->addWidget(senderLabel_, 0, 0);
  smtp->addWidget(c_.sender, 0, 1, 1, 3);
  smtp->addWidget(smtpServerLabel_, 1, 0);
  smtp->addWidget(c_.smtpServer, 1, 1);
  smtp->addWidget(smtpPortLabel_, 1, 2);
  smtp->addWidget(c_.smtpPort, 1, 3);
  smtp->addWidget(smtpAuthLabel_, 2, 0);
  smtp->addLayout(smtpAuthButtons, 2, 1, 1, 3);
  smtp->addWidget(smtpAccountLabel_, 3, 0);
  smtp->addWidget(c_.smtpAccount, 3, 1);
  smtp->addWidget(smtpPasswordLabel_, 3, 2);
  smtp->addWidget(c_.smtpPassword, 3, 3);
  smtp->addWidget(securityLabel_, 4, 0);
  smtp->addWidget(c_.security, 4, 1);
  smtp->addWidget(c_.trustedCertificate, 4, 2, 1, 2);
  smtp->addWidget(c_.testMailButton, 5, 0);
  smtp->addWidget(c_.testMailAnswer, 5, 1, 1, 3);
  smtp->addWidget(c_.trustButton, 6, 1);
  smtp->setColumnStretch(1, 1);
  smtp->setColumnStretch(3, 1);

  auto* pop3Buttons = new QHBoxLayout;
  pop3Buttons->addWidget(c_.pop3On);
  pop3Buttons->addWidget(c_.pop3Off);
  pop3Buttons->addStretch();
  auto* pop3 = new QGridLayout(pop3Box_);
  pop3->addLayout(pop3Buttons, 0, 0, 1, 4);
  pop3->addWidget(pop3ServerLabel_, 1, 0);
  pop3->addWidget(c_.pop3Server, 1, 1);
  pop3->addWidget(pop3PortLabel_, 1, 2);
  pop3->addWidget(c_.pop3Port, 1, 3);
  pop3->addWidget(pop3AccountLabel_, 2, 0);
  pop3->addWidget(c_.pop3Account, 2, 1);
  pop3->addWidget(pop3PasswordLabel_, 2, 2);
  pop3->addWidget(c_.pop3Password, 2, 3);
  pop3->setColumnStretch(1, 1);
  pop3->setColumnStretch(3, 1);

  auto* subject = new QHBoxLayout;
  subject->addWidget(subjectLabel_);
  subject->addWidget(c_.subject, 1);
  auto* whole = new QVBoxLayout(this);
  whole->addLayout(subject);
  whole->addWidget(recipientBox_, 1);
  whole->addWidget(smtpBox_);
  whole->addWidget(pop3Box_);

  retranslateUi();
}

void CAdvanceConfigMail::retranslateUi() {
  subjectLabel_->setText(mailText("Static_EmailSubject"));
  recipientBox_->setTitle(mailText("Static_RecipientAddress"));
  c_.newButton->setText(mailText("Button_New"));
  c_.editButton->setText(mailText("Button_Edit"));
  c_.deleteButton->setText(mailText("Button_Delete"));
  smtpAuthLabel_->setText(mailText("Static_SMTPAuth"));
  senderLabel_->setText(mailText("Static_SenderAddress"));
  smtpServerLabel_->setText(mailText("Static_SMTPServer"));
  smtpPortLabel_->setText(mailText("Static_SMTPPort"));
  c_.smtpAuthOn->setText(mailText("Static_Enable"));
  c_.smtpAuthOff->setText(mailText("Static_Disable"));
  smtpAccountLabel_->setText(mailText("Static_SMTPAccount"));
  smtpPasswordLabel_->setText(mailText("Static_SMTPPassword"));
  securityLabel_->setText(QString::fromLatin1(kSecurityLabel));
  pop3Box_->setTitle(QString::fromLatin1(kPop3BeforeSmtpTitle));
  c_.pop3On->setText(mailText("Static_Enable"));
  c_.pop3Off->setText(mailText("Static_Disable"));
  pop3ServerLabel_->setText(QString::fromLatin1(kPop3ServerLabel));
  pop3PortLabel_->setText(QString::fromLatin1(kPop3PortLabel));
  pop3AccountLabel_->setText(QString::fromLatin1(kPop3AccountLabel));
  pop3PasswordLabel_->setText(QString::fromLatin1(kPop3PasswordLabel));
  c_.testMailButton->setText(mailText(kSendTestMail));
  c_.trustButton->setText(mailText(kTrustCertificate));
  showPin();
}

CAdvanceConfigMail::~CAdvanceConfigMail() {
  // A send still on its way gives up soon after; its answer finds no page and is dropped.
  cancelTestMail();
}

void CAdvanceConfigMail::sendTestMail() {
  if (testRunning_) return;
  ViewerSettings values;
  {
    std::lock_guard lock(settingsMutex());
    values = editSettings();
  }
  readFields(values);
  const QPointer<CAdvanceConfigMail> page(this);
  const bool started =
      startTestMail(MotionMailSettings::from(values), [page](const MailResult& result) {
        // From the mail thread: the answer is shown by the user-interface thread, if the page
        // is still there by then.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [page, result] {
              if (page) page->showTestMailAnswer(result);
            },
            Qt::QueuedConnection);
      });
  // Refused only while the mail of a page closed a moment ago is still giving up.
  if (!started) return;
  offered_.clear();
  c_.trustButton->hide();
  c_.testMailAnswer->setText(mailText(kTestMailSending));
  testRunning_ = true;
  c_.testMailButton->setEnabled(false);
}

void CAdvanceConfigMail::showTestMailAnswer(const MailResult& result) {
  testRunning_ = false;
  c_.testMailButton->setEnabled(true);
  const TestMailAnswer answer = testMailAnswer(result);
  QString text = mailText(answer.key);
  offered_ = answer.offerTrust ? canonicalFingerprint(result.fingerprint) : std::string();
  if (!offered_.empty()) {
    text += QLatin1Char('\n') + fingerprintLines(offered_);
  } else if (result.code != 0) {
    // The client's own words as well, for whoever has to look into it.
    QString why = QString::number(result.code) + QLatin1Char(' ') + qtText(result.text);
    if (!result.detail.empty()) why += QStringLiteral("; ") + qtText(result.detail);
    text += QStringLiteral("\n(") + why + QLatin1Char(')');
  }
  c_.testMailAnswer->setText(text);
  c_.trustButton->setVisible(!offered_.empty());
}

void CAdvanceConfigMail::trustOfferedCertificate() {
  if (offered_.empty()) return;
  pin_ = offered_;
  offered_.clear();
  c_.trustButton->hide();
  showPin();
}

void CAdvanceConfigMail::forgetPinOnServerChange() {
  offered_.clear();
  c_.trustButton->hide();
  if (pin_.empty()) return;
  pin_.clear();
  showPin();
}

void CAdvanceConfigMail::showPin() {
  c_.trustedCertificate->setVisible(!pin_.empty());
  if (!pin_.empty()) {
    c_.trustedCertificate->setText(mailText(kTrustedCertificate) + QLatin1Char('\n') +
                                   fingerprintLines(pin_));
  }
}

void CAdvanceConfigMail::showValues() {
  ViewerSettings shown;
  {
    std::lock_guard lock(settingsMutex());
    shown = editSettings();
  }
  recipients_ = shown.recipient;
  c_.subject->setText(qtText(shown.subject));
  c_.sender->setText(qtText(shown.sender));
  c_.smtpServer->setText(qtText(shown.smtpServer));
  c_.smtpPort->setText(QString::number(portOr(shown.smtpPort, kDefaultSmtpPort)));
  (shown.smtpAuth != 0 ? c_.smtpAuthOn : c_.smtpAuthOff)->setChecked(true);
  c_.smtpAccount->setText(qtText(shown.smtpAccount));
  c_.smtpPassword->setText(qtText(shown.smtpPassword));
  const bool knownChoice =
      shown.smtpSslTls >= 0 && shown.smtpSslTls < static_cast<int>(kSmtpSecurityChoices.size());
  c_.security->setCurrentIndex(knownChoice ? shown.smtpSslTls : -1);
  (shown.pop3BeforeSmtp != 0 ? c_.pop3On : c_.pop3Off)->setChecked(true);
  c_.pop3Server->setText(qtText(shown.pop3Server));
  c_.pop3Port->setText(QString::number(portOr(shown.pop3Port, kDefaultPop3Port)));
  c_.pop3Account->setText(qtText(shown.pop3Account));
  c_.pop3Password->setText(qtText(shown.pop3Password));
  pin_ = canonicalFingerprint(shown.smtpCertificatePin);
  offered_.clear();
  c_.trustButton->hide();
  showPin();
  fillRecipientList();
  updateEnabling();
}

void CAdvanceConfigMail::updateEnabling() {
  const bool auth = c_.smtpAuthOn->isChecked();
  for (QWidget* widget :
       std::initializer_list<QWidget*>{smtpAccountLabel_, c_.smtpAccount, smtpPasswordLabel_,
                                       c_.smtpPassword, securityLabel_, c_.security}) {
    widget->setEnabled(auth);
  }
  const bool pop3 = c_.pop3On->isChecked();
  for (QWidget* widget : std::initializer_list<QWidget*>{
           pop3ServerLabel_, c_.pop3Server, pop3PortLabel_, c_.pop3Port, pop3AccountLabel_,
           c_.pop3Account, pop3PasswordLabel_, c_.pop3Password}) {
    widget->setEnabled(pop3);
  }
}

void CAdvanceConfigMail::onSecurityChosen(int choice) {
  SmtpEndpoint stored;
  {
    std::lock_guard lock(settingsMutex());
    stored = {editSettings().smtpServer, portOr(editSettings().smtpPort, kDefaultSmtpPort)};
  }
  const SmtpEndpoint endpoint = smtpEndpointForChoice(choice, stored);
  if (qtText(endpoint.server) != c_.smtpServer->text() ||
      QString::number(endpoint.port) != c_.smtpPort->text()) {
    forgetPinOnServerChange();
  }
  c_.smtpServer->setText(qtText(endpoint.server));
  c_.smtpPort->setText(QString::number(endpoint.port));
}

void CAdvanceConfigMail::fillRecipientList() {
  c_.recipients->clear();
  for (const std::string& address : recipients_) {
    if (!address.empty()) c_.recipients->addItem(qtText(address));
  }
}

int CAdvanceConfigMail::selectedLine() const {
  const QList<QListWidgetItem*> selected = c_.recipients->selectedItems();
  return selected.isEmpty() ? -1 : c_.recipients->row(selected.front());
}

void CAdvanceConfigMail::openAddressDialog(int slot) {
  CAdvanceConfigMailAddress dialog(ui_, recipients_, slot, window());
  if (dialog.exec() == QDialog::Accepted) fillRecipientList();
}

void CAdvanceConfigMail::newRecipientAddress() {
  const RecipientAnswer answer = newRecipient(recipients_);
  if (!answer.accepted()) {
    showLanguageMessage(ui_, kMailSection, answer.message);
    return;
  }
  openAddressDialog(answer.slot);
}

void CAdvanceConfigMail::editRecipientAddress() {
  const RecipientAnswer answer = editRecipient(recipients_, selectedLine());
  if (!answer.accepted()) {
    showLanguageMessage(ui_, kMailSection, answer.message);
    return;
  }
  openAddressDialog(answer.slot);
}

void CAdvanceConfigMail::deleteRecipientAddress() {
  const RecipientAnswer answer = deleteRecipient(recipients_, selectedLine());
  if (!answer.accepted()) {
    showLanguageMessage(ui_, kMailSection, answer.message);
    return;
  }
  fillRecipientList();
}

void CAdvanceConfigMail::takeValues() {
  std::lock_guard lock(settingsMutex());
  readFields(editSettings());
}

void CAdvanceConfigMail::readFields(ViewerSettings& edit) const {
  edit.recipient = recipients_;
  edit.subject = textOf(c_.subject);
  edit.sender = textOf(c_.sender);
  edit.smtpServer = textOf(c_.smtpServer);
  edit.smtpPort = portOf(c_.smtpPort, kDefaultSmtpPort);
  edit.smtpAuth = c_.smtpAuthOn->isChecked() ? 1 : 0;
  edit.smtpAccount = textOf(c_.smtpAccount);
  edit.smtpPassword = textOf(c_.smtpPassword);
  edit.smtpSslTls = std::max(c_.security->currentIndex(), static_cast<int>(kSecurityNone));
  edit.pop3BeforeSmtp = c_.pop3On->isChecked() ? 1 : 0;
  edit.pop3Server = textOf(c_.pop3Server);
  edit.pop3Port = portOf(c_.pop3Port, kDefaultPop3Port);
  edit.pop3Account = textOf(c_.pop3Account);
  edit.pop3Password = textOf(c_.pop3Password);
  edit.smtpCertificatePin = pin_;
}

void CAdvanceConfigMail::apply() {
  takeValues();
  std::lock_guard lock(settingsMutex());
  const ViewerSettings& edit = editSettings();
  ViewerSettings& live = liveSettings();
  live.recipient = edit.recipient;
  live.subject = edit.subject;
  live.sender = edit.sender;
  live.smtpServer = edit.smtpServer;
  live.smtpPort = edit.smtpPort;
  live.smtpAuth = edit.smtpAuth;
  live.smtpAccount = edit.smtpAccount;
  live.smtpPassword = edit.smtpPassword;
  live.smtpSslTls = edit.smtpSslTls;
  live.pop3BeforeSmtp = edit.pop3BeforeSmtp;
  live.pop3Server = edit.pop3Server;
  live.pop3Port = edit.pop3Port;
  live.pop3Account = edit.pop3Account;
  live.pop3Password = edit.pop3Password;
  live.smtpCertificatePin = edit.smtpCertificatePin;
}

}  // namespace ipcam::ui
