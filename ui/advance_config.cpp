#include "ui/advance_config.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>

#include "app/channel_commands.h"
#include "core/channel_record.h"
#include "core/channel_reports.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/trace.h"
#include "ui/advance_config_av.h"
#include "ui/advance_config_page.h"
#include "ui/advance_config_mr.h"
#include "ui/advance_config_record.h"
#include "ui/dialog_buttons.h"
#include "ui/dialog_style.h"

namespace ipcam::ui {
namespace {

using namespace std::chrono_literals;

// The dialog stays up for a moment after OK, while the channels begin to stop and start.
constexpr auto kCloseDelay = 1000ms;

QString text(const char* key) {
  return QString::fromStdString(CMultiLanguage::instance().text("AdvanceConfig", key));
}

void clearNeedsStop(int channel) {
  std::lock_guard lock(settingsMutex());
  liveSettings().camera[static_cast<std::size_t>(channel)].needsStop = 0;
}

void stopDroppedChannel(int channel) {
  disconnectChannel(channel);
  clearNeedsStop(channel);
  // The camera is gone from the settings: its tile says so, as after a reset.
  if (isCameraConfigured(channel, false) == 0) {
    showTileText(channel, kStatusNoSignal, "Message_NoSignal");
  }
}

void restartChangedChannel(int channel) {
  // A disconnected channel has nothing to stop, so disconnecting would not bring it back;
  // the new settings are meant to be tried at once all the same (a corrected password).
  if (channelRecord(channel).status.load() == kStatusDisconnected) {
    {
      std::lock_guard lock(settingsMutex());
      CameraSettings& camera = liveSettings().camera[static_cast<std::size_t>(channel)];
      camera.needsRestart = 0;
      camera.restartPending = 0;
    }
    connectChannel(channel);
    return;
  }
  disconnectChannel(channel);  // reconnects, since restartPending is set
}

void post(int channel, void (*action)(int)) {
  const bool posted = channelRecord(channel).threads.commands.post(
      [channel, action](const platform::ThreadRun&) { action(channel); });
  if (!posted) platform::trace("Configure Cameras: camera %d is busy; not changed", channel + 1);
}

}  // namespace

ChannelActions channelCommandActions() {
  return ChannelActions{
      [](int channel) { post(channel, stopDroppedChannel); },
      [](int channel) { post(channel, restartChangedChannel); },
      [](int channel) { post(channel, connectChannel); },
  };
}

CAdvanceConfig::CAdvanceConfig(ViewerUi& ui, int channel, QWidget* parent,
                               DiscoveryAccess discovery, ChannelActions actions)
    : QDialog(parent), ui_(ui), actions_(std::move(actions)) {
  setObjectName(QStringLiteral("CAdvanceConfig"));
  setStyleSheet(QString::fromLatin1(kSettingsDialogStyle));
  copySettingsToEdit();

  channelLabel_ = new QLabel(this);
  channels_ = new QListWidget(this);
  channels_->setObjectName(QStringLiteral("channelList"));
  for (int i = 0; i < kChannelCount; ++i) channels_->addItem(QString());
  channels_->setFixedWidth(120);
  channelLabel_->setBuddy(channels_);

  tabs_ = new QTabWidget(this);
  setting_ = new CAdvanceConfigSetting(std::move(discovery));
  record_ = new CAdvanceConfigRecord(ui_);
  av_ = new CAdvanceConfigAV;
  mr_ = new CAdvanceConfigMR;
  tabs_->addTab(setting_, QString());
  tabs_->addTab(record_, QString());
  tabs_->addTab(av_, QString());
  tabs_->addTab(mr_, QString());
  pages_ = {setting_, record_, av_, mr_};

  ok_ = new QPushButton(this);
  cancel_ = new QPushButton(this);

  auto* left = new QVBoxLayout;
  left->addWidget(channelLabel_);
  left->addWidget(channels_, 1);
  auto* top = new QHBoxLayout;
  top->addLayout(left);
  top->addWidget(tabs_, 1);
  QHBoxLayout* buttons = okCancelRow(this, ok_, cancel_);
  auto* whole = new QVBoxLayout(this);
  whole->addLayout(top, 1);
  whole->addLayout(buttons);
  QWidget::setTabOrder(channels_, tabs_);
  QWidget::setTabOrder(ok_, cancel_);

  const int first = channel >= 0 && channel < kChannelCount ? channel : 0;
  for (CAdvanceConfigCameraPage* page : pages_) {
    page->showChannel(first);
    page->enable();
  }
  channels_->setCurrentRow(first);
  tabs_->setCurrentIndex(kTabCamera);
  connect(channels_, &QListWidget::currentRowChanged, this, &CAdvanceConfig::switchPages);
  connect(tabs_, &QTabWidget::currentChanged, this,
          [this] { switchPages(channels_->currentRow()); });
  retranslateUi();
}

CAdvanceConfig::~CAdvanceConfig() {
  setting_->stopDiscovery();
}

void CAdvanceConfig::retranslateUi() {
  setWindowTitle(text("PropertyPage_CameraConfig"));
  const QString camera = text("Static_Channel");
  channelLabel_->setText(camera);
  for (int i = 0; i < kChannelCount; ++i) {
    channels_->item(i)->setText(camera + QStringLiteral(" %1").arg(i + 1));
  }
  tabs_->setTabText(kTabCamera, text("PropertyPage_Camera"));
  tabs_->setTabText(kTabSchedule, text("PropertyPage_ScheduleRecording"));
  tabs_->setTabText(kTabAudio, text("PropertyPage_Audio"));
  tabs_->setTabText(kTabMotion, text("PropertyPage_MotionRecording"));
  ok_->setText(text("Button_OK"));
  cancel_->setText(text("Button_Cancel"));
  for (CAdvanceConfigCameraPage* page : pages_) page->retranslateUi();
}

void CAdvanceConfig::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) retranslateUi();
  QDialog::changeEvent(event);
}

void CAdvanceConfig::selectChannel(int channel) {
  channels_->setCurrentRow(channel);
}

void CAdvanceConfig::selectTab(int tab) {
  tabs_->setCurrentIndex(tab);
}

void CAdvanceConfig::switchPages(int channel) {
  if (channel < 0 || channel >= kChannelCount) return;
  for (CAdvanceConfigCameraPage* page : pages_) {
    page->take();
    page->showChannel(channel);
    page->enable();
  }
}

void CAdvanceConfig::accept() {
  if (closing_) return;
  for (CAdvanceConfigCameraPage* page : pages_) {
    if (!page->apply()) return;
  }
  saveConfirmedSettings(ui_, "Configure Cameras");
  runChannelActions();
  // The commands run on the channels' own workers; the dialog only lingers, painting.
  closing_ = true;
  ok_->setEnabled(false);
  cancel_->setEnabled(false);
  setting_->stopDiscovery();
  QTimer::singleShot(kCloseDelay, this, [this] { QDialog::done(QDialog::Accepted); });
}

void CAdvanceConfig::runChannelActions() {
  struct Flags {
    bool stop, restart, start;
  };
  std::array<Flags, kChannelCount> flags{};
  {
    std::lock_guard lock(settingsMutex());
    for (std::size_t i = 0; i < kChannelCount; ++i) {
      const CameraSettings& camera = liveSettings().camera[i];
      flags[i] = {camera.needsStop == 1, camera.needsRestart == 1, camera.needsStart == 1};
    }
  }
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const Flags& f = flags[static_cast<std::size_t>(channel)];
    if (f.stop && actions_.stop) actions_.stop(channel);
    if (f.restart && actions_.restart) actions_.restart(channel);
    if (f.start && actions_.start) actions_.start(channel);
  }
}

void CAdvanceConfig::reject() {
  // Once applied, the only way out is the close that OK has set off.
  if (closing_) return;
  QDialog::reject();
}

void CAdvanceConfig::done(int result) {
  setting_->stopDiscovery();
  QDialog::done(result);
}

}  // namespace ipcam::ui
