#include "ui/play_back_dialog.h"

#include <QDateEdit>
#include <QDateTime>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <mutex>

#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/trace.h"

namespace ipcam::ui {
namespace {

constexpr int kDirectoryColumnWidth = 80;
constexpr int kChannelColumnWidth = 50;
constexpr int kFileNameColumnWidth = 230;

// The main window's slate console colours, so the dialog reads as part of the same program.
constexpr const char* kStyleSheet = R"(
QDialog#CPlayBackDialog { background: #1d222a; }
QLabel { color: #c6d0dc; background: transparent; }
QGroupBox {
  color: #7f8c9c; border: 1px solid #3b4553; border-radius: 6px;
  margin-top: 14px; padding: 10px 8px 8px 8px; background: #232932;
}
QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; }
QDateEdit, QTimeEdit {
  color: #e3e9f0; background: #161a20; border: 1px solid #2e3641; border-radius: 3px;
  padding: 2px 4px; selection-background-color: #3da6e0;
}
QDateEdit:focus, QTimeEdit:focus { border-color: #5cc8ff; }
QTimeEdit::up-button, QTimeEdit::down-button, QDateEdit::drop-down {
  width: 16px; background: #262d37; border-left: 1px solid #2e3641;
}
QTimeEdit::up-arrow, QTimeEdit::down-arrow, QDateEdit::down-arrow {
  width: 0; height: 0; border-left: 4px solid #262d37; border-right: 4px solid #262d37;
}
QTimeEdit::up-arrow { border-bottom: 5px solid #c6d0dc; }
QTimeEdit::down-arrow, QDateEdit::down-arrow { border-top: 5px solid #c6d0dc; }
QPushButton {
  color: #e3e9f0; border: 1px solid #3b4553; border-radius: 4px; padding: 4px 16px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #323b47, stop:1 #222831);
}
QPushButton:hover { border-color: #5cc8ff; }
QPushButton:pressed { background: #161a20; }
QTreeWidget {
  color: #c8d2de; background: #101319; alternate-background-color: #151920;
  border: 1px solid #566070; selection-background-color: #3da6e0; selection-color: #ffffff;
}
QHeaderView::section {
  color: #c6d0dc; background: #262d37; border: none; border-right: 1px solid #3b4553;
  border-bottom: 1px solid #3b4553; padding: 3px 6px;
}
)";

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

std::string text(const char* key) {
  return CMultiLanguage::instance().text("PlaybackDlg", key);
}

LocalTime localTimeOf(const QDate& date, const QTime& time) {
  return LocalTime{date.year(),   date.month(),  date.day(), time.hour(),
                   time.minute(), time.second(), 0};
}

void openWithDesktop(const std::string& path) {
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(qs(path)))) {
    platform::trace("Playback: the desktop could not open %s", path.c_str());
  }
}

std::array<std::string, 3> configuredDirectories() {
  std::lock_guard lock(settingsMutex());
  return liveSettings().recPath;
}

}  // namespace

CPlayBackDialog::CPlayBackDialog(ViewerUi& ui, QWidget* parent, FileOpener opener)
    : QDialog(parent), ui_(ui), opener_(opener ? std::move(opener) : FileOpener(openWithDesktop)) {
  setObjectName(QStringLiteral("CPlayBackDialog"));
  setWindowTitle(qs(text("Static_Title")));
  setStyleSheet(QString::fromLatin1(kStyleSheet));

  auto* timeGroup = new QGroupBox(qs(text("Static_TimeSearch")), this);
  auto* motionGroup = new QGroupBox(qs(text("Static_MotionSearch")), this);
  time_ = makeSearchGroup(timeGroup, false);
  motion_ = makeSearchGroup(motionGroup, true);

  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("playbackList"));
  list_->setColumnCount(3);
  list_->setHeaderLabels(
      {qs(CMultiLanguage::instance().text("AdvanceConfigGeneral", "Static_RecordDirectory")),
       qs(text("Static_Channel")), qs(text("Static_FileName"))});
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setAlternatingRowColors(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  // The list's widths, or the header text's where a language needs more room.
  const QFontMetrics metrics(list_->header()->font());
  const auto widthFor = [&](int column, int width) {
    return std::max(width, metrics.horizontalAdvance(list_->headerItem()->text(column)) + 24);
  };
  list_->setColumnWidth(kPlaybackDirectory, widthFor(kPlaybackDirectory, kDirectoryColumnWidth));
  list_->setColumnWidth(kPlaybackChannel, widthFor(kPlaybackChannel, kChannelColumnWidth));
  // A long directory keeps its end, the part that tells directories apart.
  list_->setTextElideMode(Qt::ElideLeft);
  list_->setColumnWidth(kPlaybackFileName, kFileNameColumnWidth);
  list_->header()->setSectionsClickable(true);
  list_->header()->setStretchLastSection(true);
  list_->setMinimumSize(kDirectoryColumnWidth + kChannelColumnWidth + kFileNameColumnWidth + 24,
                        300);
  connect(list_->header(), &QHeaderView::sectionClicked, this, &CPlayBackDialog::sortByColumn);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { playSelected(); });

  play_ = new QPushButton(qs(text("Button_Play")), this);
  ok_ = new QPushButton(qs(text("Button_OK")), this);
  play_->setAutoDefault(false);
  connect(play_, &QPushButton::clicked, this, &CPlayBackDialog::playSelected);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  auto* searches = new QVBoxLayout;
  searches->addWidget(timeGroup);
  searches->addWidget(motionGroup);
  searches->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(play_);
  buttons->addWidget(ok_);
  auto* results = new QVBoxLayout;
  results->addWidget(list_);
  results->addLayout(buttons);
  auto* whole = new QHBoxLayout(this);
  whole->addLayout(searches);
  whole->addLayout(results, 1);
}

CPlayBackDialog::SearchControls CPlayBackDialog::makeSearchGroup(QWidget* group, bool motionOnly) {
  // Every picker starts at the moment the dialog is made; the From pickers then go back to
  // the start of the day, so the first search covers today up to now.
  const QDateTime now = QDateTime::currentDateTime();
  SearchControls controls;
  const auto makeDate = [group](const QDate& date) {
    auto* edit = new QDateEdit(date, group);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    edit->setCalendarPopup(true);
    return edit;
  };
  const auto makeTime = [group](const QTime& time) {
    auto* edit = new QTimeEdit(time, group);
    edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    return edit;
  };
  controls.fromDate = makeDate(now.date());
  controls.fromTime = makeTime(QTime(0, 0, 0));
  controls.toDate = makeDate(now.date());
  controls.toTime = makeTime(now.time());
  controls.search = new QPushButton(qs(text("Button_Search")), group);
  controls.search->setAutoDefault(false);
  connect(controls.search, &QPushButton::clicked, this,
          [this, motionOnly] { searchRecordings(motionOnly); });

  auto* grid = new QGridLayout(group);
  grid->addWidget(new QLabel(qs(text("Static_From")), group), 0, 0);
  grid->addWidget(controls.fromDate, 0, 1);
  grid->addWidget(controls.fromTime, 0, 2);
  grid->addWidget(new QLabel(qs(text("Static_To")), group), 1, 0);
  grid->addWidget(controls.toDate, 1, 1);
  grid->addWidget(controls.toTime, 1, 2);
  grid->addWidget(controls.search, 2, 2);
  return controls;
}

void CPlayBackDialog::searchRecordings(bool motionOnly) {
  const SearchControls& c = motionOnly ? motion_ : time_;
  const LocalTime from = localTimeOf(c.fromDate->date(), c.fromTime->time());
  const LocalTime to = localTimeOf(c.toDate->date(), c.toTime->time());
  if (laterThan(from, to)) {
    ui_.messageBox(text("Message_ToTimeShouldAfterFrom"), kDefaultMessageTitle);
    return;
  }
  rows_ = ipcam::searchRecordings(configuredDirectories(), from, to, motionOnly);
  showRows();
}

void CPlayBackDialog::showRows() {
  list_->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows_.size()));
  for (const PlaybackRow& row : rows_) {
    auto* item = new QTreeWidgetItem({qs(row.directory), qs(row.channel), qs(row.fileName)});
    item->setToolTip(kPlaybackDirectory, qs(row.directory));
    items.push_back(item);
  }
  list_->addTopLevelItems(items);
}

void CPlayBackDialog::sortByColumn(int column) {
  sort_.clickColumn(rows_, column);
  list_->header()->setSortIndicatorShown(true);
  list_->header()->setSortIndicator(column,
                                    sort_.ascending() ? Qt::AscendingOrder : Qt::DescendingOrder);
  showRows();
}

void CPlayBackDialog::playSelected() {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;
  const int index = list_->indexOfTopLevelItem(selected.front());
  if (index < 0 || index >= static_cast<int>(rows_.size())) return;
  opener_(playbackFilePath(rows_[static_cast<std::size_t>(index)]));
}

}  // namespace ipcam::ui
