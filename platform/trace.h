#pragma once

#include <string_view>

namespace ipcam::platform {

// Diagnostic funnel: one line to standard error, only when IPCAM_TRACE is set in the
// environment. Thread-safe; lines from different threads never interleave.
bool traceEnabled();
void traceLine(std::string_view text);

// printf-style convenience; the line is formatted only when tracing is on.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ipcam::platform
