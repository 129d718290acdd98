#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <span>

#include "core/channel_count.h"
#include "core/channel_events.h"

namespace ipcam {

struct ChannelRecord;

// What the pipeline starts and stops for a channel. The program's are the channel's real
// threads (realChannelParts); a test gives stand-ins to watch the order.
struct ChannelParts {
  using Step = std::function<void(ChannelRecord&)>;
  Step startDecode;
  Step stopDecode;
  Step startAudio;
  Step stopAudio;
  Step startSchedule;
  Step stopSchedule;
  // Started only while the user wants the channel's manual recording.
  Step startManual;
  Step stopManual;
  Step startMotion;
  Step stopMotion;
  // The whole channel, from its stream workers and data threads on (core's fixed order).
  Step stopChannel;
  // The alarm sound and the two kinds of snapshot.
  Step playAlarm;
  std::function<void(ChannelRecord&, std::span<const std::uint8_t>)> saveJpeg;
  std::function<void(ChannelRecord&, const PictureView&)> savePicture;
};

ChannelParts realChannelParts();

// The owner of every channel: the one place that starts and stops a channel's decode and
// audio threads, its recording threads and its motion thread, answering what the roads and
// the decode thread report. Things start in the order a stream comes up (decode thread when a
// road opens, then at the first picture the schedule and the manual recording threads, the
// motion thread when the camera marks motion) and stop in reverse when the stream is lost:
// the decode thread first, since its reports are what start the others, then motion, manual
// recording, schedule, each finishing its file, so a stream that comes back records into new
// files.
//
// The answers to a road's reports about one channel take turns under that channel's lock, so
// a loss that comes while a start is under way waits for it and then undoes it, and a channel
// stop ends with a sweep in its turn. The decode thread's reports need no lock: the decode
// thread is stopped, and waited for, before what it starts is stopped.
class ChannelPipeline final : public ChannelEventSink {
 public:
  explicit ChannelPipeline(ChannelParts parts) : parts_(std::move(parts)) {}

  void streamOpened(ChannelRecord& record) override;
  void audioOpened(ChannelRecord& record) override;
  void streamLost(ChannelRecord& record) override;
  void streamStopped(ChannelRecord& record) override;
  void audioLost(ChannelRecord& record) override;
  void firstPicture(ChannelRecord& record) override;
  void motion(ChannelRecord& record) override;
  void alarm(ChannelRecord& record) override;
  void jpegSnapshot(ChannelRecord& record, std::span<const std::uint8_t> jpeg) override;
  void pictureSnapshot(ChannelRecord& record, const PictureView& picture) override;

  // Stops everything of the channel: its stream workers and data threads, then the decode and
  // audio threads, then the recording threads. Safe to call twice. Waits (each thread up to its
  // limit): not on the user-interface thread.
  void stopChannel(ChannelRecord& record);

 private:
  std::mutex& turnOf(const ChannelRecord& record);
  void endRecordings(ChannelRecord& record);

  const ChannelParts parts_;
  std::array<std::mutex, kChannelCount> turns_;
};

// The program's pipeline, made on first use and kept until process exit; wireProgram makes
// it the channels' event sink.
ChannelPipeline& channelPipeline();

}  // namespace ipcam
