#include "ui/tarsil_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRegion>
#include <QWindow>

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/connection_worker.h"
#include "app/multi_language.h"
#include "app/viewer_core.h"
#include "platform/resources.h"
#include "protocols/camera_queries.h"
#include "protocols/http_workers.h"
#include "recording/storage.h"
#include "ui/qt_viewer_ui.h"
#include "ui/viewer_element.h"

namespace ipcam::ui {
namespace {

constexpr int kCornerEllipse = 15;
constexpr int kEventLogLimit = 4999;
constexpr int kEventLogKeep = 3999;
constexpr const char* kWindowTitle = "IP Camera Surveillance Software";

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

QRegion roundedRegion(int width, int height) {
  QPainterPath path;
  path.addRoundedRect(QRectF(0, 0, width, height), kCornerEllipse / 2.0, kCornerEllipse / 2.0);
  return QRegion(path.toFillPolygon().toPolygon());
}

}  // namespace

CTarsilDlg::CTarsilDlg(QtViewerUi& ui) : QWidget(nullptr, Qt::FramelessWindowHint), ui_(ui) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setObjectName(QStringLiteral("CTarsilDlg"));
}

CTarsilDlg::~CTarsilDlg() {
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
  createChannelObjects(ui_);
  if (closeRequested_) return false;
  useCameraQueries(connectionServices());
  useHttpStreams(connectionServices());
  startChannels(ui_);
  startStorageMonitor();
  return true;
}

void CTarsilDlg::requestClose() {
  if (!initializing_) {
    close();
    return;
  }
  closeRequested_ = true;
  ui_.beginShutdown();
  if (QWidget* box = QApplication::activeModalWidget()) box->close();
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
  constexpr int kColumns = 4;
  constexpr int kTileWidth = kVideoWidth / kColumns;
  constexpr int kTileHeight = kVideoHeight / kColumns;
  for (int channel = 0; channel < kChannelCount; ++channel) {
    auto* tile = new CViewerElement(channel, this);
    tile->setGeometry(kVideoLeft + (channel % kColumns) * kTileWidth,
                      kVideoTop + (channel / kColumns) * kTileHeight, kTileWidth, kTileHeight);
    tile->show();
    tiles_[static_cast<std::size_t>(channel)] = tile;
  }
  appState().visibleTileCount.store(kChannelCount);
}

void CTarsilDlg::createControls() {
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
  eventLog_->setStyleSheet(QStringLiteral(
      "QListWidget { background: #101319; color: #c8d2de; border: 1px solid #566070; }"));
  eventLog_->addItem(QStringLiteral("System Event Log"));

  // The power button ends the program the same way as closing the window.
  powerButton_ = new QPushButton(this);
  powerButton_->setObjectName(QStringLiteral("powerButton"));
  powerButton_->setGeometry(85, 622, 73, 75);
  powerButton_->setFlat(true);
  powerButton_->setCursor(Qt::PointingHandCursor);
  powerButton_->setStyleSheet(QStringLiteral("background: transparent; border: none;"));
  powerButton_->setToolTip(qs(CMultiLanguage::instance().text("TarsilDlg", "Button_Power")));
  connect(powerButton_, &QPushButton::clicked, this, &QWidget::close);
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
  powerButton_->setToolTip(qs(CMultiLanguage::instance().text("TarsilDlg", "Button_Power")));
  refreshTileTexts();
}

void CTarsilDlg::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // Boxes still waiting on workers are released first, so no worker holds up the exit.
  ui_.beginShutdown();
  shutdownCore();
  ui_.setWindow(nullptr);
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
  eventLog_->insertItem(0, qs(line));
  if (eventLog_->count() > kEventLogLimit) {
    while (eventLog_->count() > kEventLogKeep) delete eventLog_->takeItem(eventLog_->count() - 1);
  }
}

void CTarsilDlg::repaintTile(int channel) {
  if (CViewerElement* target = tile(channel)) target->update();
}

void CTarsilDlg::setRecordingOn(bool on) {
  recordingOn_ = on;
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

void CTarsilDlg::closeEvent(QCloseEvent* event) {
  shutdown();
  event->accept();
}

void CTarsilDlg::keyPressEvent(QKeyEvent* event) {
  // Enter does nothing and Esc only ever leaves full screen: neither closes the window.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
      event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace ipcam::ui
