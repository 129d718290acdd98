#include "platform/sound_output.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/trace.h"

namespace ipcam::platform {
namespace {

// How much the device may hold: more than the players ever queue (about 420 ms), so that
// a write is refused only when something is wrong.
constexpr unsigned kLatencyMicroseconds = 500'000;
constexpr const char* kDeviceName = "default";

// ALSA complains on standard error about every missing card; its complaints belong in the
// trace like every other diagnostic.
void alsaErrorToTrace(const char* file, int line, const char* function, int err, const char* fmt,
                      ...) {
  if (!traceEnabled()) return;
  char message[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  trace("ALSA %s:%d (%s) %d: %s", file, line, function, err, message);
}

void routeAlsaErrors() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(alsaErrorToTrace); });
}

bool isDeviceGone(long error) {
  return error == -ENODEV || error == -EBADFD || error == -ENOTTY || error == -EIO;
}

class AlsaSoundOutput final : public SoundOutput {
 public:
  ~AlsaSoundOutput() override { close(); }

  bool open(unsigned sampleRate) override {
    close();
    routeAlsaErrors();
    int result = snd_pcm_open(&pcm_, kDeviceName, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0) {
      pcm_ = nullptr;
      trace("sound output: cannot open \"%s\": %s", kDeviceName, snd_strerror(result));
      return false;
    }
    result = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                sampleRate, 1, kLatencyMicroseconds);
    if (result < 0) {
      trace("sound output: %u Hz mono refused: %s", sampleRate, snd_strerror(result));
      close();
      return false;
    }
    return true;
  }

  long write(std::span<const std::int16_t> samples) override {
    if (pcm_ == nullptr) return -1;
    if (samples.empty()) return 0;
    snd_pcm_sframes_t written = snd_pcm_writei(pcm_, samples.data(), samples.size());
    if (written == -EPIPE || written == -ESTRPIPE || written == -EINTR) {
      // An underrun or a suspend: recover once and try again; still failing costs this block.
      if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) return -1;
      written = snd_pcm_writei(pcm_, samples.data(), samples.size());
    }
    if (written == -EAGAIN) return 0;
    if (written < 0) {
      if (isDeviceGone(written)) return -1;
      return snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0 ? -1 : 0;
    }
    return static_cast<long>(written);
  }

  long queued() override {
    if (pcm_ == nullptr) return 0;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) return 0;
    return static_cast<long>(delay);
  }

  void reset() override {
    if (pcm_ == nullptr) return;
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  void close() override {
    if (pcm_ == nullptr) return;
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

 private:
  snd_pcm_t* pcm_ = nullptr;  // owned; used by one thread only
};

std::mutex factoryMutex;
SoundOutputFactory factory;  // guarded by factoryMutex; empty: the default device

}  // namespace

std::unique_ptr<SoundOutput> makeDefaultSoundOutput() {
  return std::make_unique<AlsaSoundOutput>();
}

void setSoundOutputFactory(SoundOutputFactory replacement) {
  std::lock_guard lock(factoryMutex);
  factory = std::move(replacement);
}

std::unique_ptr<SoundOutput> makeSoundOutput() {
  SoundOutputFactory make;
  {
    std::lock_guard lock(factoryMutex);
    make = factory;
  }
  return make ? make() : makeDefaultSoundOutput();
}

bool defaultSoundDevicePresent() {
  routeAlsaErrors();
  snd_pcm_t* pcm = nullptr;
  const int result = snd_pcm_open(&pcm, kDeviceName, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (result < 0) {
    trace("No sound device: %s", snd_strerror(result));
    return false;
  }
  snd_pcm_close(pcm);
  return true;
}

}  // namespace ipcam::platform
