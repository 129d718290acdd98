#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/ui_services.h"
#include "ui/advance_config_page.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTreeWidget;

namespace ipcam::ui {

// The general page: the recording directories with their free space, and the scan time, file
// size, cycle recording and age lists.
class CAdvanceConfigGeneral : public CAdvanceConfigPage {
 public:
  // Asks the user for a folder, starting at `start`; nothing when the user cancelled.
  using FolderChooser =
      std::function<std::optional<std::string>(QWidget* parent, const std::string& start)>;

  // `chooser` empty: the desktop's folder dialog.
  CAdvanceConfigGeneral(ViewerUi& ui, FolderChooser chooser, QWidget* parent = nullptr);

  void retranslateUi() override;
  void apply() override;

  // The three buttons; each is refused while a recording runs.
  void newDirectory();
  void editDirectory();
  void deleteDirectory();

  // The controls, for the tests.
  QTreeWidget* directoryList() const { return list_; }
  QPushButton* newButton() const { return new_; }
  QPushButton* editButton() const { return edit_; }
  QPushButton* deleteButton() const { return delete_; }
  QComboBox* scanTimeList() const { return scanTime_; }
  QComboBox* fileSizeList() const { return fileSize_; }
  QComboBox* recCycleList() const { return recCycle_; }
  QComboBox* recCycleTimeList() const { return recCycleTime_; }
  const RecordDirs& directories() const { return dirs_; }

 protected:
  void showValues() override;

 private:
  void fillDirectoryList();
  void fillOptionLists();
  int selectedLine() const;
  // The folder browser for `slot`, and the slot's new directory when the user chose one.
  void chooseFolderFor(int slot);
  bool refused(const RecordDirAnswer& answer);

  ViewerUi& ui_;
  FolderChooser chooser_;
  RecordDirs dirs_;  // the list as edited; the editing copy takes it on apply
  QGroupBox* directoryGroup_ = nullptr;
  QGroupBox* settingsGroup_ = nullptr;
  QTreeWidget* list_ = nullptr;
  QPushButton* new_ = nullptr;
  QPushButton* edit_ = nullptr;
  QPushButton* delete_ = nullptr;
  QLabel* scanTimeLabel_ = nullptr;
  QLabel* secondsLabel_ = nullptr;
  QLabel* fileSizeLabel_ = nullptr;
  QLabel* recCycleLabel_ = nullptr;
  QLabel* recCycleTimeLabel_ = nullptr;
  QComboBox* scanTime_ = nullptr;
  QComboBox* fileSize_ = nullptr;
  QComboBox* recCycle_ = nullptr;
  QComboBox* recCycleTime_ = nullptr;
};

}  // namespace ipcam::ui
