#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <system_error>

namespace ipcam::platform {
namespace {

namespace fs = std::filesystem;

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;
constexpr int kTemporaryNameAttempts = 64;
constexpr std::size_t kRandomSuffixBytes = 8;
constexpr std::size_t kTemporaryNameExtraBytes = 2 + kRandomSuffixBytes;

// The umask can only take bits away, and a strange one (0277) would leave the owner unable
// to write; the exact mode is set again on what we just made.
bool makePrivateFolder(const fs::path& dir) {
  if (::mkdir(dir.c_str(), kPrivateFolderMode) != 0) return errno == EEXIST;
  ::chmod(dir.c_str(), kPrivateFolderMode);
  return true;
}

std::string randomSuffix() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    // No entropy yet this early in boot: O_EXCL still keeps us safe, only retries get likelier.
    bits = static_cast<std::uint64_t>(::getpid()) << 32 ^
           static_cast<std::uint64_t>(fs::file_time_type::clock::now().time_since_epoch().count());
  }
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix;
  for (std::size_t i = 0; i < kRandomSuffixBytes; ++i, bits /= 36) suffix += kDigits[bits % 36];
  return suffix;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A rename is durable only once its folder is on disk too.
void syncFolder(const fs::path& dir) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool createPrivateFolders(const fs::path& dir) {
  std::error_code error;
  if (dir.empty()) return false;
  if (fs::is_directory(dir, error)) return true;
  fs::path partial;
  for (const fs::path& part : dir.lexically_normal()) {
    if (part.empty()) continue;
    partial /= part;
    if (partial == partial.root_path() || fs::is_directory(partial, error)) continue;
    if (!makePrivateFolder(partial)) return false;
  }
  return fs::is_directory(dir, error);
}

FolderPrivacy keepFolderPrivate(const fs::path& dir) {
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return FolderPrivacy::Missing;
  if (info.st_uid != ::geteuid()) return FolderPrivacy::NotOurs;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return FolderPrivacy::Private;
  if (::chmod(dir.c_str(), kPrivateFolderMode) != 0) return FolderPrivacy::Missing;
  return FolderPrivacy::Tightened;
}

int openPrivateFile(const fs::path& file) {
  const int fd =
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return -errno;
  // An emptied file keeps the mode it had; what goes into it now is ours.
  if (::fchmod(fd, kPrivateFileMode) != 0) {
    const int error = errno;
    ::close(fd);
    return -error;
  }
  return fd;
}

ReplaceResult replaceFilePrivately(const fs::path& target, std::string_view bytes, bool sync) {
  const fs::path dir = target.parent_path();
  // Named after the target for whoever finds one after a crash, but never too long a name
  // itself: the target may already use all of NAME_MAX.
  std::string hidden = target.filename().string();
  hidden.resize(std::min(hidden.size(), std::size_t{NAME_MAX} - kTemporaryNameExtraBytes));
  hidden = "." + hidden + ".";
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
    temporary = dir / (hidden + randomSuffix());
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                kPrivateFileMode);
    if (fd < 0 && errno != EEXIST) return ReplaceResult::CannotCreate;
  }
  if (fd < 0) return ReplaceResult::CannotCreate;
  const bool ok =
      ::fchmod(fd, kPrivateFileMode) == 0 && writeAll(fd, bytes) && (!sync || ::fsync(fd) == 0);
  const bool closed = ::close(fd) == 0;
  if (!ok || !closed) {
    ::unlink(temporary.c_str());
    return ReplaceResult::WriteFailed;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return ReplaceResult::CannotCreate;
  }
  if (sync) syncFolder(dir);
  return ReplaceResult::Written;
}

}  // namespace ipcam::platform
