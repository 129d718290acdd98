#include "ui/tarsil_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QRegion>
#include <atomic>
#include <fstream>
#include <thread>

#include "app/multi_language.h"
#include "media/audio_player.h"
#include "support/test_environment.h"
#include "ui/qt_viewer_ui.h"
#include "ui/viewer_element.h"

namespace ipcam::ui {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

struct Box {
  std::string text;
  std::string title;
};

// The main window started in this process, with message boxes recorded instead of shown.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSoundDeviceProbe([] { return true; });
    freshUi();
  }
  // A window's shutdown ends its ViewerUi for good, so every window gets a new one.
  void freshUi() {
    // Never destroyed, as in the program, but kept reachable.
    static auto* const everyUi = new std::vector<std::unique_ptr<QtViewerUi>>();
    ui_ = everyUi->emplace_back(std::make_unique<QtViewerUi>()).get();
    ui_->setMessagePresenter([this](const std::string& text, const std::string& title) {
      boxes_.push_back({text, title});
    });
  }
  void TearDown() override { setSoundDeviceProbe(nullptr); }

  std::filesystem::path settingsFile() const {
    return home_.path() / ".config" / "CORVEL IP Camera Viewer" / "avcln.ini";
  }

  TempFolder home_;
  ScopedEnv homeEnv_{"HOME", home_.path().string()};
  ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv langEnv_{"LANG", "en_GB.UTF-8"};
  ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  QtViewerUi* ui_ = nullptr;
  std::vector<Box> boxes_;
};

TEST_F(MainWindowTest, StartsWithSixteenNoSignalTilesAndSavesOnClose) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(window.windowTitle(), "IP Camera Surveillance Software");
  EXPECT_EQ(window.size(), QSize(1000, 720));
  // The shape is the rounded rectangle: the very corner is cut off, the edge's middle is not.
  EXPECT_FALSE(window.mask().contains(QPoint(0, 0)));
  EXPECT_TRUE(window.mask().contains(QPoint(500, 0)));

  const std::string noSignal = CMultiLanguage::instance().text("ViewerElement", "Message_NoSignal");
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const CViewerElement* tile = window.tile(channel);
    ASSERT_NE(tile, nullptr);
    EXPECT_EQ(tile->statusText().toStdString(), std::to_string(channel + 1) + " " + noSignal);
    EXPECT_EQ(tile->geometry(),
              QRect(60 + (channel % 4) * 160, 60 + (channel / 4) * 120, 160, 120));
  }
  EXPECT_EQ(window.languageCombo()->count(), 26);
  EXPECT_EQ(window.languageCombo()->currentIndex(), 0);
  EXPECT_EQ(window.eventLog()->item(0)->text(), "System Event Log");

  window.show();
  QApplication::processEvents();
  window.close();
  std::ifstream in(settingsFile(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_TRUE(bytes.starts_with("\xFF\xFE"));
  EXPECT_GT(bytes.size(), 10000u);
}

TEST_F(MainWindowTest, RefusesASmallScreenAndWritesNoSettings) {
  for (const QSize screen : {QSize(1023, 768), QSize(1024, 767)}) {
    boxes_.clear();
    freshUi();
    CTarsilDlg window(*ui_);
    EXPECT_FALSE(window.initialize(screen));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text,
              "Please adjust the monitor resolution to 1024x768 above then restart the viewer.");
    window.shutdown();
  }
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
}

TEST_F(MainWindowTest, MissingBackgroundBitmapEndsTheStart) {
  TempFolder emptyResources;
  ScopedEnv resources("IPCAM_RESOURCES", emptyResources.path().string());
  CTarsilDlg window(*ui_);
  EXPECT_FALSE(window.initialize(QSize(1280, 1024)));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Loading /image/bg.bmp error, please check");
}

TEST_F(MainWindowTest, EventLogKeepsTheNewestLines) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  ui_->logEvent(2, "Disconnected");
  const QString newest = window.eventLog()->item(0)->text();
  EXPECT_TRUE(newest.endsWith(", Camera 03, Disconnected")) << newest.toStdString();
  ui_->logEvent(-1, "plain");
  EXPECT_EQ(window.eventLog()->item(0)->text(), "plain");
  // 3 lines so far; the 5000th cuts the log back to its 3999 newest.
  for (int i = 3; i < 5000; ++i) ui_->logEvent(-1, std::to_string(i));
  EXPECT_EQ(window.eventLog()->count(), 3999);
  EXPECT_EQ(window.eventLog()->item(0)->text(), "4999");
  window.shutdown();
}

TEST_F(MainWindowTest, WorkerMessageBoxBlocksOnlyTheWorkerAndShutdownReleasesIt) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));

  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ui_->messageBox("from a worker", "Camera 1");
    returned = true;
  });
  // The box is shown by this thread's event loop; the worker waits for it.
  for (int i = 0; i < 500 && !returned; ++i) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  worker.join();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "from a worker");

  // A box that the user-interface thread never gets to show (it is busy shutting down) must
  // not keep its worker waiting.
  returned = false;
  std::thread stuck([&] {
    ui_->messageBox("never shown", "Camera 2");
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned);
  window.shutdown();
  stuck.join();
  EXPECT_TRUE(returned);
  QApplication::processEvents();
  EXPECT_EQ(boxes_.size(), 1u);
}

}  // namespace
}  // namespace ipcam::ui
