#include "ui/display_frame.h"

#include <algorithm>
#include <chrono>

#include "core/viewer_settings.h"
#include "platform/run_wait.h"

namespace ipcam::ui {

CDisplayFrame::CDisplayFrame(QObject* uiContext, ShowChannel show)
    : uiContext_(uiContext), show_(std::move(show)), shared_(std::make_shared<Shared>()) {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    channels[static_cast<std::size_t>(channel)] = channel;
  }
  shared_->owner = this;
}

CDisplayFrame::~CDisplayFrame() {
  stop();
  shared_->owner = nullptr;
}

int CDisplayFrame::selectNamedCameras() {
  selectedCount = 0;
  std::lock_guard lock(settingsMutex());
  for (const int channel : channels) {
    const bool named = !liveSettings().camera[static_cast<std::size_t>(channel)].name.empty();
    selected[static_cast<std::size_t>(channel)] = named ? 1 : 0;
    if (named) ++selectedCount;
  }
  return selectedCount;
}

bool CDisplayFrame::scanning() const {
  return shared_->scanning.load() != 0;
}

void CDisplayFrame::start(int intervalSeconds) {
  stop();
  // A step still queued from an earlier scan keeps the old, stopped state and so does nothing.
  shared_ = std::make_shared<Shared>();
  shared_->owner = this;
  // A zero interval would flood the user-interface thread with steps.
  scanInterval = std::max(1, intervalSeconds);
  const std::chrono::milliseconds interval(scanInterval * 1000);
  thread_.start(shared_->scanning,
                [shared = shared_, context = uiContext_, interval](const platform::ThreadRun& run) {
                  while (run.running()) {
                    postStep(context, shared);
                    if (!platform::sleepWhileRunning(run.flag(), interval)) break;
                  }
                });
}

void CDisplayFrame::stop() {
  thread_.stop(std::chrono::milliseconds(1000));
}

void CDisplayFrame::postStep(QObject* uiContext, const std::shared_ptr<Shared>& shared) {
  QMetaObject::invokeMethod(
      uiContext,
      [shared] {
        if (shared->scanning.load() == 1 && shared->owner != nullptr) shared->owner->showNext();
      },
      Qt::QueuedConnection);
}

void CDisplayFrame::showNext() {
  if (shownCount == selectedCount || nextIndex >= kChannelCount) {
    nextIndex = 0;
    shownCount = 0;
  }
  while (nextIndex < kChannelCount && selected[static_cast<std::size_t>(nextIndex)] == 0) {
    ++nextIndex;
  }
  if (nextIndex >= kChannelCount) return;
  const int channel = channels[static_cast<std::size_t>(nextIndex)];
  ++nextIndex;
  ++shownCount;
  show_(channel);
}

}  // namespace ipcam::ui
