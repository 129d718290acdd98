#include "ui/play_back_dialog.h"

#include <gtest/gtest.h>

#include <QDateEdit>
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"

namespace ipcam::ui {
namespace {

namespace fs = std::filesystem;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

std::vector<std::string> columnTexts(const QTreeWidget& list, int column) {
  std::vector<std::string> texts;
  for (int i = 0; i < list.topLevelItemCount(); ++i) {
    texts.push_back(list.topLevelItem(i)->text(column).toStdString());
  }
  return texts;
}

void setRange(const CPlayBackDialog::SearchControls& c, const QDateTime& from,
              const QDateTime& to) {
  c.fromDate->setDate(from.date());
  c.fromTime->setTime(from.time());
  c.toDate->setDate(to.date());
  c.toTime->setTime(to.time());
}

QPoint centreOfRow(const QTreeWidget& list, int row) {
  return list.visualItemRect(list.topLevelItem(row)).center();
}

// Two recording directories with a few recordings of 1 May 2014, the dialog in a real window,
// and the files it would open collected instead of opened.
class PlayBackDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(settingsMutex());
      savedRecPath_ = liveSettings().recPath;
      liveSettings().recPath = {dir("a"), "", dir("b")};
    }
    CMultiLanguage::instance().applyComboIndex(0);
    add("a", 1, "Schedule_2014-05-01_08-00-00.avi");
    add("a", 16, "Motion_2014-05-01_08-30-00.avi");
    add("b", 3, "Manual_2014-05-01_09-00-00.avi");
    add("b", 3, "Motion_2014-05-01_23-59-59.avi");
    add("b", 3, "Motion_2014-05-02_00-00-00.avi");
  }
  void TearDown() override {
    std::lock_guard lock(settingsMutex());
    liveSettings().recPath = savedRecPath_;
  }

  std::string dir(const std::string& name) const { return (folder_.path() / name).string(); }
  void add(const std::string& d, int camera, const std::string& name) {
    folder_.write(fs::path(d) / "Data" / "Record" / ("Camera " + std::to_string(camera)) / name,
                  "RIFF");
  }
  std::unique_ptr<CPlayBackDialog> openDialog() {
    auto dialog = std::make_unique<CPlayBackDialog>(
        ui_, nullptr, [this](const std::string& path) { opened_.push_back(path); });
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }

  TempFolder folder_;
  ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  std::array<std::string, 3> savedRecPath_;
  testing::RecordingViewerUi ui_;
  std::vector<std::string> opened_;
  const QDateTime dayStart_{QDate(2014, 5, 1), QTime(0, 0, 0)};
  const QDateTime dayEnd_{QDate(2014, 5, 1), QTime(23, 59, 59)};
};

TEST_F(PlayBackDialogTest, StartsWithTodaySoFarAndItsLanguageTexts) {
  const auto dialog = openDialog();
  CMultiLanguage& language = CMultiLanguage::instance();
  const auto text = [&language](const char* key) {
    return QString::fromStdString(language.text("PlaybackDlg", key));
  };
  EXPECT_EQ(dialog->windowTitle(), text("Static_Title"));
  EXPECT_EQ(dialog->playButton()->text(), text("Button_Play"));
  EXPECT_EQ(dialog->okButton()->text(), text("Button_OK"));
  const QTreeWidgetItem* header = dialog->resultList()->headerItem();
  EXPECT_EQ(header->text(0), QString::fromStdString(
                                 language.text("AdvanceConfigGeneral", "Static_RecordDirectory")));
  EXPECT_EQ(header->text(1), text("Static_Channel"));
  EXPECT_EQ(header->text(2), text("Static_FileName"));
  // At least the list's widths; more where the header text needs it.
  EXPECT_GE(dialog->resultList()->columnWidth(0), 80);
  EXPECT_GE(dialog->resultList()->columnWidth(1), 50);

  for (const auto* c : {&dialog->timeSearch(), &dialog->motionSearch()}) {
    EXPECT_EQ(c->search->text(), text("Button_Search"));
    EXPECT_EQ(c->fromTime->time(), QTime(0, 0, 0));
    EXPECT_EQ(c->fromDate->date(), c->toDate->date());
    EXPECT_LE(QDate::currentDate().daysTo(c->toDate->date()), 0);
    EXPECT_GE(QDate::currentDate().daysTo(c->toDate->date()), -1);  // made just before midnight
  }
}

TEST_F(PlayBackDialogTest, SearchesSortsAndPlaysWhatIsChosen) {
  const auto dialog = openDialog();
  QTreeWidget& list = *dialog->resultList();

  setRange(dialog->motionSearch(), dayStart_, dayEnd_);
  QTest::mouseClick(dialog->motionSearch().search, Qt::LeftButton);
  EXPECT_EQ(columnTexts(list, 2), (std::vector<std::string>{"Motion_2014-05-01_08-30-00.avi",
                                                            "Motion_2014-05-01_23-59-59.avi"}));

  setRange(dialog->timeSearch(), dayStart_, dayEnd_);
  QTest::mouseClick(dialog->timeSearch().search, Qt::LeftButton);
  EXPECT_EQ(columnTexts(list, 0),
            (std::vector<std::string>{dir("a"), dir("a"), dir("b"), dir("b")}));
  EXPECT_EQ(columnTexts(list, 1), (std::vector<std::string>{"1", "16", "3", "3"}));

  // By start time, whatever the mode; then the other way round.
  QHeaderView* header = list.header();
  const QPoint fileNameHeader(header->sectionViewportPosition(2) + 10, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, fileNameHeader);
  EXPECT_EQ(columnTexts(list, 2),
            (std::vector<std::string>{
                "Schedule_2014-05-01_08-00-00.avi", "Motion_2014-05-01_08-30-00.avi",
                "Manual_2014-05-01_09-00-00.avi", "Motion_2014-05-01_23-59-59.avi"}));
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, fileNameHeader);
  EXPECT_EQ(columnTexts(list, 2).front(), "Motion_2014-05-01_23-59-59.avi");

  // Play without a choice does nothing; then the chosen row, and a double click on another.
  QTest::mouseClick(dialog->playButton(), Qt::LeftButton);
  EXPECT_TRUE(opened_.empty());
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, centreOfRow(list, 1));
  QTest::mouseClick(dialog->playButton(), Qt::LeftButton);
  const char* screenshots = std::getenv("IPCAM_SCREENSHOT_DIR");
  if (screenshots != nullptr)
    dialog->grab().save(QString::fromUtf8(screenshots) + "/playback_dialog.png");

  // A double click is a press on the row and then the double click itself.
  QTest::mousePress(list.viewport(), Qt::LeftButton, {}, centreOfRow(list, 3));
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, centreOfRow(list, 3));
  EXPECT_EQ(opened_, (std::vector<std::string>{
                         dir("b") + "/Data/Record/Camera 3/Manual_2014-05-01_09-00-00.avi",
                         dir("a") + "/Data/Record/Camera 1/Schedule_2014-05-01_08-00-00.avi"}));
  EXPECT_TRUE(fs::is_regular_file(opened_.front()));

  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST_F(PlayBackDialogTest, RefusesAFromAfterToAndKeepsTheList) {
  const auto dialog = openDialog();
  setRange(dialog->timeSearch(), dayStart_, dayEnd_);
  QTest::mouseClick(dialog->timeSearch().search, Qt::LeftButton);
  ASSERT_EQ(dialog->resultList()->topLevelItemCount(), 4);

  setRange(dialog->timeSearch(), dayEnd_, dayEnd_.addSecs(-1));
  QTest::mouseClick(dialog->timeSearch().search, Qt::LeftButton);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text,
            CMultiLanguage::instance().text("PlaybackDlg", "Message_ToTimeShouldAfterFrom"));
  EXPECT_EQ(dialog->resultList()->topLevelItemCount(), 4);
}

}  // namespace
}  // namespace ipcam::ui
