#include "media/audio_player.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>

#include "platform/trace.h"

namespace ipcam {
namespace {

// ALSA complains on standard error about every missing card; its complaints belong in the
// trace like every other diagnostic.
void alsaErrorToTrace(const char* file, int line, const char* function, int err, const char* fmt,
                      ...) {
  if (!platform::traceEnabled()) return;
  char message[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  platform::trace("ALSA %s:%d (%s) %d: %s", file, line, function, err, message);
}

bool probeAlsaPlayback() {
  snd_lib_error_set_handler(alsaErrorToTrace);
  snd_pcm_t* pcm = nullptr;
  const int result = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (result < 0) {
    platform::trace("No sound device: %s", snd_strerror(result));
    return false;
  }
  snd_pcm_close(pcm);
  return true;
}

std::atomic<SoundDeviceProbe> soundDeviceProbe{probeAlsaPlayback};

}  // namespace

void setSoundDeviceProbe(SoundDeviceProbe probe) {
  soundDeviceProbe.store(probe != nullptr ? probe : probeAlsaPlayback);
}

bool startAudioPlayback(ChannelRecord& /*record*/) {
  platform::trace("audio playback is not available yet");
  return false;
}

void stopAudioPlayback(ChannelRecord& /*record*/) {}

bool AudioPlayer::open() {
  open_.store(soundDeviceProbe.load()());
  return open_.load();
}

void AudioPlayer::close() {
  open_.store(false);
}

}  // namespace ipcam
