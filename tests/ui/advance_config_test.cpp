#include "ui/advance_config.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "recording/schedule.h"
#include "support/process_until.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "ui/advance_config_av.h"
#include "ui/advance_config_mr.h"
#include "ui/advance_config_record.h"
#include "ui/advance_config_setting.h"

namespace ipcam::ui {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

using ipcam::testing::processUntil;

std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void retype(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}

CameraSettings configuredCamera(const std::string& name, int type = 0) {
  CameraSettings camera;
  camera.name = name;
  camera.ip = "127.0.0.1";
  camera.webPort = 8080;
  camera.login = "admin";
  camera.password = "secret";
  camera.type = type;
  return camera;
}

struct Action {
  std::string what;
  int channel;
  bool operator==(const Action&) const = default;
};

// The sheet in a real window over live settings the test sets up, with a settings file in a
// temporary folder, a search list of the test's own, and the channel commands recorded.
class CameraDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMultiLanguage::instance().applyComboIndex(0);
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    liveSettings().settingsPath = (folder_.path() / "avcln.ini").string();
  }
  void TearDown() override {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }

  void setLive(int channel, const CameraSettings& camera) {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[static_cast<std::size_t>(channel)] = camera;
  }
  CameraSettings live(int channel) { return cameraSnapshot(channel); }

  std::unique_ptr<CAdvanceConfig> open(int channel = -1) {
    DiscoveryAccess discovery;
    discovery.start = [this] { ++discoveryStarts_; };
    discovery.stop = [this] { ++discoveryStops_; };
    discovery.refresh = [] {};
    discovery.snapshot = [this](bool) { return DiscoverySnapshot{found_, false}; };
    discovery.modelName = [](int type, int, int) { return "Model " + std::to_string(type); };
    ChannelActions actions;
    actions.stop = [this](int c) { actions_.push_back({"stop", c}); };
    actions.restart = [this](int c) { actions_.push_back({"restart", c}); };
    actions.start = [this](int c) { actions_.push_back({"start", c}); };
    auto dialog = std::make_unique<CAdvanceConfig>(ui_, channel, nullptr, discovery, actions);
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }
  void pressOk(CAdvanceConfig& dialog) {
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog.closing());
    EXPECT_TRUE(processUntil([&dialog] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  void shoot(QWidget& widget, const char* name) {
    static const char* dir = std::getenv("IPCAM_SCREENSHOT_DIR");
    if (dir != nullptr) widget.grab().save(QString::fromUtf8(dir) + "/camdlg-" + name + ".png");
  }

  TempFolder folder_;
  ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
  std::vector<DiscoveryEntry> found_;
  std::vector<Action> actions_;
  int discoveryStarts_ = 0;
  int discoveryStops_ = 0;
};

TEST_F(CameraDialogTest, OkRestartsStopsAndStartsOnlyTheChannelsWhoseConnectionChanged) {
  setLive(0, configuredCamera("Hall"));
  setLive(1, configuredCamera("Yard"));
  setLive(2, configuredCamera("Gate"));
  setLive(4, configuredCamera("Shop", 20));
  const auto dialog = open();
  EXPECT_EQ(discoveryStarts_, 1);
  const auto& c = dialog->settingPage()->controls();

  retype(c.name, "Front hall");  // name only: saved, no restart
  dialog->selectChannel(1);
  retype(c.password, "changed");
  dialog->selectChannel(2);
  QTest::mouseClick(c.reset, Qt::LeftButton);
  dialog->selectChannel(3);  // a new camera typed in by address
  QTest::keyClicks(c.name, "Porch");
  QTest::keyClicks(c.ip, "127.0.0.1");
  retype(c.webPort, "70000");
  QTest::keyClicks(c.user, "admin");
  QTest::keyClicks(c.password, "pw");
  dialog->selectChannel(4);
  c.videoFormat->setCurrentIndex(2);  // H.264: the stream has to be asked for anew
  shoot(*dialog, "camera");

  pressOk(*dialog);
  EXPECT_EQ(actions_,
            (std::vector<Action>{{"restart", 1}, {"stop", 2}, {"start", 3}, {"restart", 4}}));
  EXPECT_EQ(discoveryStops_, 1);

  ViewerSettings saved;
  saved.settingsPath = (folder_.path() / "avcln.ini").string();
  loadSettings(saved, nullptr);
  EXPECT_EQ(saved.camera[0].name, "Front hall");
  EXPECT_EQ(saved.camera[1].password, "changed");
  EXPECT_EQ(isCameraConfigured(saved.camera[2]), 0);
  EXPECT_EQ(saved.camera[3].name, "Porch");
  EXPECT_EQ(saved.camera[3].webPort, 80) << "a port outside 1..65535 is stored as 80";
  EXPECT_EQ(saved.camera[4].videoFormat, 2);
  EXPECT_EQ(live(1).restartPending, 1);
  EXPECT_EQ(live(0).needsRestart, 0);
}

TEST_F(CameraDialogTest, CancelWritesNothingAndTouchesNoChannel) {
  setLive(0, configuredCamera("Hall"));
  ASSERT_TRUE(saveSettings(liveSettings()));
  const auto path = folder_.path() / "avcln.ini";
  const std::string before = fileBytes(path);
  const CameraSettings camera = live(0);

  const auto dialog = open(0);
  retype(dialog->settingPage()->controls().password, "other");
  dialog->selectTab(CAdvanceConfig::kTabMotion);
  dialog->mrPage()->enableButton()->click();
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Rejected);

  EXPECT_EQ(fileBytes(path), before);
  EXPECT_TRUE(actions_.empty());
  EXPECT_EQ(live(0), camera);
  EXPECT_EQ(discoveryStops_, 1);
}

TEST_F(CameraDialogTest, SwitchingChannelsKeepsTheEditsOfEveryPage) {
  setLive(2, configuredCamera("Gate", 20));  // a model with sound
  const auto dialog = open(2);
  EXPECT_EQ(dialog->channelList()->currentRow(), 2);
  EXPECT_EQ(dialog->channelList()->item(2)->text(), "Camera 3");
  const auto& c = dialog->settingPage()->controls();
  retype(c.name, "Back gate");

  dialog->selectTab(CAdvanceConfig::kTabSchedule);
  {
    std::lock_guard lock(settingsMutex());
    ASSERT_TRUE(addWeeklySchedule(editSettings().schedule, 2, allTimeRecordForm()).accepted());
  }
  dialog->recordPage()->showChannel(2);
  dialog->selectTab(CAdvanceConfig::kTabAudio);
  CAdvanceConfigAV& av = *dialog->avPage();
  ASSERT_TRUE(av.muteAudio()->isEnabled());
  av.muteAudio()->setChecked(false);
  av.recordVideoOnly()->setChecked(true);
  shoot(*dialog, "audio");
  dialog->selectTab(CAdvanceConfig::kTabMotion);
  CAdvanceConfigMR& mr = *dialog->mrPage();
  EXPECT_FALSE(mr.seconds()->isEnabled());
  mr.enableButton()->click();
  EXPECT_TRUE(mr.seconds()->isEnabled()) << "Enable takes effect at once";
  mr.seconds()->setCurrentIndex(2);
  mr.mail()->setChecked(true);

  dialog->selectChannel(4);
  EXPECT_EQ(c.name->text(), "");
  EXPECT_FALSE(av.muteAudio()->isEnabled()) << "no camera, no sound";
  EXPECT_TRUE(mr.disableButton()->isChecked());
  EXPECT_EQ(dialog->recordPage()->weekly().list->count(), 0);
  dialog->selectChannel(2);

  EXPECT_EQ(c.name->text(), "Back gate");
  EXPECT_FALSE(av.muteAudio()->isChecked());
  EXPECT_TRUE(av.recordVideoOnly()->isChecked());
  EXPECT_TRUE(mr.enableButton()->isChecked());
  EXPECT_EQ(mr.seconds()->currentText(), "30");
  EXPECT_TRUE(mr.mail()->isChecked());
  EXPECT_FALSE(mr.alarm()->isChecked());
  ASSERT_EQ(dialog->recordPage()->weekly().list->count(), 1);
  EXPECT_EQ(dialog->recordPage()->weekly().list->item(0)->text(),
            "[ Sun Mon Tue Wed Thu Fri Sat ] 00:00:00 - 23:59:59");
  shoot(*dialog, "motion");

  pressOk(*dialog);
  const CameraSettings applied = live(2);
  EXPECT_EQ(applied.name, "Back gate");
  EXPECT_EQ(applied.muteAudio, 0);
  EXPECT_EQ(applied.onlyVideo, 1);
  EXPECT_EQ(applied.mrEnable, 1);
  EXPECT_EQ(applied.mrSecond, 30);
  EXPECT_EQ(applied.mrMail, 1);
  std::lock_guard lock(settingsMutex());
  EXPECT_EQ(liveSettings().schedule[0].channel, 2);
  EXPECT_EQ(liveSettings().schedule[0].mode, kScheduleWeekly);
}

TEST_F(CameraDialogTest, VideoFormatsFollowTheModel) {
  struct Case {
    int type;
    std::vector<std::string> formats;
  };
  const Case cases[] = {
      {0, {"M-JPEG"}},             // not identified yet
      {12, {"M-JPEG", "MPEG-4"}},  // MPEG-4 only
      {20, {"M-JPEG", "MPEG-4", "H.264"}},
      {50, {"M-JPEG", "H.264"}},  // H.264 only: position 1 is H.264
      {45, {"M-JPEG"}},           // a family without a choice
  };
  for (const Case& test : cases) {
    EXPECT_EQ(videoFormatChoices(test.type), test.formats) << "type " << test.type;
  }
  CameraSettings camera = configuredCamera("Shop", 50);
  camera.videoFormat = 2;  // a position the list lacks
  setLive(0, camera);
  const auto dialog = open(0);
  const QComboBox& list = *dialog->settingPage()->controls().videoFormat;
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.itemText(1), "H.264");
  EXPECT_EQ(list.currentText(), "M-JPEG");
}

TEST_F(CameraDialogTest, FoundCameraIsTakenBySelectOrDoubleClickAndDynamicDnsLocksTheAddress) {
  found_.push_back({"Lobby", {192, 168, 1, 20}, 37, 1, {}, 0, 8081, 0, 0, 0});
  found_.push_back({"Dock", {10, 0, 0, 7}, 50, 2, {}, 0, 81, 0, 1, 0});
  const auto dialog = open(5);
  const auto& c = dialog->settingPage()->controls();
  dialog->settingPage()->updateFoundCameras();
  ASSERT_EQ(c.found->topLevelItemCount(), 2);
  EXPECT_EQ(c.found->topLevelItem(0)->text(1), "192.168.1.20");

  QTest::mouseClick(c.select, Qt::LeftButton);  // no line chosen: nothing
  EXPECT_EQ(c.name->text(), "");
  const QPoint second = c.found->visualItemRect(c.found->topLevelItem(1)).center();
  QTest::mouseClick(c.found->viewport(), Qt::LeftButton, {}, second);
  QTest::mouseDClick(c.found->viewport(), Qt::LeftButton, {}, second);
  EXPECT_EQ(c.name->text(), "Dock");
  EXPECT_EQ(c.ip->text(), "10.0.0.7");
  EXPECT_EQ(c.webPort->text(), "81");
  EXPECT_EQ(c.user->text(), "admin");
  EXPECT_EQ(c.password->text(), "7391");
  EXPECT_EQ(c.model->text(), "Model 50");
  EXPECT_EQ(c.videoFormat->count(), 2);

  QTest::mouseClick(c.found->viewport(), Qt::LeftButton, {},
                    c.found->visualItemRect(c.found->topLevelItem(0)).center());
  QTest::mouseClick(c.select, Qt::LeftButton);
  EXPECT_EQ(editedCamera(5).type, 20) << "discovery's codes 36..44 are the types 19..27";

  EXPECT_FALSE(c.voskHost->isEnabled());
  c.vosk->click();
  EXPECT_TRUE(c.voskHost->isEnabled());
  for (QWidget* locked :
       std::initializer_list<QWidget*>{c.ip, c.webPort, c.found, c.select, c.refresh}) {
    EXPECT_FALSE(locked->isEnabled());
  }
  shoot(*dialog, "camera-found");
}

TEST_F(CameraDialogTest, ScheduleDialogsRefuseBadRangesOverlapsAndNoDay) {
  {
    std::lock_guard lock(settingsMutex());
    const OneTimeRange ten{makeLocalTime(2030, 5, 6, 10, 0, 0),
                           makeLocalTime(2030, 5, 6, 11, 0, 0)};
    ASSERT_TRUE(addOneTimeSchedule(liveSettings().schedule, 0, ten).accepted());
  }
  const auto sheet = open(0);
  sheet->selectTab(CAdvanceConfig::kTabSchedule);
  CAdvanceConfigRecord& page = *sheet->recordPage();
  ASSERT_EQ(page.oneTime().list->count(), 1);
  EXPECT_FALSE(page.oneTime().edit->isEnabled());
  page.oneTime().list->setCurrentRow(0);
  EXPECT_TRUE(page.oneTime().edit->isEnabled());
  shoot(*sheet, "schedule");

  CMultiLanguage& language = CMultiLanguage::instance();
  CAdvanceConfigRecordOneTime oneTime(
      ui_, 0, {makeLocalTime(2030, 5, 6, 11, 0, 0), makeLocalTime(2030, 5, 6, 11, 0, 0)},
      std::nullopt, sheet.get());
  oneTime.show();
  shoot(oneTime, "onetime");
  struct Case {
    QTime from;
    std::string message;  // empty: accepted
  };
  const Case cases[] = {
      {QTime(11, 0, 0), std::string(kToTimeShouldAfterFrom)},  // To equals From
      {QTime(11, 0, 0), std::string(kScheduleOverlap)},        // touches the end at 11:00
      {QTime(11, 0, 1), ""},
  };
  oneTime.toTime()->setTime(QTime(11, 0, 0));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    oneTime.fromTime()->setTime(cases[i].from);
    if (i > 0) oneTime.toTime()->setTime(QTime(12, 0, 0));
    ui_.clear();
    QTest::mouseClick(oneTime.okButton(), Qt::LeftButton);
    if (cases[i].message.empty()) {
      EXPECT_TRUE(ui_.messages().empty());
      EXPECT_EQ(oneTime.result(), QDialog::Accepted);
    } else {
      ASSERT_EQ(ui_.messages().size(), 1u) << i;
      EXPECT_EQ(ui_.messages()[0].text, language.text(kOneTimeSection, cases[i].message));
      EXPECT_TRUE(oneTime.isVisible()) << "a refusal keeps the dialog open";
    }
  }

  CAdvanceConfigRecordWeekly weekly(ui_, 0, newWeeklyForm(localTimeNow()), std::nullopt,
                                    sheet.get());
  weekly.show();
  QTest::mouseClick(weekly.allTimeButton(), Qt::LeftButton);
  shoot(weekly, "weekly");
  for (int day = 0; day < 7; ++day) EXPECT_TRUE(weekly.day(day)->isChecked());
  EXPECT_EQ(weekly.toTime()->time(), QTime(23, 59, 59));
  for (int day = 0; day < 7; ++day) weekly.day(day)->setChecked(false);
  ui_.clear();
  QTest::mouseClick(weekly.okButton(), Qt::LeftButton);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, language.text(kWeeklySection, kSelectDay));
  EXPECT_TRUE(weekly.isVisible());
}

}  // namespace
}  // namespace ipcam::ui
