#include "platform/trace.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ipcam::platform {

bool traceEnabled() {
  // Read once: the environment does not change under a running program, and getenv() is
  // not safe against a concurrent setenv() anyway.
  static const bool enabled = [] {
    const char* value = std::getenv("IPCAM_TRACE");
    return value != nullptr && *value != '\0';
  }();
  return enabled;
}

void traceLine(std::string_view text) {
  if (!traceEnabled()) return;
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  // A single write() per line keeps lines from different threads whole. The loop only
  // matters for a signal or a short write on a full pipe.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
}

void trace(const char* format, ...) {
  if (!traceEnabled()) return;
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) {
    va_end(args);
    return;
  }
  std::string text(static_cast<size_t>(length), '\0');
  // The terminating NUL lands on text[length], which std::string always provides.
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  traceLine(text);
}

}  // namespace ipcam::platform
