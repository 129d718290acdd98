#include "core/app_state.h"

#include <cstdio>

#include "ipcam_version.h"

namespace ipcam {

AppState& appState() {
  static auto* const state = new AppState();  // never destroyed, as the channel table
  return *state;
}

std::string versionText() {
  char text[64];
  std::snprintf(text, sizeof text, "v%d.%d.%d.%d", kVersionMajor, kVersionMinor, kVersionBuild,
                kVersionRevision);
  return text;
}

bool screenLargeEnough(int width, int height) {
  return width >= kMinimumScreenWidth && height >= kMinimumScreenHeight;
}

}  // namespace ipcam
