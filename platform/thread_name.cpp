#include "platform/thread_name.h"

#include <pthread.h>

#include <algorithm>
#include <array>

namespace ipcam::platform {

void nameThread(pthread_t thread, std::string_view name) {
  // The system refuses a longer name outright instead of cutting it.
  std::array<char, 16> text{};
  const std::size_t length = std::min(name.size(), text.size() - 1);
  std::copy_n(name.data(), length, text.data());
  ::pthread_setname_np(thread, text.data());
}

}  // namespace ipcam::platform
