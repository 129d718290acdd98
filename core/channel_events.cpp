#include "core/channel_events.h"

#include <atomic>

namespace ipcam {
namespace {

ChannelEventSink& nowhere() {
  // Never destroyed: a thread abandoned at shutdown may still report at exit.
  static auto* const sink = new ChannelEventSink();
  return *sink;
}

std::atomic<ChannelEventSink*>& installedSink() {
  static std::atomic<ChannelEventSink*> sink{nullptr};
  return sink;
}

}  // namespace

ChannelEventSink& channelEvents() {
  ChannelEventSink* sink = installedSink().load();
  return sink != nullptr ? *sink : nowhere();
}

void setChannelEventSink(ChannelEventSink* sink) {
  installedSink().store(sink);
}

}  // namespace ipcam
