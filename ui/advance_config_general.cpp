#include "ui/advance_config_general.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <mutex>

#include "app/advance_config_rules.h"
#include "core/viewer_settings.h"

namespace ipcam::ui {
namespace {

constexpr int kDirectoryColumnWidth = 300;

QString generalText(std::string_view key) {
  return languageText(kGeneralSection, key);
}

std::optional<std::string> chooseWithDesktop(QWidget* parent, const std::string& start) {
  const QString folder = QFileDialog::getExistingDirectory(parent, QString(), qtText(start));
  if (folder.isEmpty()) return std::nullopt;
  return folder.toStdString();
}

}  // namespace

CAdvanceConfigGeneral::CAdvanceConfigGeneral(ViewerUi& ui, FolderChooser chooser, QWidget* parent)
    : CAdvanceConfigPage(parent),
      ui_(ui),
      chooser_(chooser ? std::move(chooser) : FolderChooser(chooseWithDesktop)) {
  setObjectName(QStringLiteral("CAdvanceConfigGeneral"));

  directoryGroup_ = new QGroupBox(this);
  list_ = new QTreeWidget(directoryGroup_);
  list_->setObjectName(QStringLiteral("directoryList"));
  list_->setColumnCount(2);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setTextElideMode(Qt::ElideLeft);  // a long path keeps the end that tells it apart
  list_->setColumnWidth(0, kDirectoryColumnWidth);
  list_->header()->setStretchLastSection(true);
  list_->setMinimumHeight(list_->fontMetrics().height() * 6);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { editDirectory(); });

  new_ = new QPushButton(directoryGroup_);
  edit_ = new QPushButton(directoryGroup_);
  delete_ = new QPushButton(directoryGroup_);
  for (QPushButton* button : {new_, edit_, delete_}) button->setAutoDefault(false);
  connect(new_, &QPushButton::clicked, this, &CAdvanceConfigGeneral::newDirectory);
  connect(edit_, &QPushButton::clicked, this, &CAdvanceConfigGeneral::editDirectory);
  connect(delete_, &QPushButton::clicked, this, &CAdvanceConfigGeneral::deleteDirectory);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(new_);
  buttons->addWidget(edit_);
  buttons->addWidget(delete_);
  auto* directoryLayout = new QVBoxLayout(directoryGroup_);
  directoryLayout->addWidget(list_);
  directoryLayout->addLayout(buttons);

  settingsGroup_ = new QGroupBox(this);
  scanTimeLabel_ = new QLabel(settingsGroup_);
  secondsLabel_ = new QLabel(settingsGroup_);
  fileSizeLabel_ = new QLabel(settingsGroup_);
  recCycleLabel_ = new QLabel(settingsGroup_);
  recCycleTimeLabel_ = new QLabel(settingsGroup_);
  scanTime_ = new QComboBox(settingsGroup_);
  fileSize_ = new QComboBox(settingsGroup_);
  recCycle_ = new QComboBox(settingsGroup_);
  recCycleTime_ = new QComboBox(settingsGroup_);
  for (const int seconds : kScanTimeChoices) scanTime_->addItem(QString::number(seconds));
  for (const int megabytes : kFileSizeChoices) fileSize_->addItem(QString::number(megabytes));
  for (std::size_t i = 0; i < kRecCycleOptionKeys.size(); ++i) recCycle_->addItem(QString());
  for (std::size_t i = 0; i < kRecCycleTimeOptionKeys.size(); ++i) recCycleTime_->addItem({});
  scanTimeLabel_->setBuddy(scanTime_);
  fileSizeLabel_->setBuddy(fileSize_);
  recCycleLabel_->setBuddy(recCycle_);
  recCycleTimeLabel_->setBuddy(recCycleTime_);

  auto* grid = new QGridLayout(settingsGroup_);
  grid->addWidget(scanTimeLabel_, 0, 0);
  grid->addWidget(scanTime_, 0, 1);
  grid->addWidget(secondsLabel_, 0, 2);
  grid->addWidget(fileSizeLabel_, 1, 0);
  grid->addWidget(fileSize_, 1, 1);
  grid->addWidget(recCycleLabel_, 2, 0);
  grid->addWidget(recCycle_, 2, 1);
  grid->addWidget(recCycleTimeLabel_, 3, 0);
  grid->addWidget(recCycleTime_, 3, 1);
  grid->setColumnStretch(3, 1);

  auto* whole = new QVBoxLayout(this);
  whole->addWidget(directoryGroup_, 1);
  whole->addWidget(settingsGroup_);

  retranslateUi();
}

void CAdvanceConfigGeneral::retranslateUi() {
  directoryGroup_->setTitle(generalText("Static_DirectoryInformation"));
  settingsGroup_->setTitle(generalText("Static_GeneralSettings"));
  list_->setHeaderLabels(
      {generalText("Static_RecordDirectory"), generalText("Staitc_FreeDiskSpace")});
  new_->setText(generalText("Button_New"));
  edit_->setText(generalText("Button_Edit"));
  delete_->setText(generalText("Button_Delete"));
  scanTimeLabel_->setText(generalText("Static_ScanTime"));
  secondsLabel_->setText(generalText("Static_Seconds"));
  fileSizeLabel_->setText(generalText("Static_MaxVideoFileSize"));
  recCycleLabel_->setText(generalText("Static_CycleRecording"));
  recCycleTimeLabel_->setText(generalText("Static_Delete_files_recorded_more_than"));
  fillOptionLists();
  if (shownOnce()) fillDirectoryList();
}

void CAdvanceConfigGeneral::fillOptionLists() {
  for (std::size_t i = 0; i < kRecCycleOptionKeys.size(); ++i) {
    recCycle_->setItemText(static_cast<int>(i), generalText(kRecCycleOptionKeys[i]));
  }
  for (std::size_t i = 0; i < kRecCycleTimeOptionKeys.size(); ++i) {
    recCycleTime_->setItemText(static_cast<int>(i), generalText(kRecCycleTimeOptionKeys[i]));
  }
}

void CAdvanceConfigGeneral::showValues() {
  int scanTime = 0;
  int fileSize = 0;
  int recCycle = 0;
  int recCycleTime = 0;
  {
    std::lock_guard lock(settingsMutex());
    const ViewerSettings& edit = editSettings();
    dirs_ = edit.recPath;
    scanTime = edit.scanTime;
    fileSize = edit.fileSize;
    recCycle = edit.recCycle;
    recCycleTime = edit.recCycleTime;
  }
  scanTime_->setCurrentIndex(scanTimeIndex(scanTime));
  fileSize_->setCurrentIndex(fileSizeIndex(fileSize));
  recCycle_->setCurrentIndex(recCycleIndex(recCycle));
  recCycleTime_->setCurrentIndex(recCycleTimeIndex(recCycleTime));
  fillDirectoryList();
}

void CAdvanceConfigGeneral::fillDirectoryList() {
  list_->clear();
  const QString megabytes = generalText("Static_MB");
  for (const std::string& dir : dirs_) {
    if (dir.empty()) continue;
    const auto free = recordDirFreeMegabytes(dir);
    auto* item =
        new QTreeWidgetItem(list_, {qtText(dir), QStringLiteral("%1 %2").arg(free).arg(megabytes)});
    item->setToolTip(0, qtText(dir));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
}

int CAdvanceConfigGeneral::selectedLine() const {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
}

bool CAdvanceConfigGeneral::refused(const RecordDirAnswer& answer) {
  if (answer.accepted()) return false;
  showLanguageMessage(ui_, kGeneralSection, answer.message);
  return true;
}

void CAdvanceConfigGeneral::newDirectory() {
  const RecordDirAnswer answer = newRecordDir(dirs_, anyRecorderRecording());
  if (refused(answer)) return;
  chooseFolderFor(answer.slot);
}

void CAdvanceConfigGeneral::editDirectory() {
  const RecordDirAnswer answer = editRecordDir(dirs_, selectedLine(), anyRecorderRecording());
  if (refused(answer) || answer.slot < 0) return;
  chooseFolderFor(answer.slot);
}

void CAdvanceConfigGeneral::deleteDirectory() {
  const RecordDirAnswer answer = deleteRecordDir(dirs_, selectedLine(), anyRecorderRecording());
  if (refused(answer) || answer.slot < 0) return;
  fillDirectoryList();
}

void CAdvanceConfigGeneral::chooseFolderFor(int slot) {
  const std::optional<std::string> folder =
      chooser_(window(), dirs_[static_cast<std::size_t>(slot)]);
  if (!folder || folder->empty()) return;
  if (refused(setRecordDir(dirs_, slot, *folder))) return;
  fillDirectoryList();
}

void CAdvanceConfigGeneral::apply() {
  const int scanTime = scanTimeAt(scanTime_->currentIndex());
  {
    std::lock_guard lock(settingsMutex());
    ViewerSettings& edit = editSettings();
    edit.recPath = dirs_;
    edit.scanTime = scanTime;
    edit.fileSize = fileSizeAt(fileSize_->currentIndex());
    edit.recCycle = recCycleAt(recCycle_->currentIndex());
    edit.recCycleTime = recCycleTimeAt(recCycleTime_->currentIndex());
    ViewerSettings& live = liveSettings();
    live.scanTime = edit.scanTime;
    live.fileSize = edit.fileSize;
    live.recCycle = edit.recCycle;
    live.recCycleTime = edit.recCycleTime;
  }
  ui_.setScanInterval(scanTime);
  confirmRecordDirs(dirs_, &ui_);
}

}  // namespace ipcam::ui
