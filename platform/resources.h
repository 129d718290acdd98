#pragma once

#include <filesystem>
#include <string_view>

namespace ipcam::platform {

// The program's resource folder (image/, ini/, Sound/):
//   1. $IPCAM_RESOURCES when set;
//   2. "resources" next to the executable (build tree);
//   3. "../share/ipcam-viewer" from the executable's folder (installed).
// The first that exists as a folder wins; when none exists, the folder of case 2 is returned
// so that failures name a sensible path.
std::filesystem::path resourceFolder();

// Resolves a relative resource path ("image/bg.bmp", "ini\\English.ini") against the
// resource folder. Backslashes are taken as separators. An absolute path is returned as is.
std::filesystem::path resourcePath(std::string_view relative);

// The folder of the running executable (from /proc/self/exe).
std::filesystem::path executableFolder();

}  // namespace ipcam::platform
