#include "protocols/camera_discovery.h"

namespace ipcam {

// Placeholder until the LAN search is in: the list stays empty.
void StartDiscovery() {}
void StopDiscovery() {}
void RefreshDiscovery() {}
void SendSearch() {}
DiscoverySnapshot discoverySnapshot(bool) {
  return {};
}
std::string LookupModelName(int, int, int) {
  return {};
}

}  // namespace ipcam
