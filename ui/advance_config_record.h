#pragma once

#include <QDialog>
#include <array>
#include <optional>

#include "app/ui_services.h"
#include "ui/advance_config_camera_page.h"

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTimeEdit;

namespace ipcam {
class ViewerUi;
}

namespace ipcam::ui {

// New or Edit of a one-time schedule: From and To, each a date and a time. OK adds the range
// to the editing copy's table (an edit replaces its entry) or says why it cannot, and stays.
class CAdvanceConfigRecordOneTime : public QDialog {
  Q_OBJECT

 public:
  // `editIndex`: the table entry being edited; none for a new schedule.
  CAdvanceConfigRecordOneTime(ViewerUi& ui, int channel, const OneTimeRange& shown,
                              std::optional<int> editIndex, QWidget* parent = nullptr);

  void accept() override;
  void retranslateUi();

  QDateEdit* fromDate() const { return fromDate_; }
  QTimeEdit* fromTime() const { return fromTime_; }
  QDateEdit* toDate() const { return toDate_; }
  QTimeEdit* toTime() const { return toTime_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  ViewerUi& ui_;
  int channel_;
  std::optional<int> editIndex_;
  QLabel* fromLabel_ = nullptr;
  QLabel* toLabel_ = nullptr;
  QDateEdit* fromDate_ = nullptr;
  QTimeEdit* fromTime_ = nullptr;
  QDateEdit* toDate_ = nullptr;
  QTimeEdit* toTime_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

// New or Edit of a weekly schedule: the days, From and To as times of day.
class CAdvanceConfigRecordWeekly : public QDialog {
  Q_OBJECT

 public:
  CAdvanceConfigRecordWeekly(ViewerUi& ui, int channel, const WeeklyForm& shown,
                             std::optional<int> editIndex, QWidget* parent = nullptr);

  void accept() override;
  void retranslateUi();
  // "Button_AllTimeRecord": every day, all day.
  void showAllTime();

  // Sunday first.
  QCheckBox* day(int weekday) const { return days_[static_cast<std::size_t>(weekday)]; }
  QTimeEdit* fromTime() const { return fromTime_; }
  QTimeEdit* toTime() const { return toTime_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* allTimeButton() const { return allTime_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void showForm(const WeeklyForm& form);

  ViewerUi& ui_;
  int channel_;
  std::optional<int> editIndex_;
  std::array<QCheckBox*, 7> days_{};
  QLabel* fromLabel_ = nullptr;
  QLabel* toLabel_ = nullptr;
  QTimeEdit* fromTime_ = nullptr;
  QTimeEdit* toTime_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* allTime_ = nullptr;
};

// The channel's one-time and weekly schedules, edited in the editing copy's table.
class CAdvanceConfigRecord : public CAdvanceConfigCameraPage {
  Q_OBJECT

 public:
  // Expired one-time schedules leave the editing copy at once.
  explicit CAdvanceConfigRecord(ViewerUi& ui, QWidget* parent = nullptr);

  void take() override {}  // the dialogs change the editing copy directly
  void showChannel(int channel) override;
  void enable() override;
  bool apply() override;
  void retranslateUi() override;

  // The page's buttons. Edit and Delete act on the line selected in their list.
  void newOneTime();
  void editOneTime();
  void deleteOneTime();
  void newWeekly();
  void editWeekly();
  void deleteWeekly();

  struct ScheduleList {
    QGroupBox* group = nullptr;
    QListWidget* list = nullptr;
    QPushButton* add = nullptr;
    QPushButton* edit = nullptr;
    QPushButton* remove = nullptr;
  };
  const ScheduleList& oneTime() const { return oneTime_; }
  const ScheduleList& weekly() const { return weekly_; }

 private:
  ScheduleList makeList(int mode);
  void refill();
  // The table entry behind the selected line of a list, or -1.
  int selectedEntry(const ScheduleList& list, int mode) const;
  void deleteSelected(const ScheduleList& list, int mode);

  ViewerUi& ui_;
  ScheduleList oneTime_;
  ScheduleList weekly_;
};

}  // namespace ipcam::ui
