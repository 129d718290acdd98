#include "ui/tarsil_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRegion>
#include <QResizeEvent>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/channel_commands.h"
#include "app/connection_worker.h"
#include "app/program_wiring.h"
#include "app/ui_services.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "platform/resources.h"
#include "platform/trace.h"
#include "ui/advance_config.h"
#include "ui/advance_config_security_auth.h"
#include "ui/advance_config_sheet.h"
#include "ui/display_frame.h"
#include "ui/layout_geometry.h"
#include "ui/play_back_dialog.h"
#include "ui/qt_viewer_ui.h"
#include "ui/skin_button.h"
#include "ui/viewer_element.h"

namespace ipcam::ui {
namespace {

constexpr int kCornerEllipse = 15;
constexpr int kEventLogLimit = 4999;
constexpr int kEventLogKeep = 3999;
constexpr const char* kWindowTitle = "IP Camera Surveillance Software";
// However the program is asked to end, it has ended after this long.
constexpr std::chrono::milliseconds kShutdownLimit(10000);

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

QRegion roundedRegion(int width, int height) {
  QPainterPath path;
  path.addRoundedRect(QRectF(0, 0, width, height), kCornerEllipse / 2.0, kCornerEllipse / 2.0);
  return QRegion(path.toFillPolygon().toPolygon());
}

struct ButtonPlace {
  int id;
  const char* tooltipKey;
  const char* nn;
  int x;
  int y;
  int width;
  int height;
  bool shownAtStart;
};

constexpr std::array<ButtonPlace, kSkinButtonCount> kButtons{{
    {kButtonOneDivision, "Button_OneDivision", "06", 790, 207, 64, 54, true},
    {kButtonFourDivision, "Button_FourDivision", "07", 857, 207, 64, 54, true},
    {kButtonSixDivision, "Button_SixDivision", "09", 790, 262, 64, 55, true},
    {kButtonEightDivision, "Button_EightDivision", "10", 857, 262, 65, 55, true},
    {kButtonNineDivision, "Button_NineDivision", "11", 790, 319, 64, 58, true},
    {kButtonTenDivision, "Button_TenDivision", "12", 857, 319, 65, 58, true},
    {kButtonThirteenDivision, "Button_ThirteenDivision", "13", 790, 375, 64, 56, true},
    {kButtonSixteenDivision, "Button_SixteenDivision", "14", 857, 375, 65, 56, true},
    {kButtonFullScreen, "Button_FullScreen", "16", 790, 444, 64, 55, true},
    {kButtonScan, "Button_Scan", "17", 857, 444, 65, 55, true},
    {kButtonZoomIn, "Button_ZoomIn", "22", 894, 517, 36, 37, false},
    {kButtonZoomOut, "Button_ZoomOut", "20", 775, 517, 36, 37, false},
    {1182, "Button_PT_LeftUp", "26", 796, 554, 37, 38, true},
    {1183, "Button_PT_UP", "27", 832, 554, 41, 38, true},
    {1184, "Button_PT_RightUp", "28", 874, 554, 39, 38, true},
    {1185, "Button_PT_Left", "30", 796, 592, 37, 41, true},
    {1186, "Button_PT_Home", "31", 833, 592, 41, 41, true},
    {1187, "Button_PT_Right", "32", 874, 592, 39, 41, true},
    {1188, "Button_PT_LeftDown", "41", 796, 633, 37, 38, true},
    {1189, "Button_PT_Down", "42", 833, 633, 41, 38, true},
    {1190, "Button_PT_RightDown", "43", 874, 633, 39, 38, true},
    {kButtonSetup, "Button_Setup", "39", 618, 625, 84, 31, true},
    {kButtonPlayback, "Button_Playback", "49", 515, 670, 84, 32, true},
    {kButtonSnapshot, "Button_SnapShot", "50", 618, 670, 84, 32, true},
    {kButtonStartRecord, "Button_StartRecord", "37", 515, 625, 84, 31, true},
    {kButtonStopRecord, "Button_StopRecord", "37", 515, 625, 84, 31, false},
    {kButtonMinimize, "Button_Minimize", "45", 183, 644, 38, 36, true},
    {kButtonPower, "Button_Power", "34", 85, 622, 73, 75, true},
}};

// The layout a layout button applies, 0 for any other button.
int layoutTilesOfButton(int id) {
  switch (id) {
    case kButtonOneDivision:
      return 1;
    case kButtonFourDivision:
      return 4;
    case kButtonSixDivision:
      return 6;
    case kButtonEightDivision:
      return 8;
    case kButtonNineDivision:
      return 9;
    case kButtonTenDivision:
      return 10;
    case kButtonThirteenDivision:
      return 13;
    case kButtonSixteenDivision:
      return 16;
    default:
      return 0;
  }
}

bool isLive(int status) {
  return status == kStatusLive || status == kStatusRecording;
}

// The first channel that is live, recording or was connected, else channel 0.
int firstConnectedChannel() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const int status = channelRecord(channel).status.load();
    if (isLive(status) || status == kStatusDisconnected) return channel;
  }
  return 0;
}

}  // namespace

CTarsilDlg::CTarsilDlg(QtViewerUi& ui) : QWidget(nullptr, Qt::FramelessWindowHint), ui_(ui) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setObjectName(QStringLiteral("CTarsilDlg"));
  displayFrame_ = std::make_unique<CDisplayFrame>([this](int channel) { showSingle(channel); });
}

CTarsilDlg::~CTarsilDlg() {
  destroying_ = true;
  shutdown();
}

bool CTarsilDlg::initialize(QSize screen) {
  initializing_ = true;
  const bool started = start(screen) && !closeRequested_;
  initializing_ = false;
  return started;
}

bool CTarsilDlg::start(QSize screen) {
  ui_.setWindow(this);
  attachUi(&ui_);
  screen_ = screen;

  if (!screenLargeEnough(screen.width(), screen.height())) {
    ui_.messageBox(kScreenTooSmallText, kWindowTitle);
    return false;
  }
  setWindowTitle(QString::fromLatin1(kWindowTitle));
  if (!loadSkin()) {
    ui_.messageBox("Loading /image/bg.bmp error, please check", kWindowTitle);
    return false;
  }
  createTiles();
  createControls();
  fillLanguageCombo();

  loadConfiguration(ui_);
  if (closeRequested_) return false;
  // Before any channel object exists, so a refused password connects no camera.
  if (!passPasswordLock(ui_, nullptr) || closeRequested_) return false;
  createChannelObjects(ui_);
  if (closeRequested_) return false;
  wireProgram();
  startChannels(ui_);
  startStorageMonitoring();
  hintFirstCamera();
  return true;
}

void CTarsilDlg::hintFirstCamera() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    if (isCameraConfigured(channel, false) != 0) return;
  }
  // Nothing to show yet: the log's top line points the way to the camera settings, in the
  // words of the button and its menu.
  CMultiLanguage& language = CMultiLanguage::instance();
  ui_.logEvent(-1, language.text("TarsilDlg", "Button_Setup") + " > " +
                       language.text("SetupButtonMenu", "ContextMenu_ConfigureCameras"));
}

void CTarsilDlg::requestClose() {
  if (!initializing_) {
    close();
    return;
  }
  closeRequested_ = true;
  ui_.beginShutdown();
  dismissOpenBoxes();
}

void CTarsilDlg::dismissOpenBoxes() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget == this || !widget->isVisible()) continue;
    if (auto* dialog = qobject_cast<QDialog*>(widget)) {
      dialog->reject();
    } else if (qobject_cast<QMenu*>(widget) != nullptr || widget->isModal()) {
      widget->close();
    }
  }
}

bool CTarsilDlg::loadSkin() {
  if (!background_.load(QString::fromStdString(platform::resourcePath("image/bg.bmp").string()),
                        "BMP")) {
    return false;
  }
  setFixedSize(background_.size());
  setMask(roundedRegion(background_.width(), background_.height()));
  return true;
}

void CTarsilDlg::createTiles() {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    tiles_[static_cast<std::size_t>(channel)] = new CViewerElement(channel, this, this);
  }
  applyLayout(kChannelCount);
}

void CTarsilDlg::createControls() {
  // Only full screen shows it: it blacks out the skin behind the enlarged video area.
  placeholder_ = new QWidget(this);
  placeholder_->setObjectName(QStringLiteral("videoPlaceholder"));
  placeholder_->setAutoFillBackground(true);
  QPalette black = placeholder_->palette();
  black.setColor(QPalette::Window, Qt::black);
  placeholder_->setPalette(black);
  placeholder_->setGeometry(rect());
  placeholder_->hide();

  blackFrame_ = new QFrame(this);
  blackFrame_->setGeometry(742, 55, 223, 62);
  blackFrame_->setStyleSheet(QStringLiteral("QFrame { border: 1px solid black; }"));
  blackFrame_->setAttribute(Qt::WA_TransparentForMouseEvents);

  versionLabel_ = new QLabel(qs(versionText()), this);
  versionLabel_->setGeometry(910, 120, 80, 20);
  versionLabel_->setStyleSheet(QStringLiteral("color: white; background: transparent;"));

  languageCombo_ = new QComboBox(this);
  languageCombo_->setObjectName(QStringLiteral("languageCombo"));
  languageCombo_->move(815, 165);
  languageCombo_->resize(80, languageCombo_->sizeHint().height());

  eventLog_ = new QListWidget(this);
  eventLog_->setObjectName(QStringLiteral("eventLog"));
  eventLog_->setGeometry(236, 612, 262, 92);
  eventLog_->setToolTip(QStringLiteral("Info"));
  // The log is as narrow as the skin's panel and every line starts with its date and camera,
  // so a line with the camera's name runs past the edge; it wraps instead of hiding its end
  // behind a horizontal scroll, and its tooltip holds it whole.
  eventLog_->setWordWrap(true);
  eventLog_->setTextElideMode(Qt::ElideNone);
  eventLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  eventLog_->setResizeMode(QListView::Adjust);
  eventLog_->setStyleSheet(QStringLiteral(
      "QListWidget { background: #101319; color: #c8d2de; border: 1px solid #566070; }"));
  eventLog_->addItem(QStringLiteral("System Event Log"));

  createButtons();
  // Move events without a button held reach the window, which takes every hover back.
  setMouseTracking(true);
}

QPixmap CTarsilDlg::skinBitmap(const QString& file) {
  if (const auto found = bitmapCache_.find(file); found != bitmapCache_.end()) {
    return found->second;
  }
  QPixmap bitmap;
  const std::string path = platform::resourcePath("image/" + file.toStdString()).string();
  if (!bitmap.load(qs(path), "BMP")) {
    bitmap = QPixmap();
    ui_.messageBox("Loading bmp file error, please check", kWindowTitle);
  }
  bitmapCache_.emplace(file, bitmap);
  return bitmap;
}

void CTarsilDlg::createButtons() {
  for (std::size_t i = 0; i < kButtons.size(); ++i) {
    const ButtonPlace& place = kButtons[i];
    auto* button = new CCustomStaticButton(place.id, QString::fromLatin1(place.tooltipKey), this);
    const QString nn = QString::fromLatin1(place.nn);
    if (place.id == kButtonStopRecord) {
      // The stop button wears the start button's art the other way round.
      button->setBitmaps({skinBitmap("ON_" + nn + ".bmp"), skinBitmap("OFF_" + nn + ".bmp"),
                          skinBitmap("MOVE_" + nn + ".bmp"), skinBitmap("MOVE_" + nn + ".bmp")});
    } else {
      button->setBitmaps({skinBitmap("MOVE_" + nn + ".bmp"), skinBitmap("OFF_" + nn + ".bmp"),
                          skinBitmap("ON_" + nn + ".bmp"), skinBitmap("MOVE_" + nn + ".bmp")});
    }
    button->setGeometry(place.x, place.y, place.width, place.height);
    button->setVisible(place.shownAtStart);
    connect(button, &CCustomStaticButton::mouseMoved, this, &CTarsilDlg::resetButtons);
    connect(button, &CCustomStaticButton::clicked, this, &CTarsilDlg::onButtonClicked);
    connect(button, &CCustomStaticButton::released, this, &CTarsilDlg::onButtonReleased);
    buttons_[i] = button;
  }
}

void CTarsilDlg::fillLanguageCombo() {
  CMultiLanguage& language = CMultiLanguage::instance();
  language.loadLanguageNames();
  languageCombo_->clear();
  for (const std::string& name : language.comboDisplayNames()) languageCombo_->addItem(qs(name));
  const int index = CMultiLanguage::comboIndexForLangId(CMultiLanguage::systemLangId());
  languageCombo_->setCurrentIndex(index);
  applyLanguage(index);
  connect(languageCombo_, &QComboBox::currentIndexChanged, this, &CTarsilDlg::applyLanguage);
}

void CTarsilDlg::applyLanguage(int comboIndex) {
  CMultiLanguage::instance().applyComboIndex(comboIndex);
  // Button tooltips and the menus look their texts up each time they show; a tooltip showing
  // right now would keep the old language, so it goes.
  if (QToolTip::isVisible()) QToolTip::hideText();
  refreshTileTexts();
  retranslateOpenWindows();
}

void CTarsilDlg::retranslateOpenWindows() {
  // Sent, not posted: every open dialog has its new texts before anything paints again. A
  // dialog passes the event on to its pages and controls itself.
  QList<QPointer<QWidget>> windows;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget != this) windows.append(widget);
  }
  QEvent change(QEvent::LanguageChange);
  for (const QPointer<QWidget>& window : windows) {
    if (window) QCoreApplication::sendEvent(window, &change);
  }
}

CCustomStaticButton* CTarsilDlg::button(int id) const {
  for (CCustomStaticButton* candidate : buttons_) {
    if (candidate != nullptr && candidate->id() == id) return candidate;
  }
  return nullptr;
}

void CTarsilDlg::resetButtons() {
  for (CCustomStaticButton* each : buttons_) {
    if (each != nullptr) each->setHoverState(CCustomStaticButton::kNormal);
  }
}

void CTarsilDlg::onButtonClicked(int id) {
  if (const int tiles = layoutTilesOfButton(id); tiles > 0) {
    applyLayout(tiles);
    return;
  }
  switch (id) {
    case kButtonFullScreen:
      setFullScreen(true);
      break;
    case kButtonScan:
      toggleScan();
      break;
    case kButtonSetup:
      openSetupMenu();
      break;
    case kButtonPlayback:
      openPlayback();
      break;
    case kButtonSnapshot:
      takeSnapshot();
      break;
    case kButtonStartRecord:
      startRecording();
      break;
    case kButtonStopRecord:
      stopRecording();
      break;
    case kButtonMinimize:
      showMinimized();
      break;
    case kButtonPower:
      close();
      break;
    default:
      break;
  }
}

void CTarsilDlg::onButtonReleased(int id) {
  if (id >= kButtonPtLeftUp && id <= kButtonPtRightDown) sendPtzButton(id);
}

void CTarsilDlg::sendPtzButton(int id) {
  const int channel = selectedChannel();
  // The command itself wants the channel live and its camera able to pan and tilt.
  if (channel >= 0) panTiltButton(channel, id);
}

bool CTarsilDlg::scanning() const {
  return displayFrame_ != nullptr && displayFrame_->scanning();
}

void CTarsilDlg::stopScan() {
  if (displayFrame_) displayFrame_->stop();
  if (CCustomStaticButton* scan = button(kButtonScan)) {
    scan->setHoverState(CCustomStaticButton::kNormal);
  }
}

void CTarsilDlg::setVisibleTiles(int tiles) {
  appState().visibleTileCount.store(tiles);
  audioAudienceChanged();
  std::lock_guard lock(settingsMutex());
  liveSettings().division = tiles;
}

void CTarsilDlg::applyLayout(int tiles) {
  if (tiles == 1) {
    applyOneTile();
    return;
  }
  const std::vector<TileRect> rects = layoutRects(tiles, videoWidth_, videoHeight_);
  if (rects.empty()) return;
  stopScan();
  for (int channel = 0; channel < kChannelCount; ++channel) {
    CViewerElement* each = tiles_[static_cast<std::size_t>(channel)];
    if (each == nullptr) continue;
    if (channel < static_cast<int>(rects.size())) {
      const TileRect& r = rects[static_cast<std::size_t>(channel)];
      each->setGeometry(r.left, r.top, r.width, r.height);
      each->show();
    } else {
      each->hide();
    }
  }
  setVisibleTiles(tiles);
  ui_.setSingleChannel(0);
}

void CTarsilDlg::showSingle(int channel) {
  for (CViewerElement* each : tiles_) {
    if (each != nullptr) each->hide();
  }
  CViewerElement* chosen = tile(channel);
  if (chosen == nullptr) return;
  chosen->setGeometry(kVideoLeft, kVideoTop, videoWidth_, videoHeight_);
  chosen->show();
  ui_.setSingleChannel(channel);
  audioAudienceChanged();
}

void CTarsilDlg::applyOneTile() {
  stopScan();
  int chosen = firstConnectedChannel();
  const int selected = selectedChannel();
  if (selected >= 0 && isLive(channelRecord(selected).status.load())) chosen = selected;
  showSingle(chosen);
  setVisibleTiles(1);
}

void CTarsilDlg::toggleScan() {
  if (appState().visibleTileCount.load() != 1) {
    showSingle(firstConnectedChannel());
    appState().visibleTileCount.store(1);
    audioAudienceChanged();
  }
  if (displayFrame_->selectNamedCameras() <= 1) return;
  if (displayFrame_->scanning()) {
    displayFrame_->stop();
  } else {
    displayFrame_->start(ui_.scanInterval());
  }
}

void CTarsilDlg::setFullScreen(bool on) {
  if (fullScreen_ == on) return;
  fullScreen_ = on;

  languageCombo_->setVisible(!on);
  eventLog_->setVisible(!on);
  for (CCustomStaticButton* each : buttons_) {
    const int id = each->id();
    if (id == kButtonZoomIn || id == kButtonZoomOut || id == kButtonStartRecord ||
        id == kButtonStopRecord) {
      continue;
    }
    each->setVisible(!on);
  }
  placeRecordButtons();

  if (on) {
    videoWidth_ = screen_.width();
    videoHeight_ = screen_.height();
    const QRect area(-kVideoLeft, -kVideoTop, background_.width() * screen_.width() / kVideoWidth,
                     background_.height() * screen_.height() / kVideoHeight);
    setFixedSize(area.size());
    move(area.topLeft());
    placeholder_->setGeometry(0, 0, area.width(), area.height());
    placeholder_->show();
    // Over the skin and its controls, under the tiles.
    placeholder_->raise();
    for (CViewerElement* each : tiles_) each->raise();
  } else {
    videoWidth_ = kVideoWidth;
    videoHeight_ = kVideoHeight;
    setFixedSize(background_.size());
    move((screen_.width() - width()) / 2, (screen_.height() - height()) / 2);
    placeholder_->hide();
  }
  setMask(roundedRegion(width(), height()));

  if (CCustomStaticButton* full = button(kButtonFullScreen)) {
    full->setHoverState(CCustomStaticButton::kNormal);
  }
  applyLayout(appState().visibleTileCount.load());
}

void CTarsilDlg::placeRecordButtons() {
  CCustomStaticButton* start = button(kButtonStartRecord);
  CCustomStaticButton* stop = button(kButtonStopRecord);
  if (start == nullptr || stop == nullptr) return;
  start->setVisible(!fullScreen_ && !recordingOn_);
  stop->setVisible(!fullScreen_ && recordingOn_);
}

void CTarsilDlg::openSetupMenu() {
  CCustomStaticButton* setup = button(kButtonSetup);
  CMultiLanguage& language = CMultiLanguage::instance();
  QMenu menu(this);
  menu.addAction(qs(language.text("SetupButtonMenu", "ContextMenu_ConfigureCameras")))
      ->setData(kMenuConfigureCameras);
  menu.addAction(qs(language.text("SetupButtonMenu", "ContextMenu_GeneralOptions")))
      ->setData(kMenuGeneralOptions);
  const QAction* chosen = menu.exec(setup->mapToGlobal(QPoint(0, setup->height())));
  if (chosen != nullptr) runMenuCommand(chosen->data().toInt());
}

void CTarsilDlg::runMenuCommand(int command) {
  if (command == kMenuConfigureCameras) {
    configureCameras();
  } else if (command == kMenuGeneralOptions) {
    CAdvanceConfigSheet sheet(ui_, this);
    sheet.exec();
    if (CCustomStaticButton* setup = button(kButtonSetup)) {
      setup->setHoverState(CCustomStaticButton::kNormal);
    }
  }
}

void CTarsilDlg::configureCameras() {
  CAdvanceConfig dialog(ui_, selectedChannel(), this);
  dialog.exec();
  if (CCustomStaticButton* setup = button(kButtonSetup)) {
    setup->setHoverState(CCustomStaticButton::kNormal);
  }
}

void CTarsilDlg::takeSnapshot() {
  CMultiLanguage& language = CMultiLanguage::instance();
  if (scanning()) {
    ui_.messageBox(language.text("MessageBox", "Message_StopScanBeforeSnapshot"), kWindowTitle);
    return;
  }
  const int channel = selectedChannel();
  const int status = channel < 0 ? kStatusNoSignal : channelRecord(channel).status.load();
  if (status == kStatusNoSignal) {
    ui_.messageBox(language.text("MessageBox", "Message_SelectChannelBeforeSnapshot"),
                   kWindowTitle);
    return;
  }
  // The channel's decoding thread saves its next picture. A channel that is connecting or
  // has lost its camera has no picture coming, and is left alone.
  if (isLive(status)) channelRecord(channel).snapshotRequest.store(1);
}

void CTarsilDlg::openPlayback() {
  CPlayBackDialog dialog(ui_, this);
  dialog.exec();
  if (CCustomStaticButton* playback = button(kButtonPlayback)) {
    playback->setHoverState(CCustomStaticButton::kNormal);
  }
}

void CTarsilDlg::startRecording() {
  if (const auto problem = checkManualRecordStart()) {
    ui_.messageBox(CMultiLanguage::instance().text(problem->section, problem->key), kWindowTitle);
    return;
  }
  // The buttons swap when the first recorder has its file open.
  startManualRecordingEverywhere();
}

void CTarsilDlg::stopRecording() {
  if (recordingOn_) {
    recordingOn_ = false;
    placeRecordButtons();
  }
  // Closing a recording waits for its thread and its file; the channels' command workers do
  // that, each after the commands given before.
  stopManualRecordingEverywhere();
}

void CTarsilDlg::selectTile(int channel) {
  for (CViewerElement* each : tiles_) {
    if (each != nullptr) each->setSelected(each->channel() == channel);
  }
}

int CTarsilDlg::selectedChannel() const {
  for (const CViewerElement* each : tiles_) {
    if (each != nullptr && each->selected()) return each->channel();
  }
  return -1;
}

void CTarsilDlg::updatePtzButtons(int channel) {
  const bool ptz = isPtzCamera(channel, false);
  for (int id = kButtonPtLeftUp; id <= kButtonPtRightDown; ++id) {
    if (CCustomStaticButton* each = button(id)) each->setEnabled(ptz);
  }
}

void CTarsilDlg::showOneTileFullScreen() {
  applyLayout(1);
  setFullScreen(true);
}

void CTarsilDlg::swapTiles(int channelA, int channelB) {
  if (fullScreen_ || channelA == channelB) return;
  CViewerElement* a = tile(channelA);
  CViewerElement* b = tile(channelB);
  if (a == nullptr || b == nullptr) return;
  const QRect placeOfA = a->geometry();
  a->setGeometry(b->geometry());
  b->setGeometry(placeOfA);
  a->show();
  b->show();
}

void CTarsilDlg::startShutdown() {
  if (shutdownStarted_) return;
  shutdownStarted_ = true;
  if (displayFrame_) displayFrame_->stop();
  // Boxes still waiting on workers are released first, so no worker holds up the exit, and
  // the boxes this thread shows are closed, so no nested event loop does.
  ui_.releaseWaiters();
  dismissOpenBoxes();
  const QPointer<CTarsilDlg> self(this);
  beginCoreShutdown([self] {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self] {
          if (self) self->finishShutdown(true);
        },
        Qt::QueuedConnection);
  });
  // Every wait of the stop has its limit; should the stop hang all the same, the program
  // still ends. The settings were saved before the threads were told to stop.
  QTimer::singleShot(kShutdownLimit, this, [this] {
    if (coreStopped_) return;
    platform::trace("shutdown: the threads did not end within %lld ms; leaving anyway",
                    static_cast<long long>(kShutdownLimit.count()));
    std::fflush(nullptr);
    std::_Exit(0);
  });
}

void CTarsilDlg::finishShutdown(bool closeWindow) {
  if (coreStopped_) return;
  coreStopped_ = true;
  ui_.beginShutdown();
  ui_.setWindow(nullptr);
  if (closeWindow) close();
}

void CTarsilDlg::shutdown() {
  if (coreStopped_) return;
  if (destroying_) {
    // No window events from here on: nothing must reach a window that is being destroyed.
    ui_.beginShutdown();
  }
  startShutdown();
  const auto deadline = std::chrono::steady_clock::now() + kShutdownLimit;
  while (!coreStopped_ && std::chrono::steady_clock::now() < deadline) {
    if (waitForCoreShutdown(std::chrono::milliseconds(20))) break;
    if (!destroying_) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  // The core is done (or given up on); the caller decides what becomes of the window.
  finishShutdown(false);
}

void CTarsilDlg::showChannelStatus(int channel, int /*code*/,
                                   const std::optional<std::string>& text) {
  CViewerElement* target = tile(channel);
  if (target == nullptr) return;
  if (text) target->setStatusText(qs(*text));
  target->update();
}

void CTarsilDlg::insertEventLogLine(const std::string& line) {
  if (eventLog_ == nullptr) return;
  auto* item = new QListWidgetItem(qs(line));
  item->setToolTip(item->text());
  eventLog_->insertItem(0, item);
  if (eventLog_->count() > kEventLogLimit) {
    while (eventLog_->count() > kEventLogKeep) delete eventLog_->takeItem(eventLog_->count() - 1);
  }
}

void CTarsilDlg::repaintTile(int channel) {
  if (CViewerElement* target = tile(channel)) target->update();
}

void CTarsilDlg::setRecordingOn(bool on) {
  recordingOn_ = on;
  placeRecordButtons();
}

CViewerElement* CTarsilDlg::tile(int channel) const {
  if (channel < 0 || channel >= kChannelCount) return nullptr;
  return tiles_[static_cast<std::size_t>(channel)];
}

void CTarsilDlg::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, background_);
}

void CTarsilDlg::mousePressEvent(QMouseEvent* event) {
  // The window has no caption: dragging anywhere moves it.
  if (event->button() == Qt::LeftButton && windowHandle() != nullptr) {
    windowHandle()->startSystemMove();
  }
}

void CTarsilDlg::mouseMoveEvent(QMouseEvent* event) {
  resetButtons();
  QWidget::mouseMoveEvent(event);
}

void CTarsilDlg::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Whatever stretched the window, outside full screen it goes back within the smallest
  // screen the viewer supports.
  if (!fullScreen_ && (width() > kMinimumScreenWidth || height() > kMinimumScreenHeight)) {
    setFixedSize(kMinimumScreenWidth, kMinimumScreenHeight);
  }
}

void CTarsilDlg::closeEvent(QCloseEvent* event) {
  // The window stays up, painting, until every thread has stopped; then it closes for good.
  if (!coreStopped_) {
    event->ignore();
    startShutdown();
    return;
  }
  event->accept();
}

void CTarsilDlg::keyPressEvent(QKeyEvent* event) {
  // Enter does nothing and Esc only ever leaves full screen: neither closes the window.
  if (event->key() == Qt::Key_Escape) {
    setFullScreen(false);
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace ipcam::ui
