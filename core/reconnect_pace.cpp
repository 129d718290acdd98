#include "core/reconnect_pace.h"

#include "platform/run_wait.h"

namespace ipcam {

bool ReconnectGate::waitWhileRunning(const platform::RunFlag& runFlag) const {
  const Clock::time_point at{Clock::duration(at_.load())};
  const auto wait = at - Clock::now();
  if (wait <= Clock::duration::zero()) return runFlag.load() != 0;
  return platform::sleepWhileRunning(runFlag, std::chrono::ceil<std::chrono::milliseconds>(wait));
}

}  // namespace ipcam
