#pragma once

#include <cstdint>
#include <span>

namespace ipcam {

struct ChannelRecord;
struct PictureView;

// What a channel's stream workers, data threads and decode thread report about the channel.
// They report and go on; they start and stop nothing of the channel themselves. The channel's
// owner (app/channel_pipeline) answers each report: it starts the decode thread when a stream
// opens and the recording threads at the first picture, ends them again when the stream is
// lost, and saves the snapshots. Every report comes on the reporting thread, so an answer
// that waits for a thread never runs on the user-interface thread.
class ChannelEventSink {
 public:
  virtual ~ChannelEventSink() = default;

  // A road's pictures now come into the channel's video queue.
  virtual void streamOpened(ChannelRecord& /*record*/) {}
  // A road's sound now comes into the channel's audio queue.
  virtual void audioOpened(ChannelRecord& /*record*/) {}
  // The road's pictures stopped coming: the stream was lost, or its worker ends for good.
  virtual void streamLost(ChannelRecord& /*record*/) {}
  // The road's worker ends because it was told to; whoever told it stops the rest.
  virtual void streamStopped(ChannelRecord& /*record*/) {}
  // The road's sound stopped coming.
  virtual void audioLost(ChannelRecord& /*record*/) {}
  // The decode thread took the first picture of a stream run.
  virtual void firstPicture(ChannelRecord& /*record*/) {}
  // The camera marks motion and the channel has no motion thread running.
  virtual void motion(ChannelRecord& /*record*/) {}
  // A motion recording began that the user is to hear.
  virtual void alarm(ChannelRecord& /*record*/) {}
  // A snapshot the user asked for: the camera's own JPEG, or a converted picture.
  virtual void jpegSnapshot(ChannelRecord& /*record*/, std::span<const std::uint8_t> /*jpeg*/) {}
  virtual void pictureSnapshot(ChannelRecord& /*record*/, const PictureView& /*picture*/) {}
};

// The sink every channel reports to. Until one is set, reports go nowhere.
ChannelEventSink& channelEvents();
// Set at start-up, before any channel thread starts; the sink must live until process exit,
// since a thread given up on at shutdown may still report. Null: reports go nowhere again.
void setChannelEventSink(ChannelEventSink* sink);

}  // namespace ipcam
