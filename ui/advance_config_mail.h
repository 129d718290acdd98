#pragma once

#include <string>

#include "app/advance_config_rules.h"
#include "ui/advance_config_page.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace ipcam::ui {

// The e-mail page: subject, recipients, the SMTP server with its log-in and security, and the
// POP3 log-in some servers want before they take mail.
class CAdvanceConfigMail : public CAdvanceConfigPage {
 public:
  explicit CAdvanceConfigMail(ViewerUi& ui, QWidget* parent = nullptr);
  ~CAdvanceConfigMail() override;

  void retranslateUi() override;
  void apply() override;

  // The recipient buttons. New and Edit open the address dialog.
  void newRecipientAddress();
  void editRecipientAddress();
  void deleteRecipientAddress();

  // Sends one mail now with the values on show, off the user-interface thread; the answer
  // appears under the button when it is known.
  void sendTestMail();
  // Trusts the certificate the last test mail was refused with.
  void trustOfferedCertificate();
  bool testMailRunning() const { return testRunning_; }

  // The controls, for the tests.
  struct Controls {
    QLineEdit* subject = nullptr;
    QListWidget* recipients = nullptr;
    QPushButton* newButton = nullptr;
    QPushButton* editButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QLineEdit* sender = nullptr;
    QLineEdit* smtpServer = nullptr;
    QLineEdit* smtpPort = nullptr;
    QRadioButton* smtpAuthOn = nullptr;
    QRadioButton* smtpAuthOff = nullptr;
    QLineEdit* smtpAccount = nullptr;
    QLineEdit* smtpPassword = nullptr;
    QComboBox* security = nullptr;
    QRadioButton* pop3On = nullptr;
    QRadioButton* pop3Off = nullptr;
    QLineEdit* pop3Server = nullptr;
    QLineEdit* pop3Port = nullptr;
    QLineEdit* pop3Account = nullptr;
    QLineEdit* pop3Password = nullptr;
    QPushButton* testMailButton = nullptr;
    QLabel* testMailAnswer = nullptr;
    QPushButton* trustButton = nullptr;
    QLabel* trustedCertificate = nullptr;
  };
  const Controls& controls() const { return c_; }
  const Recipients& recipientSlots() const { return recipients_; }
  const std::string& pinnedCertificate() const { return pin_; }

 protected:
  void showValues() override;

 private:
  QLineEdit* makeEdit(QWidget* parent);
  void fillRecipientList();
  int selectedLine() const;
  void openAddressDialog(int slot);
  void updateEnabling();
  void onSecurityChosen(int choice);
  // The fields into `settings`'s mail values.
  void readFields(ViewerSettings& settings) const;
  void takeValues();
  void showTestMailAnswer(const MailResult& result);
  void showPin();
  // A different server or port is a different certificate: its pin goes.
  void forgetPinOnServerChange();

  ViewerUi& ui_;
  Recipients recipients_;  // the list as edited; the editing copy takes it on apply
  std::string pin_;        // the trusted certificate as edited; likewise
  std::string offered_;    // the fingerprint "Trust this certificate" would pin
  bool testRunning_ = false;
  Controls c_;
  QButtonGroup* smtpAuthGroup_ = nullptr;
  QButtonGroup* pop3Group_ = nullptr;
  QGroupBox* recipientBox_ = nullptr;
  QGroupBox* smtpBox_ = nullptr;
  QGroupBox* pop3Box_ = nullptr;
  QLabel* subjectLabel_ = nullptr;
  QLabel* senderLabel_ = nullptr;
  QLabel* smtpServerLabel_ = nullptr;
  QLabel* smtpPortLabel_ = nullptr;
  QLabel* smtpAuthLabel_ = nullptr;
  QLabel* smtpAccountLabel_ = nullptr;
  QLabel* smtpPasswordLabel_ = nullptr;
  QLabel* securityLabel_ = nullptr;
  QLabel* pop3ServerLabel_ = nullptr;
  QLabel* pop3PortLabel_ = nullptr;
  QLabel* pop3AccountLabel_ = nullptr;
  QLabel* pop3PasswordLabel_ = nullptr;
};

}  // namespace ipcam::ui
