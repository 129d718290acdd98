// The first start as a person meets it: an empty settings file, a hint where cameras are
// added, a simulated camera on 127.0.0.1 added by its address in the camera dialog, live
// without a restart, then a schedule and motion settings; the next start finds it all.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "recording/schedule.h"
#include "support/process_until.h"
#include "support/test_environment.h"
#include "tools/camsim/server.h"
#include "ui/advance_config.h"
#include "ui/advance_config_mr.h"
#include "ui/advance_config_record.h"
#include "ui/qt_viewer_ui.h"
#include "ui/tarsil_dlg.h"

namespace ipcam::ui {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

using ipcam::testing::processUntil;

// Runs `act` on the modal dialog of type T as soon as it is up (the dialog's own event loop
// runs the timer), once.
template <class T>
void whenModal(std::function<void(T&)> act) {
  auto* timer = new QTimer;
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act(*dialog);
  });
  timer->start();
}

QtViewerUi& freshUi() {
  // A window's shutdown ends its ViewerUi for good; never destroyed, as in the program.
  static auto* const everyUi = new std::vector<std::unique_ptr<QtViewerUi>>();
  QtViewerUi& ui = *everyUi->emplace_back(std::make_unique<QtViewerUi>());
  ui.setMessagePresenter([](const std::string& text, const std::string&) {
    ADD_FAILURE() << "unexpected box: " << text;
  });
  return ui;
}

bool channelLive(int channel) {
  const int status = channelRecord(channel).status.load();
  return status == kStatusLive || status == kStatusRecording;
}

TEST(FirstCamera, TypedInCameraGoesLiveAndTheNextStartFindsEveryChange) {
  TempFolder home;
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv langEnv("LANG", "en_GB.UTF-8");
  ScopedEnv resourcesEnv("IPCAM_RESOURCES", IPCAM_RESOURCE_DIR);
  setSoundDeviceProbe([] { return true; });
  camsim::Options options;
  options.modelId = 12;  // Motion JPEG over HTTP
  options.auth = camsim::AuthMode::Digest;
  options.password = "porch-pw";
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();
  const auto settingsFile = home.path() / ".config" / "CORVEL IP Camera Viewer" / "avcln.ini";
  constexpr int kChannel = 0;

  {
    CTarsilDlg window(freshUi());
    ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
    window.show();
    CMultiLanguage& language = CMultiLanguage::instance();
    const QString hint =
        QString::fromStdString(language.text("TarsilDlg", "Button_Setup") + " > " +
                               language.text("SetupButtonMenu", "ContextMenu_ConfigureCameras"));
    ASSERT_GT(window.eventLog()->count(), 0);
    EXPECT_TRUE(window.eventLog()->item(0)->text().contains(hint))
        << window.eventLog()->item(0)->text().toStdString();

    // Setup → Configure cameras: the address typed in, OK.
    whenModal<CAdvanceConfig>([&](CAdvanceConfig& dialog) {
      dialog.selectChannel(kChannel);
      const auto& c = dialog.settingPage()->controls();
      QTest::keyClicks(c.name, "Porch");
      QTest::keyClicks(c.ip, "127.0.0.1");
      c.webPort->setText(QString::number(camera.port()));
      QTest::keyClicks(c.user, QString::fromStdString(options.user));
      QTest::keyClicks(c.password, QString::fromStdString(options.password));
      QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    });
    window.runMenuCommand(kMenuConfigureCameras);
    EXPECT_TRUE(std::filesystem::exists(settingsFile));
    ASSERT_TRUE(processUntil([] { return channelLive(kChannel); }, std::chrono::seconds(30)))
        << "status " << channelRecord(kChannel).status.load();

    // Again: a weekly schedule and motion recording with mail.
    whenModal<CAdvanceConfig>([&](CAdvanceConfig& dialog) {
      dialog.selectTab(CAdvanceConfig::kTabSchedule);
      whenModal<CAdvanceConfigRecordWeekly>([](CAdvanceConfigRecordWeekly& weekly) {
        QTest::mouseClick(weekly.allTimeButton(), Qt::LeftButton);
        QTest::mouseClick(weekly.okButton(), Qt::LeftButton);
      });
      QTest::mouseClick(dialog.recordPage()->weekly().add, Qt::LeftButton);
      EXPECT_EQ(dialog.recordPage()->weekly().list->count(), 1);
      dialog.selectTab(CAdvanceConfig::kTabMotion);
      dialog.mrPage()->enableButton()->click();
      dialog.mrPage()->mail()->setChecked(true);
      QTest::keyClick(&dialog, Qt::Key_Return);  // Enter is OK
    });
    window.runMenuCommand(kMenuConfigureCameras);
    EXPECT_TRUE(channelLive(kChannel)) << "motion and schedule changes do not reconnect";
    window.shutdown();
  }

  ViewerSettings saved;
  saved.settingsPath = settingsFile.string();
  loadSettings(saved, nullptr);
  const CameraSettings& porch = saved.camera[kChannel];
  EXPECT_EQ(porch.name, "Porch");
  EXPECT_EQ(porch.ip, "127.0.0.1");
  EXPECT_EQ(porch.webPort, camera.port());
  EXPECT_EQ(porch.password, options.password);
  EXPECT_EQ(porch.type, 12) << "the model the camera reported";
  EXPECT_EQ(porch.mrEnable, 1);
  EXPECT_EQ(porch.mrMail, 1);
  EXPECT_EQ(saved.schedule[0].channel, kChannel);
  EXPECT_EQ(saved.schedule[0].mode, kScheduleWeekly);
  EXPECT_EQ(saved.schedule[0].daysOfWeek, kScheduleAllDays);

  // The program started again: the camera comes up by itself.
  {
    CTarsilDlg window(freshUi());
    ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
    window.show();
    EXPECT_TRUE(processUntil([] { return channelLive(kChannel); }, std::chrono::seconds(30)));
    window.shutdown();
  }
  camera.stop();
  setSoundDeviceProbe(nullptr);
}

}  // namespace
}  // namespace ipcam::ui
