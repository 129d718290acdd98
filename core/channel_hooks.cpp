#include "core/channel_hooks.h"

namespace ipcam {

ChannelHooks& channelHooks() {
  // Never destroyed: a thread abandoned at shutdown may still call a hook at exit.
  static auto* const hooks = new ChannelHooks();
  return *hooks;
}

}  // namespace ipcam
