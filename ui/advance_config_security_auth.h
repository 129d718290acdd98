#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace ipcam {
class ViewerUi;
}

namespace ipcam::ui {

// The password prompt at start-up. OK with the right password accepts; a wrong one says so
// and rejects, as does Cancel. There is no second try.
class CAdvanceConfigSecurityAuth : public QDialog {
  Q_OBJECT

 public:
  CAdvanceConfigSecurityAuth(ViewerUi& ui, std::string storedDigest, QWidget* parent = nullptr);

  // Its texts are the dialog's own, the same in every language.
  void retranslateUi();
  void accept() override;

  QLineEdit* passwordEdit() const { return password_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  ViewerUi& ui_;
  const std::string storedDigest_;
  QLabel* prompt_ = nullptr;
  QLabel* passwordLabel_ = nullptr;
  QLineEdit* password_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

// Start-up's password lock: true when the lock is off (the security switch is not 1) or the
// user gave the right password; false when the program must end.
bool passPasswordLock(ViewerUi& ui, QWidget* parent);

}  // namespace ipcam::ui
