#include "ui/tarsil_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QRegion>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "app/channel_commands.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "platform/text_encoding.h"
#include "recording/channel_recorder.h"
#include "recording/storage.h"
#include "support/avi_probe.h"
#include "support/process_until.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "ui/play_back_dialog.h"
#include "ui/qt_viewer_ui.h"
#include "ui/skin_button.h"
#include "ui/viewer_element.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace ipcam::ui {
namespace {

using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

void sendMouse(QWidget* target, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held) {
  const QPointF at(2, 2);
  QMouseEvent event(type, at, target->mapToGlobal(at), button, held, Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

void click(CCustomStaticButton* button) {
  sendMouse(button, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
  sendMouse(button, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
}

void pressEscape(QWidget* window) {
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(window, &escape);
}

std::vector<int> visibleChannels(const CTarsilDlg& window) {
  std::vector<int> visible;
  for (int channel = 0; channel < kChannelCount; ++channel) {
    if (!window.tile(channel)->isHidden()) visible.push_back(channel);
  }
  return visible;
}

void nameCamera(int channel, const std::string& name) {
  std::lock_guard lock(settingsMutex());
  liveSettings().camera[static_cast<std::size_t>(channel)].name = name;
}

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
  EXPECT_EQ(static_cast<std::size_t>(window.languageCombo()->count()),
            CMultiLanguage::comboTable().size());
  EXPECT_EQ(window.languageCombo()->currentIndex(), 0);
  // Above the log's heading, with no camera yet, the way to add one.
  ASSERT_EQ(window.eventLog()->count(), 2);
  EXPECT_EQ(window.eventLog()->item(0)->text(), "Setup > Configure cameras...");
  EXPECT_EQ(window.eventLog()->item(1)->text(), "System Event Log");

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

TEST_F(MainWindowTest, EachMissingButtonBitmapIsReportedOnceAndTheWindowStillStarts) {
  TempFolder resources;
  std::filesystem::create_directories(resources.path() / "image");
  std::filesystem::copy_file(std::filesystem::path(IPCAM_RESOURCE_DIR) / "image" / "bg.bmp",
                             resources.path() / "image" / "bg.bmp");
  ScopedEnv resourcesEnv("IPCAM_RESOURCES", resources.path().string());
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  // One box per button bitmap the build drew (the fourth slot and the stop button reuse
  // files, so they add none).
  std::size_t buttonBitmaps = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(IPCAM_RESOURCE_DIR) / "image")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() == ".bmp" && name != "bg.bmp") ++buttonBitmaps;
  }
  ASSERT_GT(buttonBitmaps, 0u);
  EXPECT_EQ(boxes_.size(), buttonBitmaps);
  for (const Box& box : boxes_) EXPECT_EQ(box.text, "Loading bmp file error, please check");
  EXPECT_FALSE(window.button(kButtonPower)->isHidden());
  window.shutdown();
}

TEST_F(MainWindowTest, EventLogKeepsTheNewestLines) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  ui_->logEvent(2, "Disconnected");
  const QString newest = window.eventLog()->item(0)->text();
  EXPECT_TRUE(newest.endsWith(", Camera 03, Disconnected")) << newest.toStdString();
  // A line longer than the panel is wide wraps inside it, and its tooltip holds it whole.
  const std::string longLine = "Entrance hall, north door: lost, last picture at 07:04:59";
  ui_->logEvent(2, longLine);
  window.show();
  QApplication::processEvents();
  QListWidget& log = *window.eventLog();
  ASSERT_TRUE(log.item(0)->text().endsWith(QString::fromStdString(longLine)));
  EXPECT_EQ(log.item(0)->toolTip(), log.item(0)->text());
  const QRect wrapped = log.visualItemRect(log.item(0));
  const QRect single = log.visualItemRect(log.item(log.count() - 1));  // the heading
  EXPECT_LE(wrapped.right(), log.viewport()->width());
  EXPECT_GE(wrapped.height(), 2 * single.height() - 2) << "on more than one row";
  EXPECT_EQ(log.horizontalScrollBar()->maximum(), 0) << "nothing hidden to the right";
  window.hide();
  ui_->logEvent(-1, "plain");
  EXPECT_EQ(window.eventLog()->item(0)->text(), "plain");
  // 5 lines so far (the heading, the hint for the first camera and the three above); the
  // 5000th cuts the log back to its 3999 newest.
  for (int i = 5; i < 5000; ++i) ui_->logEvent(-1, std::to_string(i));
  EXPECT_EQ(window.eventLog()->count(), 3999);
  EXPECT_EQ(window.eventLog()->item(0)->text(), "4999");
  window.shutdown();
}

TEST_F(MainWindowTest, WorkerMessageBoxBlocksOnlyTheWorkerAndShutdownReleasesIt) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  boxes_.clear();

  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ui_->messageBox("from a worker", "Camera 1");
    returned = true;
  });
  // The box is shown by this thread's event loop; the worker waits for it.
  ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return returned.load();
  });
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
  // This thread runs no events meanwhile, so once the worker waits on its box only the
  // shutdown can let it go.
  ASSERT_TRUE(ipcam::testing::waitFor([&] { return ui_->waitingBoxCount() == 1; }));
  EXPECT_FALSE(returned);
  window.shutdown();
  stuck.join();
  EXPECT_TRUE(returned);
  QApplication::processEvents();
  EXPECT_EQ(boxes_.size(), 1u);
}

using ipcam::testing::processUntil;

// What a worker posts is shown as a real box that neither waits for the user nor blocks the
// window, and a camera that keeps failing opens one box per text, not one per attempt.
TEST_F(MainWindowTest, PostedMessagesAreNonModalAndOpenOncePerText) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  window.show();
  ui_->setMessagePresenter({});
  const auto openBoxes = [] {
    std::vector<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box != nullptr && box->isVisible()) boxes.push_back(box);
    }
    return boxes;
  };

  std::thread worker([this] {
    for (int attempt = 0; attempt < 3; ++attempt) ui_->postMessage("Camera 1: refused", "Title");
    ui_->postMessage("Camera 2: refused", "Title");
  });
  worker.join();  // returns without anyone answering a box
  ASSERT_TRUE(processUntil([&] { return openBoxes().size() == 2; }));
  for (QMessageBox* box : openBoxes()) {
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(box->windowModality(), Qt::NonModal);
  }
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  // Once the user closed it, the same text may be said again.
  std::vector<QMessageBox*> boxes = openBoxes();
  const auto first = std::find_if(boxes.begin(), boxes.end(), [](QMessageBox* box) {
    return box->text() == "Camera 1: refused";
  });
  ASSERT_NE(first, boxes.end());
  (*first)->close();
  ASSERT_TRUE(processUntil([&] { return openBoxes().size() == 1; }));
  ui_->postMessage("Camera 1: refused", "Title");
  EXPECT_TRUE(processUntil([&] { return openBoxes().size() == 2; }));
  window.shutdown();
}

// Two threads of the channel that hear a stop only after a second and a half, as a thread
// stuck in a blocking call would: stopping the channel takes seconds.
void startDeafThreads(ChannelRecord& record) {
  const auto deaf = [](const platform::ThreadRun&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  };
  ASSERT_TRUE(record.threads.schedule.start(record.scheduleRunning, deaf));
  ASSERT_TRUE(record.threads.motion.start(record.motionRunning, deaf));
}

// Shows the window and lets it paint once, so that what a first paint costs (loading fonts,
// say) is not mistaken for a freeze.
void showAndSettle(CTarsilDlg& window) {
  window.show();
  processUntil(
      [&window] { return window.windowHandle() != nullptr && window.windowHandle()->isExposed(); });
  window.grab();
  QApplication::processEvents();
}

// Beats with the event loop: a window that stops answering leaves a long gap between beats.
class Heartbeat {
 public:
  Heartbeat() : last_(std::chrono::steady_clock::now()) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = std::chrono::steady_clock::now();
      longestGap_ = std::max(longestGap_, now - last_);
      last_ = now;
      ++beats_;
    });
    timer_.start(10);
  }
  int beats() const { return beats_; }
  std::chrono::milliseconds longestGap() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(longestGap_);
  }

 private:
  QTimer timer_;
  int beats_ = 0;
  std::chrono::steady_clock::time_point last_;
  std::chrono::steady_clock::duration longestGap_{};
};

// The deaf threads hold a stop up for about 1.5 s; a window that waited for them would leave
// a gap that long. The bound leaves a busy machine room for its own hiccups.
constexpr std::chrono::milliseconds kLongestAnsweringGap(750);

TEST_F(MainWindowTest, DisconnectFromTheTileMenuLeavesTheWindowAnswering) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  showAndSettle(window);
  constexpr int kChannel = 3;
  ChannelRecord& record = channelRecord(kChannel);
  startDeafThreads(record);
  record.status = kStatusLive;

  Heartbeat heartbeat;
  window.tile(kChannel)->runCommand(kCommandDisconnect);
  EXPECT_TRUE(channelCommandsBusy(kChannel)) << "the command came back before the channel stopped";
  ASSERT_TRUE(processUntil([] { return !channelCommandsBusy(kChannel); }));
  EXPECT_GE(heartbeat.beats(), 3);
  EXPECT_LT(heartbeat.longestGap(), kLongestAnsweringGap)
      << "the window froze while the channel stopped";
  EXPECT_EQ(record.status.load(), kStatusDisconnected);
  EXPECT_FALSE(record.threads.motion.running());
  window.close();
  ASSERT_TRUE(processUntil([&window] { return window.shutdownFinished(); }));
}

TEST_F(MainWindowTest, ClosingSavesAtOnceAndKeepsTheWindowAnsweringUntilTheThreadsEnd) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  showAndSettle(window);
  startDeafThreads(channelRecord(6));

  Heartbeat heartbeat;
  window.close();
  EXPECT_TRUE(std::filesystem::exists(settingsFile())) << "the settings are saved first";
  EXPECT_TRUE(window.isVisible()) << "the window stays up while the threads stop";
  ASSERT_TRUE(processUntil([&window] { return !window.isVisible(); }));
  EXPECT_TRUE(window.shutdownFinished());
  EXPECT_FALSE(channelRecord(6).threads.motion.running());
  EXPECT_GE(heartbeat.beats(), 3);
  EXPECT_LT(heartbeat.longestGap(), kLongestAnsweringGap)
      << "the window froze while the threads stopped";
}

// A signal or the end of the desktop session while a box is open (a worker's, shown by the
// window's own nested event loop): the box goes, its worker is released, the program ends.
TEST_F(MainWindowTest, ClosingDismissesAnOpenBoxAndReleasesItsWorker) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  window.show();
  ui_->setMessagePresenter([](const std::string& text, const std::string& title) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
  });
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ui_->messageBox("from a worker", "Camera 1");
    returned = true;
  });
  // The close comes from inside the box's event loop, as a signal would.
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&window] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible()) {
        window.requestClose();
        return;
      }
    }
  });
  closer.start(20);
  ASSERT_TRUE(processUntil([&window] { return window.shutdownFinished() && !window.isVisible(); }));
  ASSERT_TRUE(processUntil([&returned] { return returned.load(); }));
  worker.join();
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    EXPECT_FALSE(qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible());
  }
}

TEST_F(MainWindowTest, LayoutButtonPlacesItsTilesAndHidesTheRest) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  click(window.button(kButtonSixDivision));
  EXPECT_EQ(visibleChannels(window), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(window.tile(0)->geometry(), QRect(60, 60, 426, 320));
  EXPECT_EQ(window.tile(5)->geometry(), QRect(486, 380, 213, 160));
  EXPECT_EQ(appState().visibleTileCount.load(), 6);
  EXPECT_EQ(liveSettings().division, 6);
  window.shutdown();
}

TEST_F(MainWindowTest, FullScreenCoversTheScreenAndEscapeAloneBringsTheWindowBack) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  window.move(140, 152);
  const auto snapshot = [&window] {
    std::vector<QRect> state{window.geometry()};
    for (int channel = 0; channel < kChannelCount; ++channel) {
      state.push_back(window.tile(channel)->isHidden() ? QRect()
                                                       : window.tile(channel)->geometry());
    }
    return state;
  };
  const std::vector<QRect> before = snapshot();

  pressEscape(&window);
  EXPECT_EQ(snapshot(), before) << "Esc outside full screen changes nothing";
  EXPECT_FALSE(window.fullScreen());

  click(window.button(kButtonFullScreen));
  ASSERT_TRUE(window.fullScreen());
  // The skin grows with the screen, shifted so that the video area starts at the corner.
  EXPECT_EQ(window.geometry(), QRect(-60, -60, 1000 * 1280 / 640, 720 * 1024 / 480));
  EXPECT_EQ(window.tile(0)->geometry(), QRect(60, 60, 320, 256));
  EXPECT_EQ(window.tile(15)->geometry(), QRect(1020, 828, 320, 256));
  EXPECT_TRUE(window.button(kButtonScan)->isHidden());
  EXPECT_TRUE(window.button(kButtonStartRecord)->isHidden());
  EXPECT_TRUE(window.eventLog()->isHidden());
  EXPECT_TRUE(window.mask().contains(QPoint(1000, 768)));
  EXPECT_FALSE(window.mask().contains(QPoint(0, 0)));

  pressEscape(&window);
  EXPECT_FALSE(window.fullScreen());
  EXPECT_EQ(window.geometry(), QRect(140, 152, 1000, 720)) << "centred on the screen";
  EXPECT_EQ(snapshot(), before);
  EXPECT_FALSE(window.button(kButtonScan)->isHidden());
  EXPECT_FALSE(window.button(kButtonStartRecord)->isHidden());
  EXPECT_TRUE(window.button(kButtonStopRecord)->isHidden());
  EXPECT_TRUE(window.button(kButtonZoomIn)->isHidden());
  EXPECT_FALSE(window.eventLog()->isHidden());

  // Outside full screen nothing makes the window larger than the smallest supported screen.
  window.show();
  QApplication::processEvents();
  window.setFixedSize(1200, 900);
  QApplication::processEvents();
  EXPECT_EQ(window.size(), QSize(1024, 768));
  window.shutdown();
}

TEST_F(MainWindowTest, ScanShowsTheNamedCamerasOneAfterAnother) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  ui_->setScanInterval(1);

  // One named camera: no scan, but the single view of the first channel all the same.
  nameCamera(4, "Door");
  click(window.button(kButtonScan));
  EXPECT_FALSE(window.scanning());
  EXPECT_EQ(visibleChannels(window), std::vector<int>{0});
  EXPECT_EQ(window.tile(0)->geometry(), QRect(60, 60, 640, 480));
  EXPECT_EQ(appState().visibleTileCount.load(), 1);

  nameCamera(9, "Yard");
  click(window.button(kButtonScan));
  ASSERT_TRUE(window.scanning());
  // A test thread held up past a turn sees the camera on the next round: the limit allows
  // for several.
  const auto waitForSingle = [&](int channel) {
    ipcam::testing::waitFor(
        [&] {
          QApplication::processEvents();
          return visibleChannels(window) == std::vector<int>{channel};
        },
        std::chrono::seconds(20));
    EXPECT_EQ(visibleChannels(window), std::vector<int>{channel});
    EXPECT_EQ(ui_->singleChannel(), channel);
    EXPECT_EQ(window.tile(channel)->geometry(), QRect(60, 60, 640, 480));
  };
  waitForSingle(4);
  waitForSingle(9);
  waitForSingle(4);

  // A layout button ends the scan before it places the tiles.
  click(window.button(kButtonSixteenDivision));
  EXPECT_FALSE(window.scanning());
  QApplication::processEvents();
  EXPECT_EQ(visibleChannels(window).size(), 16u);
  window.shutdown();
}

// Counts the window's repaint passes (each a sync of the repaint manager and a flush of the
// backing store) and notes in which pass, and when, each tile was painted.
class RepaintPasses : public QObject {
 public:
  explicit RepaintPasses(CTarsilDlg& window) : window_(window) {
    QApplication::instance()->installEventFilter(this);
  }
  ~RepaintPasses() override { QApplication::instance()->removeEventFilter(this); }
  void clear() {
    passes = 0;
    for (auto& each : paints) each.clear();
  }

  struct Paint {
    int pass;
    std::chrono::steady_clock::time_point at;
  };
  int passes = 0;
  std::array<std::vector<Paint>, kChannelCount> paints;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::UpdateRequest &&
        (watched == &window_ || watched == window_.windowHandle())) {
      ++passes;
    } else if (event->type() == QEvent::Paint) {
      if (const auto* tile = qobject_cast<CViewerElement*>(watched)) {
        paints[static_cast<std::size_t>(tile->channel())].push_back(
            {passes, std::chrono::steady_clock::now()});
      }
    }
    return false;
  }

 private:
  CTarsilDlg& window_;
};

// Pictures of several channels that come within one screen refresh are painted in one pass
// of the window, each tile once, and passes keep a refresh apart; a tile without a new
// picture is not painted again. The refresh is made long, so the test thread is surely
// within it.
TEST_F(MainWindowTest, NewPicturesArePaintedTogetherOncePerRefresh) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  constexpr int kWithPictures = 5;
  for (int channel = 0; channel < kWithPictures; ++channel) {
    ChannelRecord& record = channelRecord(channel);
    ASSERT_TRUE(record.display);
    const std::vector<std::uint8_t> luma(160 * 120, 200);
    const std::vector<std::uint8_t> chroma(80 * 60, 128);
    PicturePlanes planes;
    planes.data = {luma.data(), chroma.data(), chroma.data(), nullptr};
    planes.stride = {160, 80, 80, 0};
    ASSERT_TRUE(record.display->convertPicture(
        pictureFormatOf(AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG), planes, 160, 120));
    record.display->showConvertedPicture(PictureOverlay{});
    record.status = kStatusLive;
    // However slow the test, the pictures never freeze, which would repaint their tiles.
    const auto shownAt = *record.display->lastPictureTime();
    window.tile(channel)->setClock([shownAt] { return shownAt; });
  }
  RepaintPasses repaints(window);
  window.show();
  ASSERT_TRUE(ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return std::ranges::all_of(repaints.paints, [](const auto& each) { return !each.empty(); });
  })) << "every tile is painted when the window shows";
  // What the window still had to paint of its first showing.
  QApplication::processEvents();
  repaints.clear();
  constexpr auto kRefresh = std::chrono::milliseconds(1000);
  ui_->pictureRefresh().setInterval(kRefresh);

  // The first picture after a quiet spell is painted at once.
  ui_->presentPicture(0);
  ASSERT_TRUE(ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return !repaints.paints[0].empty();
  }));
  // Three more within the refresh, each followed by a turn of the event loop.
  for (const int channel : {1, 2, 3}) {
    ui_->presentPicture(channel);
    QApplication::processEvents();
  }
  ASSERT_TRUE(ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return !repaints.paints[1].empty() && !repaints.paints[2].empty() &&
           !repaints.paints[3].empty();
  }));
  QApplication::processEvents();

  const RepaintPasses::Paint first = repaints.paints[0].front();
  for (const int channel : {1, 2, 3}) {
    SCOPED_TRACE(channel);
    ASSERT_EQ(repaints.paints[static_cast<std::size_t>(channel)].size(), 1u);
    const RepaintPasses::Paint paint = repaints.paints[static_cast<std::size_t>(channel)].front();
    EXPECT_EQ(paint.pass, repaints.paints[1].front().pass) << "one pass for all three";
    EXPECT_GT(paint.pass, first.pass);
    EXPECT_GE(paint.at - first.at, kRefresh - std::chrono::milliseconds(50));
  }
  EXPECT_EQ(repaints.paints[0].size(), 1u);
  for (int channel = kWithPictures - 1; channel < kChannelCount; ++channel) {
    EXPECT_TRUE(repaints.paints[static_cast<std::size_t>(channel)].empty())
        << "tile " << channel << " had no new picture";
  }

  for (int channel = 0; channel < kWithPictures; ++channel) {
    channelRecord(channel).status = kStatusNoSignal;
    channelRecord(channel).display->discardPicture();
  }
  window.shutdown();
}

TEST_F(MainWindowTest, LanguageSwitchRetextsTheTilesAtOnce) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  const QString english = window.tile(7)->statusText();
  ASSERT_FALSE(english.isEmpty());
  const int german = window.languageCombo()->findText(QStringLiteral("Deutsch"));
  ASSERT_GE(german, 0);
  window.languageCombo()->setCurrentIndex(german);
  // Whatever the German file holds (a missing file has no texts), the tile shows it now.
  const std::string noSignal = CMultiLanguage::instance().text("ViewerElement", "Message_NoSignal");
  EXPECT_EQ(window.tile(7)->statusText().toStdString(), tileStatusText(7, noSignal));
  window.languageCombo()->setCurrentIndex(0);
  EXPECT_EQ(window.tile(7)->statusText(), english);
  window.shutdown();
}

// A dialog as the settings dialogs are written: it takes its texts again on LanguageChange.
class RetextingDialog : public QWidget {
 public:
  RetextingDialog() : QWidget(nullptr, Qt::Dialog) { retranslateUi(); }

 protected:
  void changeEvent(QEvent* event) override {
    if (event->type() == QEvent::LanguageChange) retranslateUi();
    QWidget::changeEvent(event);
  }

 private:
  void retranslateUi() {
    setWindowTitle(QString::fromStdString(
        CMultiLanguage::instance().text("AdvanceConfig", "PropertyPage_CameraConfig")));
  }
};

// A resource folder like the shipped one, with a German file whose every value is "DE <key>".
void writeGermanResources(const TempFolder& folder) {
  std::filesystem::copy(IPCAM_RESOURCE_DIR, folder.path(),
                        std::filesystem::copy_options::recursive);
  std::string german;
  std::string_view section;
  for (const LanguageTextKey& text : CMultiLanguage::interfaceTextKeys()) {
    if (text.section != section) {
      section = text.section;
      german += "[" + std::string(section) + "]\n";
    }
    german += std::string(text.key) + "=DE " + std::string(text.key) + "\n";
  }
  folder.write("ini/German.ini", german);
}

std::string readSettingsText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (!bytes.starts_with("\xFF\xFE")) return bytes;
  return platform::utf16ToUtf8(platform::decodeUtf16(bytes.substr(2), false));
}

QString tooltipOf(QWidget* widget) {
  QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), widget->mapToGlobal(QPoint(2, 2)));
  QApplication::sendEvent(widget, &help);
  return QToolTip::text();
}

std::vector<std::string> menuTexts(CViewerElement* tile) {
  std::vector<std::string> texts;
  const std::unique_ptr<QMenu> menu = tile->createContextMenu();
  for (const QAction* action : menu->actions()) {
    if (!action->isSeparator()) texts.push_back(action->text().toStdString());
  }
  return texts;
}

TEST_F(MainWindowTest, LanguageSwitchRetextsTooltipsTilesMenusAndOpenDialogs) {
  TempFolder resources;
  writeGermanResources(resources);
  ScopedEnv resourcesEnv("IPCAM_RESOURCES", resources.path().string());

  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  window.show();
  RetextingDialog dialog;
  dialog.show();
  const std::string englishTitle = dialog.windowTitle().toStdString();
  ASSERT_FALSE(englishTitle.empty());
  ASSERT_FALSE(englishTitle.starts_with("DE "));
  EXPECT_EQ(tooltipOf(window.button(kButtonScan)).toStdString(),
            CMultiLanguage::instance().text("TarsilDlg", "Button_Scan"));
  const QString englishTile = window.tile(3)->statusText();
  const std::vector<std::string> englishMenu = menuTexts(window.tile(3));
  ASSERT_FALSE(englishMenu.empty());

  const int german = window.languageCombo()->findText(QStringLiteral("Deutsch"));
  ASSERT_GE(german, 0);
  window.languageCombo()->setCurrentIndex(german);
  // At once, without waiting for events: the switch itself re-texts everything.
  EXPECT_EQ(dialog.windowTitle(), "DE PropertyPage_CameraConfig");
  EXPECT_EQ(window.tile(3)->statusText().toStdString(), tileStatusText(3, "DE Message_NoSignal"));
  EXPECT_EQ(tooltipOf(window.button(kButtonScan)), "DE Button_Scan");
  for (const std::string& text : menuTexts(window.tile(3))) {
    EXPECT_TRUE(text.starts_with("DE Menu_")) << text;
  }
  // The combo keeps every language in its own name.
  EXPECT_EQ(window.languageCombo()->itemText(0), "English");

  window.languageCombo()->setCurrentIndex(0);
  EXPECT_EQ(dialog.windowTitle().toStdString(), englishTitle);
  EXPECT_EQ(window.tile(3)->statusText(), englishTile);
  EXPECT_EQ(menuTexts(window.tile(3)), englishMenu);
  dialog.close();
  window.shutdown();
}

// The language is never stored: a new start with another desktop language starts in that one.
TEST_F(MainWindowTest, EachStartTakesTheDesktopLanguageAgain) {
  TempFolder resources;
  writeGermanResources(resources);
  ScopedEnv resourcesEnv("IPCAM_RESOURCES", resources.path().string());
  {
    ScopedEnv all("LC_ALL", std::nullopt);
    ScopedEnv lang("LC_MESSAGES", "de_AT.UTF-8");
    CTarsilDlg window(*ui_);
    ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
    EXPECT_EQ(window.languageCombo()->currentText(), "Deutsch");
    EXPECT_EQ(CMultiLanguage::instance().text("ViewerElement", "Message_NoSignal"),
              "DE Message_NoSignal");
    window.languageCombo()->setCurrentIndex(0);
    window.shutdown();
  }
  freshUi();
  {
    ScopedEnv lang("LC_MESSAGES", "de_DE.UTF-8");
    ScopedEnv all("LC_ALL", "en_US.UTF-8");  // LC_ALL comes first
    CTarsilDlg window(*ui_);
    ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
    EXPECT_EQ(window.languageCombo()->currentIndex(), 0);
    window.shutdown();
  }
  freshUi();
  {
    ScopedEnv all("LC_ALL", std::nullopt);
    ScopedEnv lang("LC_MESSAGES", "de_DE.UTF-8");
    CTarsilDlg window(*ui_);
    ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
    EXPECT_EQ(window.languageCombo()->currentText(), "Deutsch");
    window.shutdown();
  }
  const std::string settings = readSettingsText(settingsFile());
  EXPECT_EQ(settings.find("Deutsch"), std::string::npos);
  EXPECT_EQ(settings.find("German"), std::string::npos);
}

TEST_F(MainWindowTest, ButtonsFollowThePointerAndTheWindowTakesHoverBack) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  CCustomStaticButton* up = window.button(1183);
  CCustomStaticButton* left = window.button(1185);
  std::vector<int> clicks;
  std::vector<int> releases;
  QObject::connect(up, &CCustomStaticButton::clicked, [&](int id) { clicks.push_back(id); });
  QObject::connect(up, &CCustomStaticButton::released, [&](int id) { releases.push_back(id); });

  sendMouse(left, QEvent::MouseMove, Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(left->hoverState(), CCustomStaticButton::kHover);
  // Moving onto another button returns the first to normal.
  sendMouse(up, QEvent::MouseMove, Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(left->hoverState(), CCustomStaticButton::kNormal);
  EXPECT_EQ(up->hoverState(), CCustomStaticButton::kHover);
  sendMouse(up, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(up->hoverState(), CCustomStaticButton::kPressed);
  // A press from the pressed look goes back to hover; from any other, to pressed.
  sendMouse(up, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(up->hoverState(), CCustomStaticButton::kHover);
  sendMouse(up, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(up->hoverState(), CCustomStaticButton::kPressed);
  sendMouse(up, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
  EXPECT_EQ(clicks, (std::vector<int>{1183, 1183}));
  EXPECT_EQ(releases, std::vector<int>{1183});

  sendMouse(&window, QEvent::MouseMove, Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(up->hoverState(), CCustomStaticButton::kNormal);
  window.shutdown();
}

TEST_F(MainWindowTest, PanTiltButtonsFollowTheSelectedCamerasFamily) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[2].type = 20;  // pans and tilts
    liveSettings().camera[3].type = 50;  // does not
  }
  for (const auto& [channel, enabled] : {std::pair{3, false}, std::pair{2, true}}) {
    window.selectTile(channel);
    window.updatePtzButtons(channel);
    EXPECT_EQ(window.selectedChannel(), channel);
    for (int id = 1182; id <= 1190; ++id) EXPECT_EQ(window.button(id)->isEnabled(), enabled) << id;
  }
  window.shutdown();
}

TEST_F(MainWindowTest, SnapshotAsksForAStoppedScanAndALiveSelectedTile) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  boxes_.clear();
  CMultiLanguage& language = CMultiLanguage::instance();
  click(window.button(kButtonSnapshot));
  window.selectTile(1);  // not live
  click(window.button(kButtonSnapshot));
  nameCamera(0, "A");
  nameCamera(1, "B");
  click(window.button(kButtonScan));
  click(window.button(kButtonSnapshot));
  click(window.button(kButtonScan));
  ASSERT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[0].text, language.text("MessageBox", "Message_SelectChannelBeforeSnapshot"));
  EXPECT_EQ(boxes_[1].text, language.text("MessageBox", "Message_SelectChannelBeforeSnapshot"));
  EXPECT_EQ(boxes_[2].text, language.text("MessageBox", "Message_StopScanBeforeSnapshot"));
  window.shutdown();
}

TEST_F(MainWindowTest, RecordButtonsCheckTheDirectoryThenRecordEveryLiveChannel) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  stopStorageMonitor();  // the test decides where recordings go
  TempFolder recordings;
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().recPath = {recordings.path().string(), "", ""};
  }
  boxes_.clear();
  CMultiLanguage& language = CMultiLanguage::instance();
  CCustomStaticButton* start = window.button(kButtonStartRecord);
  CCustomStaticButton* stop = window.button(kButtonStopRecord);

  appState().currentRecordDir.store(-1);
  click(start);
  appState().currentRecordDir.store(0);
  click(start);  // no Data folder in the directory yet
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text, language.text("MessageBox", "Message_RecordingSpaceFull"));
  EXPECT_EQ(boxes_[1].text, language.text("ErrorMessage", "Path_Error"));
  EXPECT_TRUE(stop->isHidden());

  prepareLiveRecordDirs(nullptr);
  constexpr int kLive = 2;
  ChannelRecord& record = channelRecord(kLive);
  record.status = kStatusLive;
  record.pictureWidth = 320;
  record.pictureHeight = 240;
  ChannelRecorder& recorder = *asRecorder(record.manualRecorder);
  click(start);
  ASSERT_TRUE(processUntil([&] { return recorder.recording() && !stop->isHidden(); }));
  EXPECT_TRUE(start->isHidden());
  EXPECT_EQ(record.status.load(), kStatusRecording);
  EXPECT_FALSE(asRecorder(channelRecord(kLive + 1).manualRecorder)->recording());
  const std::filesystem::path file = recorder.currentFile();

  click(stop);
  EXPECT_FALSE(start->isHidden()) << "the buttons swap back at once";
  EXPECT_TRUE(stop->isHidden());
  ASSERT_TRUE(processUntil([&] { return !recorder.recording() && !channelCommandsBusy(kLive); }));
  EXPECT_EQ(record.manualRecord.load(), 0);
  EXPECT_EQ(record.manualRecordRunning.load(), 0);
  EXPECT_FALSE(start->isHidden());
  EXPECT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(ipcam::testing::probeStreams(file).size(), 1u) << file;

  record.status = kStatusNoSignal;
  record.pictureWidth = 0;
  record.pictureHeight = 0;
  appState().currentRecordDir.store(-1);
  window.shutdown();
}

TEST_F(MainWindowTest, SnapshotMarksTheRequestOfALiveChannelOnly) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  boxes_.clear();
  ChannelRecord& record = channelRecord(1);
  window.selectTile(1);
  for (const int status : {kStatusConnecting, kStatusDisconnected, kStatusLive, kStatusRecording}) {
    record.snapshotRequest.store(0);
    record.status.store(status);
    click(window.button(kButtonSnapshot));
    EXPECT_EQ(record.snapshotRequest.load(),
              (status == kStatusLive || status == kStatusRecording) ? 1 : 0)
        << status;
  }
  EXPECT_TRUE(boxes_.empty()) << boxes_[0].text;
  record.snapshotRequest.store(0);
  record.status.store(kStatusNoSignal);
  window.shutdown();
}

TEST_F(MainWindowTest, PlaybackButtonOpensTheSearchDialogModally) {
  CTarsilDlg window(*ui_);
  ASSERT_TRUE(window.initialize(QSize(1280, 1024)));
  window.show();
  QString title;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* dialog = qobject_cast<CPlayBackDialog*>(QApplication::activeModalWidget())) {
      title = dialog->windowTitle();
      dialog->reject();
    }
  });
  closer.start(10);
  click(window.button(kButtonPlayback));  // returns once the dialog is closed
  EXPECT_EQ(title.toStdString(), CMultiLanguage::instance().text("PlaybackDlg", "Static_Title"));
  window.shutdown();
}

}  // namespace
}  // namespace ipcam::ui
