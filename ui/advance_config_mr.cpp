#include "ui/advance_config_mr.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>
#include <array>

#include "core/multi_language.h"

namespace ipcam::ui {
namespace {

// The recording lengths offered, in list order; any other stored length shows as the first.
constexpr std::array<int, 4> kLengths = {10, 20, 30, 60};

QString text(const char* key) {
  return QString::fromStdString(CMultiLanguage::instance().text("AdvanceConfigMR", key));
}

}  // namespace

CAdvanceConfigMR::CAdvanceConfigMR(QWidget* parent) : CAdvanceConfigCameraPage(parent) {
  setObjectName(QStringLiteral("CAdvanceConfigMR"));
  group_ = new QGroupBox(this);
  enable_ = new QRadioButton(group_);
  disable_ = new QRadioButton(group_);
  auto* choice = new QButtonGroup(this);
  choice->addButton(enable_);
  choice->addButton(disable_);
  timeLabel_ = new QLabel(group_);
  seconds_ = new QComboBox(group_);
  for (const int length : kLengths) seconds_->addItem(QString::number(length));
  secondsLabel_ = new QLabel(group_);
  alarm_ = new QCheckBox(group_);
  mail_ = new QCheckBox(group_);

  auto* grid = new QGridLayout(group_);
  auto* radios = new QHBoxLayout;
  radios->addWidget(enable_);
  radios->addWidget(disable_);
  radios->addStretch();
  grid->addLayout(radios, 0, 0, 1, 3);
  grid->addWidget(timeLabel_, 1, 0);
  grid->addWidget(seconds_, 1, 1);
  grid->addWidget(secondsLabel_, 1, 2);
  grid->addWidget(alarm_, 2, 0, 1, 3);
  grid->addWidget(mail_, 3, 0, 1, 3);
  grid->setColumnStretch(2, 1);
  auto* page = new QVBoxLayout(this);
  page->addWidget(group_);
  page->addStretch();

  connect(enable_, &QRadioButton::toggled, this, [this] { enable(); });
  retranslateUi();
}

void CAdvanceConfigMR::retranslateUi() {
  group_->setTitle(text("Static_MotionRecord"));
  enable_->setText(text("Static_Enable"));
  disable_->setText(text("Static_Disable"));
  timeLabel_->setText(text("Static_RecordingTime"));
  secondsLabel_->setText(text("Static_Seconds"));
  // The key is spelt so in every language file.
  alarm_->setText(text("Static_InvokeAlerm"));
  mail_->setText(text("Static_SendMail"));
}

void CAdvanceConfigMR::take() {
  const int position = seconds_->currentIndex();
  changeEditedCamera(channel_, [&](CameraSettings& camera) {
    camera.mrEnable = enable_->isChecked() ? 1 : 0;
    camera.mrSecond = position > 0 && position < static_cast<int>(kLengths.size())
                          ? kLengths[static_cast<std::size_t>(position)]
                          : kLengths[0];
    camera.mrAlarm = alarm_->isChecked() ? 1 : 0;
    camera.mrMail = mail_->isChecked() ? 1 : 0;
  });
}

void CAdvanceConfigMR::showChannel(int channel) {
  channel_ = channel;
  const CameraSettings camera = editedCamera(channel);
  (camera.mrEnable == 1 ? enable_ : disable_)->setChecked(true);
  int position = 0;
  for (std::size_t i = 0; i < kLengths.size(); ++i) {
    if (kLengths[i] == camera.mrSecond) position = static_cast<int>(i);
  }
  seconds_->setCurrentIndex(position);
  alarm_->setChecked(camera.mrAlarm == 1);
  mail_->setChecked(camera.mrMail == 1);
}

void CAdvanceConfigMR::enable() {
  const bool on = enable_->isChecked();
  seconds_->setEnabled(on);
  alarm_->setEnabled(on);
  mail_->setEnabled(on);
}

bool CAdvanceConfigMR::apply() {
  take();
  std::lock_guard lock(settingsMutex());
  for (std::size_t channel = 0; channel < kChannelCount; ++channel) {
    const CameraSettings& edit = editSettings().camera[channel];
    CameraSettings& live = liveSettings().camera[channel];
    live.mrEnable = edit.mrEnable;
    live.mrSecond = edit.mrSecond;
    live.mrAlarm = edit.mrAlarm;
    live.mrMail = edit.mrMail;
  }
  return true;
}

}  // namespace ipcam::ui
