#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/trace.h"

namespace ipcam::platform {

namespace {

namespace fs = std::filesystem;

fs::path lockFolder() {
  std::error_code error;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && *runtime != '\0' && fs::is_directory(runtime, error)) {
    return runtime;
  }
  fs::path temp = fs::temp_directory_path(error);
  return error ? fs::path("/tmp") : temp;
}

}  // namespace

SingleInstance::SingleInstance(std::string_view name) {
  std::string fileName(name);
  // The name is one file name, never a path into some other folder.
  for (char& c : fileName) {
    if (c == '/') c = '_';
  }
  fileName += ".lock";
  const fs::path path = lockFolder() / fileName;

  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // Without a lock file there is no way to tell; running twice beats not running at all.
    trace("single instance: cannot open %s (errno %d); going on", path.c_str(), errno);
    acquired_ = true;
    return;
  }
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      acquired_ = false;
    } else {
      trace("single instance: cannot lock %s (errno %d); going on", path.c_str(), errno);
      acquired_ = true;
    }
    ::close(fd_);
    fd_ = -1;
    return;
  }
  acquired_ = true;
}

SingleInstance::~SingleInstance() {
  // Closing drops the lock. The file stays: removing it would race with a process that has
  // just opened it and is about to lock it.
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace ipcam::platform
