#pragma once

#include <string>

#include "app/advance_config_rules.h"
#include "ui/advance_config_page.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace ipcam::ui {

// The password lock. Both edits show the stored digest, so OK with the edits untouched keeps
// it; a newly typed password is stored only as its digest.
class CAdvanceConfigSecurity : public CAdvanceConfigPage {
 public:
  explicit CAdvanceConfigSecurity(ViewerUi& ui, QWidget* parent = nullptr);

  void retranslateUi() override;
  // Refuses an empty or unconfirmed password while the lock is on, and a new one that is too
  // long.
  bool check() override;
  void apply() override;

  QRadioButton* enableButton() const { return enable_; }
  QRadioButton* disableButton() const { return disable_; }
  QLineEdit* passwordEdit() const { return password_; }
  QLineEdit* confirmationEdit() const { return confirmation_; }

 protected:
  void showValues() override;

 private:
  void updateEnabling();
  SecurityPageAnswer take() const;

  ViewerUi& ui_;
  std::string storedDigest_;  // the editing copy's digest when the page was shown
  QGroupBox* group_ = nullptr;
  QRadioButton* enable_ = nullptr;
  QRadioButton* disable_ = nullptr;
  QLabel* passwordLabel_ = nullptr;
  QLineEdit* password_ = nullptr;
  QLabel* confirmationLabel_ = nullptr;
  QLineEdit* confirmation_ = nullptr;
};

}  // namespace ipcam::ui
