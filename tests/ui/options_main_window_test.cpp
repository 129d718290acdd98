// The general options from the main window: the password lock at start-up, through the real
// start-up sequence, and the sheet from the setup menu.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/advance_config_rules.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "support/test_environment.h"
#include "ui/advance_config_security_auth.h"
#include "ui/advance_config_sheet.h"
#include "ui/qt_viewer_ui.h"
#include "ui/skin_button.h"
#include "ui/tarsil_dlg.h"

namespace ipcam::ui {
namespace {

namespace fs = std::filesystem;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

class OptionsMainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSoundDeviceProbe([] { return true; });
  }
  void TearDown() override { setSoundDeviceProbe(nullptr); }

  // A settings file with the lock as given and camera 1 configured on a local port where
  // nothing listens.
  void writeSettings(int enable, const std::string& digest) const {
    ViewerSettings settings;
    settings.settingsPath =
        (home_.path() / ".config" / "CORVEL IP Camera Viewer" / "avcln.ini").string();
    fs::create_directories(fs::path(settings.settingsPath).parent_path());
    settings.securityEnable = enable;
    settings.securityPassword = digest;
    settings.camera[0].name = "Door";
    settings.camera[0].login = "admin";
    settings.camera[0].password = "admin";
    settings.camera[0].ip = "127.0.0.1";
    settings.camera[0].webPort = 1;
    ASSERT_TRUE(saveSettings(settings));
  }

  struct Start {
    bool started = false;
    bool prompted = false;
    std::vector<std::string> boxes;
    bool channelUntouched = false;
  };
  // Starts a main window; `answer` acts on the prompt if one comes.
  static QtViewerUi& freshUi() {
    // Never destroyed, as in the program: a window's shutdown ends its ViewerUi for good.
    static auto* const everyUi = new std::vector<std::unique_ptr<QtViewerUi>>();
    return *everyUi->emplace_back(std::make_unique<QtViewerUi>());
  }

  Start start(const std::function<void(CAdvanceConfigSecurityAuth&)>& answer) {
    QtViewerUi& ui = freshUi();
    Start result;
    ui.setMessagePresenter(
        [&result](const std::string& text, const std::string&) { result.boxes.push_back(text); });
    channelRecord(0).status.store(kStatusNoSignal);
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      auto* prompt = qobject_cast<CAdvanceConfigSecurityAuth*>(QApplication::activeModalWidget());
      if (prompt == nullptr || result.prompted) return;
      result.prompted = true;
      answer(*prompt);
      if (prompt->isVisible()) prompt->reject();
    });
    timer.start(10);
    CTarsilDlg window(ui);
    result.started = window.initialize(QSize(1280, 1024));
    timer.stop();
    // A started camera turns to "connecting" before start-up returns.
    result.channelUntouched = channelRecord(0).status.load() == kStatusNoSignal;
    window.shutdown();
    return result;
  }

  TempFolder home_;
  ScopedEnv homeEnv_{"HOME", home_.path().string()};
  ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv langEnv_{"LANG", "en_GB.UTF-8"};
  ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
};

TEST_F(OptionsMainWindowTest, WrongPasswordOrCancelEndsTheStartBeforeAnyCameraStarts) {
  writeSettings(1, securityDigest("secret"));

  const Start wrong = start([](CAdvanceConfigSecurityAuth& prompt) {
    EXPECT_EQ(prompt.windowTitle(), "Authentication Required");
    EXPECT_EQ(prompt.passwordEdit()->echoMode(), QLineEdit::Password);
    std::vector<QString> texts;
    for (const QLabel* label : prompt.findChildren<QLabel*>()) texts.push_back(label->text());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Please input password"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Password:"), texts.end());
    QTest::keyClicks(prompt.passwordEdit(), "Secret");
    QTest::mouseClick(prompt.okButton(), Qt::LeftButton);
  });
  EXPECT_TRUE(wrong.prompted);
  EXPECT_FALSE(wrong.started);
  EXPECT_EQ(wrong.boxes, std::vector<std::string>{"Security password is incorrect."});
  EXPECT_TRUE(wrong.channelUntouched);

  const Start cancelled =
      start([](CAdvanceConfigSecurityAuth& prompt) { QTest::keyClick(&prompt, Qt::Key_Escape); });
  EXPECT_TRUE(cancelled.prompted);
  EXPECT_FALSE(cancelled.started);
  EXPECT_TRUE(cancelled.boxes.empty());
  EXPECT_TRUE(cancelled.channelUntouched);
}

TEST_F(OptionsMainWindowTest, RightPasswordOpensTheViewer) {
  writeSettings(1, securityDigest("secret"));
  const Start right = start([](CAdvanceConfigSecurityAuth& prompt) {
    QTest::keyClicks(prompt.passwordEdit(), "secret");
    QTest::keyClick(prompt.passwordEdit(), Qt::Key_Return);
  });
  EXPECT_TRUE(right.prompted);
  EXPECT_TRUE(right.started);
  EXPECT_TRUE(right.boxes.empty());
  EXPECT_FALSE(right.channelUntouched);
}

TEST_F(OptionsMainWindowTest, LockOffAsksNothingEvenWithAStoredPassword) {
  writeSettings(0, securityDigest("secret"));
  const Start open = start([](CAdvanceConfigSecurityAuth&) {});
  EXPECT_FALSE(open.prompted);
  EXPECT_TRUE(open.started);
}

TEST_F(OptionsMainWindowTest, SetupMenuOpensTheSheetAndTheSetupButtonComesBack) {
  writeSettings(0, "");
  QtViewerUi& ui = freshUi();
  ui.setMessagePresenter([](const std::string&, const std::string&) {});
  CTarsilDlg window(ui);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  window.show();
  CCustomStaticButton* setup = window.button(kButtonSetup);
  setup->setHoverState(CCustomStaticButton::kPressed);

  bool opened = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* sheet = qobject_cast<CAdvanceConfigSheet*>(QApplication::activeModalWidget());
    if (sheet == nullptr) return;
    opened = true;
    QTest::keyClick(sheet, Qt::Key_Escape);
  });
  timer.start(10);
  window.runMenuCommand(kMenuGeneralOptions);  // returns once the sheet is closed
  timer.stop();
  EXPECT_TRUE(opened);
  EXPECT_EQ(setup->hoverState(), CCustomStaticButton::kNormal);
  window.shutdown();
}

}  // namespace
}  // namespace ipcam::ui
