#pragma once

#include <QDialog>

#include "app/advance_config_rules.h"

class QLineEdit;
class QPushButton;

namespace ipcam {
class ViewerUi;
}

namespace ipcam::ui {

// The address of one recipient slot. OK stores a valid address in the slot and closes; an
// address without an at sign or one another slot already has is refused and the dialog stays.
class CAdvanceConfigMailAddress : public QDialog {
  Q_OBJECT

 public:
  CAdvanceConfigMailAddress(ViewerUi& ui, Recipients& recipients, int slot,
                            QWidget* parent = nullptr);

  void retranslateUi();
  void accept() override;

  QLineEdit* addressEdit() const { return edit_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  ViewerUi& ui_;
  Recipients& recipients_;
  const int slot_;
  QLineEdit* edit_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace ipcam::ui
