#include "platform/resources.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace ipcam::platform {

namespace {

namespace fs = std::filesystem;

bool isFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

// The resource names come from a file system that ignores case, so "Image\\x.jpg" and
// "image/x.jpg" name one file. Walks `relative` from `base`, matching each component that
// does not exist as written against the folder's entries without regard to ASCII case.
std::optional<fs::path> findIgnoringCase(const fs::path& base, const fs::path& relative) {
  fs::path current = base;
  for (const fs::path& component : relative) {
    const std::string name = component.string();
    if (name.empty() || name == ".") continue;
    if (name == ".." || pathExists(current / component)) {
      current /= component;
      continue;
    }
    std::error_code error;
    fs::directory_iterator entries(current, error);
    if (error) return std::nullopt;
    std::optional<fs::path> match;
    for (const fs::directory_entry& entry : entries) {
      const fs::path candidate = entry.path().filename();
      // Directory order is arbitrary; the smallest name keeps the choice stable.
      if (equalsIgnoringAsciiCase(candidate.string(), name) && (!match || candidate < *match)) {
        match = candidate;
      }
    }
    if (!match) return std::nullopt;
    current /= *match;
  }
  return current;
}

}  // namespace

fs::path executableFolder() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) return fs::current_path(error);
  return executable.parent_path();
}

fs::path resourceFolder() {
  if (const char* configured = std::getenv("IPCAM_RESOURCES");
      configured != nullptr && *configured != '\0' && isFolder(configured)) {
    return configured;
  }
  const fs::path exeFolder = executableFolder();
  const fs::path buildTree = exeFolder / "resources";
  if (isFolder(buildTree)) return buildTree;
  const fs::path installed = (exeFolder / ".." / "share" / "ipcam-viewer").lexically_normal();
  if (isFolder(installed)) return installed;
  return buildTree;
}

fs::path resourcePath(std::string_view relative) {
  std::string text(relative);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  while (text.starts_with("./")) text.erase(0, 2);
  const fs::path given(text);
  if (given.is_absolute()) return given;

  const fs::path folder = resourceFolder();
  const fs::path exact = folder / given;
  if (pathExists(exact)) return exact;
  if (auto found = findIgnoringCase(folder, given)) return *found;
  return exact;
}

}  // namespace ipcam::platform
