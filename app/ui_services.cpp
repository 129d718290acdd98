#include "app/ui_services.h"

#include "protocols/ptz.h"
#include "recording/storage.h"

namespace ipcam {

void startCameraSearch() {
  StartDiscovery();
}

bool stopCameraSearch() {
  return stopDiscovery();
}

void refreshCameraSearch() {
  refreshDiscovery();
}

DiscoverySnapshot foundCameras(bool clearChanged) {
  return discoverySnapshot(clearChanged);
}

std::string foundCameraModelName(int model, int vendor, int third) {
  return LookupModelName(model, vendor, third);
}

bool panTiltButton(int channel, int buttonId) {
  return sendPtzButtonCommand(channel, buttonId);
}

bool panTiltClick(int channel, int width, int height, int x, int y) {
  return ptzClickToMove(channel, width, height, x, y);
}

void startStorageMonitoring() {
  startStorageMonitor();
}

}  // namespace ipcam
