#pragma once

#include <QWidget>

namespace ipcam::ui {

// A page of the camera sheet. Every page edits one channel of the editing copy at a time: the
// sheet has each page take its controls into the copy before it moves the page to another
// channel, so unsaved edits of every page survive switching channels and tabs.
class CAdvanceConfigCameraPage : public QWidget {
  Q_OBJECT

 public:
  using QWidget::QWidget;

  int channel() const { return channel_; }

  // Controls → editing copy, for channel().
  virtual void take() = 0;
  // Editing copy → controls, for `channel`, which becomes the page's channel.
  virtual void showChannel(int channel) = 0;
  // Which controls can be used, from what the controls show now.
  virtual void enable() = 0;
  // Editing copy → live settings (after taking the controls). False keeps the sheet open.
  virtual bool apply() = 0;
  virtual void retranslateUi() = 0;

 protected:
  int channel_ = 0;
};

}  // namespace ipcam::ui

#include <cstddef>
#include <mutex>

#include "core/viewer_settings.h"

namespace ipcam::ui {

// The editing copy is only changed on the user-interface thread, but it shares the settings
// lock with the live settings, so every access takes it.
inline CameraSettings editedCamera(int channel) {
  std::lock_guard lock(settingsMutex());
  return editSettings().camera[static_cast<std::size_t>(channel)];
}

template <typename Change>
void changeEditedCamera(int channel, Change change) {
  std::lock_guard lock(settingsMutex());
  change(editSettings().camera[static_cast<std::size_t>(channel)]);
}

}  // namespace ipcam::ui
