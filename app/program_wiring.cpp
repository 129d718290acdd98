#include "app/program_wiring.h"

#include <climits>
#include <cstdint>
#include <string>

#include "alerts/motion_thread.h"
#include "app/av_server_road.h"
#include "app/connection_worker.h"
#include "core/channel_hooks.h"
#include "media/audio_player.h"
#include "media/stream_decode_thread.h"
#include "platform/sound_file.h"
#include "protocols/camera_queries.h"
#include "protocols/http_workers.h"
#include "recording/channel_recorder.h"
#include "recording/recording_threads.h"
#include "recording/schedule_thread.h"
#include "recording/snapshot.h"

namespace ipcam {
namespace {

void wireConnectionServices(ConnectionServices& services) {
  services = unavailableConnectionServices();
  services.queryFirmware = queryFirmware;
  services.queryFirmwareXml = queryFirmwareXml;
  services.queryUserCounts = queryUserCounts;
  services.queryPrivateVideoPort = [](int channel) {
    std::uint32_t port = 0;
    const int result = queryPrivateVideoPort(channel, port);
    if (result != kQueryOk) return result;
    return port > static_cast<std::uint32_t>(INT_MAX) ? kQueryFieldsMissing
                                                      : static_cast<int>(port);
  };
  services.startStream = startStreamWorkers;
  services.mpeg4Login = avsConnectAndLogin;
  services.mpeg4OpenData = avsOpenData;
  services.startMpeg4DataThread = startAvsDataThread;
}

ChannelRecorder* recorderOf(FrameSink& sink) {
  return dynamic_cast<ChannelRecorder*>(&sink);
}

void wireMotionRecorder(ChannelHooks& hooks) {
  hooks.startMotionRecording = [](FrameSink& sink) {
    ChannelRecorder* recorder = recorderOf(sink);
    return recorder != nullptr && recorder->startRecording() == ChannelRecorder::kStarted;
  };
  hooks.stopMotionRecording = [](FrameSink& sink) {
    if (ChannelRecorder* recorder = recorderOf(sink)) recorder->stopRecording();
  };
  hooks.motionRecordingFile = [](const FrameSink& sink) {
    const auto* recorder = dynamic_cast<const ChannelRecorder*>(&sink);
    return recorder != nullptr ? recorder->currentFile() : std::string();
  };
  hooks.playAlarm = platform::playAlarm;
}

void wireChannelHooks(ChannelHooks& hooks) {
  hooks.startDecodeThread = startStreamDecodeThread;
  hooks.stopDecodeThread = stopStreamDecodeThread;
  hooks.decodeThreadRunning = streamDecodeThreadRunning;
  hooks.startAudioPlayback = startAudioPlayback;
  hooks.stopAudioPlayback = stopAudioPlayback;
  hooks.startRingAudioPlayback = startRingAudioPlayback;
  hooks.stopRingAudioPlayback = stopRingAudioPlayback;
  hooks.startScheduleThread = startScheduleThread;
  hooks.startManualRecordThread = startManualRecordThread;
  hooks.startMotionThread = startMotionThread;
  wireMotionRecorder(hooks);
  hooks.saveJpegSnapshot = saveJpegSnapshot;
  hooks.savePictureSnapshot = savePictureSnapshot;
}

}  // namespace

void wireProgram() {
  wireConnectionServices(connectionServices());
  wireChannelHooks(channelHooks());
}

}  // namespace ipcam
