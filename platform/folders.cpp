#include "platform/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam::platform {

namespace {

namespace fs = std::filesystem;

std::optional<fs::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;

  // Services and some sandboxes run without HOME; the password database still knows.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::vector<char> buffer(static_cast<size_t>(size));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') {
    return std::nullopt;
  }
  return fs::path(found->pw_dir);
}

std::optional<fs::path> configHome() {
  // The base directory rules ignore a relative XDG_CONFIG_HOME.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
    return fs::path(config);
  }
  if (auto home = homeFolder()) return *home / ".config";
  return std::nullopt;
}

bool isNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// A value as the shell reads it: double quotes (with \ escapes), single quotes, or bare words.
// Only a leading $HOME (or ${HOME}) outside single quotes is expanded, which is all that
// xdg-user-dirs writes; the caller gets the rest with `homeRelative` set.
struct ShellValue {
  std::string text;
  bool homeRelative = false;
};

std::optional<ShellValue> parseShellValue(std::string_view raw) {
  ShellValue value;
  enum class Quote { None, Double, Single } quote = Quote::None;
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (quote == Quote::Single) {
      if (c == '\'') {
        quote = Quote::None;
      } else {
        value.text.push_back(c);
      }
      continue;
    }
    if (c == '\\' && i + 1 < raw.size()) {
      const char next = raw[i + 1];
      // Inside double quotes a backslash only escapes the characters that are special there.
      if (quote == Quote::None || next == '"' || next == '\\' || next == '$' || next == '`') {
        value.text.push_back(next);
        ++i;
      } else {
        value.text.push_back(c);
      }
      continue;
    }
    if (c == '"') {
      quote = quote == Quote::Double ? Quote::None : Quote::Double;
      continue;
    }
    if (quote == Quote::None) {
      if (c == '\'') {
        quote = Quote::Single;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '#') break;  // the word, and the line, end here
    }
    if (c == '$' && value.text.empty() && !value.homeRelative) {
      const std::string_view after = raw.substr(i + 1);
      size_t nameLength = 0;
      if (after.starts_with("{HOME}")) {
        nameLength = 6;
      } else if (after.starts_with("HOME") && (after.size() == 4 || !isNameChar(after[4]))) {
        nameLength = 4;
      }
      if (nameLength != 0) {
        value.homeRelative = true;
        i += nameLength;
        continue;
      }
    }
    value.text.push_back(c);
  }
  if (quote != Quote::None) return std::nullopt;  // unbalanced quotes: the shell would refuse
  return value;
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs; as in the shell, the last assignment wins.
std::optional<fs::path> documentsFromUserDirs(const fs::path& file, const fs::path& home) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
  std::optional<fs::path> result;
  std::string line;
  while (std::getline(in, line)) {
    std::string_view text = line;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (!text.starts_with(kKey)) continue;  // comments and the other folders
    text.remove_prefix(kKey.size());
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    const auto value = parseShellValue(text);
    if (!value) continue;
    if (value->homeRelative) {
      std::string_view rest = value->text;
      if (!rest.empty() && rest.front() != '/') continue;  // "$HOMEx" is another variable
      while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
      // A folder set to the home folder itself means "disabled".
      result = rest.empty() ? std::nullopt : std::optional<fs::path>(home / rest);
    } else if (!value->text.empty() && value->text.front() == '/') {
      result = fs::path(value->text);
    } else {
      result = std::nullopt;  // relative or empty: not a usable folder
    }
  }
  return result;
}

}  // namespace

std::optional<std::filesystem::path> applicationDataFolder() {
  return configHome();
}

std::optional<std::filesystem::path> documentsFolder() {
  const auto home = homeFolder();
  if (!home) return std::nullopt;
  if (const auto config = configHome()) {
    if (auto documents = documentsFromUserDirs(*config / "user-dirs.dirs", *home)) {
      return documents;
    }
  }
  return *home / "Documents";
}

std::optional<unsigned long long> freeBytes(const std::filesystem::path& dir) {
  struct statvfs info {};
  if (::statvfs(dir.c_str(), &info) != 0) return std::nullopt;
  const unsigned long long unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  return static_cast<unsigned long long>(info.f_bavail) * unit;
}

bool sameFileSystem(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat infoA {};
  struct stat infoB {};
  if (::stat(a.c_str(), &infoA) != 0 || ::stat(b.c_str(), &infoB) != 0) return false;
  return infoA.st_dev == infoB.st_dev;
}

}  // namespace ipcam::platform
