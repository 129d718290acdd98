#pragma once

#include "ui/advance_config_page.h"

class QLabel;

namespace ipcam::ui {

// What the program is and which version runs.
class CAdvanceConfigAbout : public CAdvanceConfigPage {
 public:
  explicit CAdvanceConfigAbout(QWidget* parent = nullptr);

  void retranslateUi() override;
  void apply() override {}

  QLabel* informationLabel() const { return information_; }
  QLabel* versionLabel() const { return version_; }

 protected:
  void showValues() override {}

 private:
  QLabel* information_ = nullptr;
  QLabel* version_ = nullptr;
};

}  // namespace ipcam::ui
