#include "ui/advance_config_record.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <mutex>
#include <string>
#include <string_view>

#include "core/multi_language.h"
#include "core/viewer_ui.h"
#include "ui/dialog_buttons.h"
#include "ui/dialog_style.h"

namespace ipcam::ui {
namespace {

constexpr std::string_view kPageSection = "AdvanceConfigRecord";
constexpr std::array<const char*, 7> kDayKeys = {"CheckBox_Sun", "CheckBox_Mon", "CheckBox_Tue",
                                                 "CheckBox_Wed", "CheckBox_Thu", "CheckBox_Fri",
                                                 "CheckBox_Sat"};

QString qs(const std::string& value) {
  return QString::fromStdString(value);
}

QString langText(std::string_view section, std::string_view key) {
  return qs(CMultiLanguage::instance().text(section, key));
}

QDate dateOf(const LocalTime& time) {
  return QDate(time.year, time.month, time.day);
}

QTime timeOf(const LocalTime& time) {
  return QTime(time.hour, time.minute, time.second);
}

QTime timeOf(const TimeOfDay& time) {
  return QTime(time.hour, time.minute, time.second);
}

LocalTime localTimeOf(const QDate& date, const QTime& time) {
  return makeLocalTime(date.year(), date.month(), date.day(), time.hour(), time.minute(),
                       time.second());
}

TimeOfDay timeOfDay(const QTime& time) {
  return TimeOfDay{time.hour(), time.minute(), time.second()};
}

QDateEdit* makeDate(QWidget* parent) {
  auto* edit = new QDateEdit(parent);
  edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  edit->setCalendarPopup(true);
  return edit;
}

QTimeEdit* makeTime(QWidget* parent) {
  auto* edit = new QTimeEdit(parent);
  edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  return edit;
}

// A refusal of the dialog's OK in a box; the dialog stays open.
bool refused(ViewerUi& ui, const ScheduleAnswer& answer) {
  if (answer.accepted()) return false;
  ui.messageBox(CMultiLanguage::instance().text(answer.section, answer.message),
                kDefaultMessageTitle);
  return true;
}

void addOkCancel(QGridLayout* grid, int row, QPushButton* ok, QPushButton* cancel,
                 QDialog* dialog) {
  grid->addLayout(okCancelRow(dialog, ok, cancel), row, 0, 1, -1);
}

}  // namespace

// ---- one-time dialog ----

CAdvanceConfigRecordOneTime::CAdvanceConfigRecordOneTime(ViewerUi& ui, int channel,
                                                         const OneTimeRange& shown,
                                                         std::optional<int> editIndex,
                                                         QWidget* parent)
    : QDialog(parent), ui_(ui), channel_(channel), editIndex_(editIndex) {
  setObjectName(QStringLiteral("CAdvanceConfigRecordOneTime"));
  setStyleSheet(QString::fromLatin1(kSettingsDialogStyle));
  fromLabel_ = new QLabel(this);
  toLabel_ = new QLabel(this);
  fromDate_ = makeDate(this);
  fromTime_ = makeTime(this);
  toDate_ = makeDate(this);
  toTime_ = makeTime(this);
  fromDate_->setDate(dateOf(shown.from));
  fromTime_->setTime(timeOf(shown.from));
  toDate_->setDate(dateOf(shown.to));
  toTime_->setTime(timeOf(shown.to));
  ok_ = new QPushButton(this);
  cancel_ = new QPushButton(this);
  auto* grid = new QGridLayout(this);
  grid->addWidget(fromLabel_, 0, 0);
  grid->addWidget(fromDate_, 0, 1);
  grid->addWidget(fromTime_, 0, 2);
  grid->addWidget(toLabel_, 1, 0);
  grid->addWidget(toDate_, 1, 1);
  grid->addWidget(toTime_, 1, 2);
  addOkCancel(grid, 2, ok_, cancel_, this);
  retranslateUi();
}

void CAdvanceConfigRecordOneTime::retranslateUi() {
  setWindowTitle(langText(kOneTimeSection, "Static_Title"));
  // The key is spelt so in every language file.
  fromLabel_->setText(langText(kOneTimeSection, "Staitc_From"));
  toLabel_->setText(langText(kOneTimeSection, "Static_To"));
  ok_->setText(langText(kOneTimeSection, "Button_OK"));
  cancel_->setText(langText(kOneTimeSection, "Button_Cancel"));
}

void CAdvanceConfigRecordOneTime::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) retranslateUi();
  QDialog::changeEvent(event);
}

void CAdvanceConfigRecordOneTime::accept() {
  const OneTimeRange range{localTimeOf(fromDate_->date(), fromTime_->time()),
                           localTimeOf(toDate_->date(), toTime_->time())};
  ScheduleAnswer answer;
  {
    std::lock_guard lock(settingsMutex());
    ScheduleTable& table = editSettings().schedule;
    answer = editIndex_ ? editOneTimeSchedule(table, *editIndex_, range)
                        : addOneTimeSchedule(table, channel_, range);
  }
  if (refused(ui_, answer)) return;
  QDialog::accept();
}

// ---- weekly dialog ----

CAdvanceConfigRecordWeekly::CAdvanceConfigRecordWeekly(ViewerUi& ui, int channel,
                                                       const WeeklyForm& shown,
                                                       std::optional<int> editIndex,
                                                       QWidget* parent)
    : QDialog(parent), ui_(ui), channel_(channel), editIndex_(editIndex) {
  setObjectName(QStringLiteral("CAdvanceConfigRecordWeekly"));
  setStyleSheet(QString::fromLatin1(kSettingsDialogStyle));
  auto* dayRow = new QHBoxLayout;
  for (QCheckBox*& box : days_) {
    box = new QCheckBox(this);
    dayRow->addWidget(box);
  }
  fromLabel_ = new QLabel(this);
  toLabel_ = new QLabel(this);
  fromTime_ = makeTime(this);
  toTime_ = makeTime(this);
  allTime_ = new QPushButton(this);
  allTime_->setAutoDefault(false);
  ok_ = new QPushButton(this);
  cancel_ = new QPushButton(this);
  auto* grid = new QGridLayout(this);
  grid->addLayout(dayRow, 0, 0, 1, -1);
  grid->addWidget(fromLabel_, 1, 0);
  grid->addWidget(fromTime_, 1, 1);
  grid->addWidget(toLabel_, 2, 0);
  grid->addWidget(toTime_, 2, 1);
  grid->addWidget(allTime_, 1, 2, 2, 1);
  addOkCancel(grid, 3, ok_, cancel_, this);
  connect(allTime_, &QPushButton::clicked, this, &CAdvanceConfigRecordWeekly::showAllTime);
  showForm(shown);
  retranslateUi();
}

void CAdvanceConfigRecordWeekly::retranslateUi() {
  setWindowTitle(langText(kWeeklySection, "Static_Title"));
  for (std::size_t i = 0; i < days_.size(); ++i)
    days_[i]->setText(langText(kWeeklySection, kDayKeys[i]));
  fromLabel_->setText(langText(kWeeklySection, "Static_From"));
  toLabel_->setText(langText(kWeeklySection, "Static_To"));
  allTime_->setText(langText(kWeeklySection, "Button_AllTimeRecord"));
  ok_->setText(langText(kWeeklySection, "Button_OK"));
  cancel_->setText(langText(kWeeklySection, "Button_Cancel"));
}

void CAdvanceConfigRecordWeekly::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) retranslateUi();
  QDialog::changeEvent(event);
}

void CAdvanceConfigRecordWeekly::showForm(const WeeklyForm& form) {
  for (std::size_t i = 0; i < days_.size(); ++i) days_[i]->setChecked((form.dayMask >> i) & 1);
  fromTime_->setTime(timeOf(form.from));
  toTime_->setTime(timeOf(form.to));
}

void CAdvanceConfigRecordWeekly::showAllTime() {
  showForm(allTimeRecordForm());
}

void CAdvanceConfigRecordWeekly::accept() {
  WeeklyForm form;
  for (std::size_t i = 0; i < days_.size(); ++i) {
    if (days_[i]->isChecked()) form.dayMask |= 1 << i;
  }
  form.from = timeOfDay(fromTime_->time());
  form.to = timeOfDay(toTime_->time());
  ScheduleAnswer answer;
  {
    std::lock_guard lock(settingsMutex());
    ScheduleTable& table = editSettings().schedule;
    answer = editIndex_ ? editWeeklySchedule(table, *editIndex_, form)
                        : addWeeklySchedule(table, channel_, form);
  }
  if (refused(ui_, answer)) return;
  QDialog::accept();
}

// ---- page ----

CAdvanceConfigRecord::CAdvanceConfigRecord(ViewerUi& ui, QWidget* parent)
    : CAdvanceConfigCameraPage(parent), ui_(ui) {
  setObjectName(QStringLiteral("CAdvanceConfigRecord"));
  {
    std::lock_guard lock(settingsMutex());
    purgeExpiredSchedules(editSettings().schedule, localTimeNow());
  }
  oneTime_ = makeList(kScheduleOneTime);
  weekly_ = makeList(kScheduleWeekly);
  connect(oneTime_.add, &QPushButton::clicked, this, &CAdvanceConfigRecord::newOneTime);
  connect(oneTime_.edit, &QPushButton::clicked, this, &CAdvanceConfigRecord::editOneTime);
  connect(oneTime_.remove, &QPushButton::clicked, this, &CAdvanceConfigRecord::deleteOneTime);
  connect(weekly_.add, &QPushButton::clicked, this, &CAdvanceConfigRecord::newWeekly);
  connect(weekly_.edit, &QPushButton::clicked, this, &CAdvanceConfigRecord::editWeekly);
  connect(weekly_.remove, &QPushButton::clicked, this, &CAdvanceConfigRecord::deleteWeekly);
  auto* page = new QVBoxLayout(this);
  page->addWidget(oneTime_.group);
  page->addWidget(weekly_.group);
  retranslateUi();
}

CAdvanceConfigRecord::ScheduleList CAdvanceConfigRecord::makeList(int mode) {
  ScheduleList l;
  l.group = new QGroupBox(this);
  l.list = new QListWidget(l.group);
  l.list->setObjectName(mode == kScheduleOneTime ? QStringLiteral("oneTimeList")
                                                 : QStringLiteral("weeklyList"));
  l.add = new QPushButton(l.group);
  l.edit = new QPushButton(l.group);
  l.remove = new QPushButton(l.group);
  for (QPushButton* button : {l.add, l.edit, l.remove}) button->setAutoDefault(false);
  l.edit->setEnabled(false);
  l.remove->setEnabled(false);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(l.add);
  buttons->addWidget(l.edit);
  buttons->addWidget(l.remove);
  buttons->addStretch();
  auto* row = new QHBoxLayout(l.group);
  row->addWidget(l.list, 1);
  row->addLayout(buttons);
  connect(l.list, &QListWidget::itemSelectionChanged, this, &CAdvanceConfigRecord::enable);
  const bool oneTime = mode == kScheduleOneTime;
  connect(l.list, &QListWidget::itemDoubleClicked, this,
          [this, oneTime] { oneTime ? editOneTime() : editWeekly(); });
  return l;
}

void CAdvanceConfigRecord::retranslateUi() {
  oneTime_.group->setTitle(langText(kPageSection, "Static_OneTimeSchedule"));
  oneTime_.add->setText(langText(kPageSection, "Button_OneTimeSchedule_New"));
  oneTime_.edit->setText(langText(kPageSection, "Button_OneTimeSchedule_Edit"));
  oneTime_.remove->setText(langText(kPageSection, "Button_OneTimeSchedule_Delete"));
  weekly_.group->setTitle(langText(kPageSection, "Static_WeeklySchedule"));
  weekly_.add->setText(langText(kPageSection, "Button_WeeklySchedule_New"));
  weekly_.edit->setText(langText(kPageSection, "Button_WeeklySchedule_Edit"));
  weekly_.remove->setText(langText(kPageSection, "Button_WeeklySchedule_Delete"));
}

void CAdvanceConfigRecord::showChannel(int channel) {
  channel_ = channel;
  refill();
}

void CAdvanceConfigRecord::refill() {
  std::vector<std::string> oneTimeLines;
  std::vector<std::string> weeklyLines;
  {
    std::lock_guard lock(settingsMutex());
    oneTimeLines = scheduleLines(editSettings().schedule, channel_, kScheduleOneTime);
    weeklyLines = scheduleLines(editSettings().schedule, channel_, kScheduleWeekly);
  }
  for (auto [list, lines] :
       {std::pair{oneTime_.list, &oneTimeLines}, std::pair{weekly_.list, &weeklyLines}}) {
    list->clear();
    for (const std::string& line : *lines) list->addItem(qs(line));
  }
  enable();
}

void CAdvanceConfigRecord::enable() {
  for (const ScheduleList* l : {&oneTime_, &weekly_}) {
    const bool selected = !l->list->selectedItems().isEmpty();
    l->edit->setEnabled(selected);
    l->remove->setEnabled(selected);
  }
}

int CAdvanceConfigRecord::selectedEntry(const ScheduleList& list, int mode) const {
  const QList<QListWidgetItem*> selected = list.list->selectedItems();
  if (selected.isEmpty()) return -1;
  std::lock_guard lock(settingsMutex());
  return findScheduleEntry(editSettings().schedule, channel_, mode,
                           selected.front()->text().toStdString());
}

void CAdvanceConfigRecord::newOneTime() {
  CAdvanceConfigRecordOneTime dialog(ui_, channel_, newOneTimeRange(localTimeNow()), std::nullopt,
                                     this);
  if (dialog.exec() == QDialog::Accepted) refill();
}

void CAdvanceConfigRecord::editOneTime() {
  const int index = selectedEntry(oneTime_, kScheduleOneTime);
  if (index < 0) return;
  OneTimeRange shown;
  {
    std::lock_guard lock(settingsMutex());
    shown = oneTimeRangeOf(editSettings().schedule[static_cast<std::size_t>(index)]);
  }
  CAdvanceConfigRecordOneTime dialog(ui_, channel_, shown, index, this);
  if (dialog.exec() == QDialog::Accepted) refill();
}

void CAdvanceConfigRecord::newWeekly() {
  CAdvanceConfigRecordWeekly dialog(ui_, channel_, newWeeklyForm(localTimeNow()), std::nullopt,
                                    this);
  if (dialog.exec() == QDialog::Accepted) refill();
}

void CAdvanceConfigRecord::editWeekly() {
  const int index = selectedEntry(weekly_, kScheduleWeekly);
  if (index < 0) return;
  WeeklyForm shown;
  {
    std::lock_guard lock(settingsMutex());
    shown = weeklyFormOf(editSettings().schedule[static_cast<std::size_t>(index)]);
  }
  CAdvanceConfigRecordWeekly dialog(ui_, channel_, shown, index, this);
  if (dialog.exec() == QDialog::Accepted) refill();
}

void CAdvanceConfigRecord::deleteSelected(const ScheduleList& list, int mode) {
  const int index = selectedEntry(list, mode);
  if (index < 0) return;
  {
    std::lock_guard lock(settingsMutex());
    deleteSchedule(editSettings().schedule, index);
  }
  refill();
}

void CAdvanceConfigRecord::deleteOneTime() {
  deleteSelected(oneTime_, kScheduleOneTime);
}

void CAdvanceConfigRecord::deleteWeekly() {
  deleteSelected(weekly_, kScheduleWeekly);
}

bool CAdvanceConfigRecord::apply() {
  applyScheduleEdits(localTimeNow());
  refill();
  return true;
}

}  // namespace ipcam::ui
