#pragma once

#include <filesystem>
#include <optional>

namespace ipcam::platform {

// The user's application-data folder: $XDG_CONFIG_HOME, else ~/.config. Empty optional when
// neither can be named (no HOME either).
std::optional<std::filesystem::path> applicationDataFolder();

// The user's documents folder: XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs
// (with $HOME expanded), else ~/Documents. Empty optional when HOME is unknown.
std::optional<std::filesystem::path> documentsFolder();

// Free bytes of the file system holding `dir` for an unprivileged user (statvfs), or an
// empty optional when the file system does not report it.
std::optional<unsigned long long> freeBytes(const std::filesystem::path& dir);

// True when both paths exist and lie on the same file system (st_dev).
bool sameFileSystem(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace ipcam::platform
