#include "ui/display_frame.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/viewer_settings.h"

namespace ipcam::ui {

CDisplayFrame::CDisplayFrame(ShowChannel show) : show_(std::move(show)) {
  for (int channel = 0; channel < kChannelCount; ++channel) {
    channels[static_cast<std::size_t>(channel)] = channel;
  }
  QObject::connect(&timer_, &QTimer::timeout, [this] { showNext(); });
}

CDisplayFrame::~CDisplayFrame() = default;

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
  return timer_.isActive();
}

void CDisplayFrame::start(int intervalSeconds) {
  stop();
  // A zero interval would keep the user-interface thread busy with steps.
  scanInterval = std::max(1, intervalSeconds);
  timer_.start(std::chrono::seconds(scanInterval));
  showNext();
}

void CDisplayFrame::stop() {
  timer_.stop();
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
