#include "ui/advance_config_av.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QVBoxLayout>

#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/multi_language.h"
#include "media/audio_player.h"

namespace ipcam::ui {
namespace {

QString text(const char* key) {
  return QString::fromStdString(CMultiLanguage::instance().text("AdvanceConfigAV", key));
}

bool channelRecording(int channel) {
  const ChannelRecord& record = channelRecord(channel);
  for (const auto* recorder :
       {&record.scheduleRecorder, &record.motionRecorder, &record.manualRecorder}) {
    if (*recorder && (*recorder)->recording()) return true;
  }
  return false;
}

}  // namespace

CAdvanceConfigAV::CAdvanceConfigAV(QWidget* parent) : CAdvanceConfigCameraPage(parent) {
  setObjectName(QStringLiteral("CAdvanceConfigAV"));
  group_ = new QGroupBox(this);
  mute_ = new QCheckBox(group_);
  videoOnly_ = new QCheckBox(group_);
  auto* boxes = new QVBoxLayout(group_);
  boxes->addWidget(mute_);
  boxes->addWidget(videoOnly_);
  auto* page = new QVBoxLayout(this);
  page->addWidget(group_);
  page->addStretch();
  retranslateUi();
}

void CAdvanceConfigAV::retranslateUi() {
  group_->setTitle(text("Static_Audio"));
  mute_->setText(text("Static_MuteAudio"));
  videoOnly_->setText(text("Static_RecordVideoOnly"));
}

void CAdvanceConfigAV::take() {
  changeEditedCamera(channel_, [this](CameraSettings& camera) {
    camera.muteAudio = mute_->isChecked() ? 1 : 0;
    camera.onlyVideo = videoOnly_->isChecked() ? 1 : 0;
  });
}

void CAdvanceConfigAV::showChannel(int channel) {
  channel_ = channel;
  const CameraSettings camera = editedCamera(channel);
  mute_->setChecked(camera.muteAudio == 1);
  videoOnly_->setChecked(camera.onlyVideo == 1);
}

void CAdvanceConfigAV::enable() {
  const bool audio = hasCameraAudio(channel_, true);
  mute_->setEnabled(audio);
  videoOnly_->setEnabled(audio && !channelRecording(channel_));
}

bool CAdvanceConfigAV::apply() {
  take();
  std::lock_guard lock(settingsMutex());
  for (std::size_t channel = 0; channel < kChannelCount; ++channel) {
    const CameraSettings& edit = editSettings().camera[channel];
    CameraSettings& live = liveSettings().camera[channel];
    live.muteAudio = edit.muteAudio;
    live.onlyVideo = edit.onlyVideo;
  }
  audioAudienceChanged();
  return true;
}

}  // namespace ipcam::ui
