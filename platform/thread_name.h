#pragma once

#include <pthread.h>

#include <string_view>

namespace ipcam::platform {

// Names a thread for per-thread tools (top -H, pidstat); the system keeps the first 15
// characters.
void nameThread(pthread_t thread, std::string_view name);
inline void nameThisThread(std::string_view name) {
  nameThread(::pthread_self(), name);
}

}  // namespace ipcam::platform
