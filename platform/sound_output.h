#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace ipcam::platform {

// Sound output: mono 16-bit PCM at one sample rate. Nothing here ever waits for the device:
// a write takes what fits now and says how much that was, so a device that stalls costs
// sound, never the caller's time. "No device" is a normal answer, not an error.
class SoundOutput {
 public:
  virtual ~SoundOutput() = default;

  // Opens the device for mono 16-bit samples at `sampleRate`; false when there is none.
  virtual bool open(unsigned sampleRate) = 0;
  // Queues what fits without waiting: the number of samples taken (0 when the device is full),
  // or -1 when the device is gone (closed, unplugged); close and open again then.
  virtual long write(std::span<const std::int16_t> samples) = 0;
  // Samples written but not yet played.
  virtual long queued() = 0;
  // Drops everything still queued, at once; the device stays open.
  virtual void reset() = 0;
  // Safe to call twice.
  virtual void close() = 0;
};

// The sound device as the desktop offers it (ALSA's "default", which on desktops goes through
// PipeWire or PulseAudio).
std::unique_ptr<SoundOutput> makeDefaultSoundOutput();

// Where new outputs come from. Tests put a fake in; null restores the default device.
using SoundOutputFactory = std::function<std::unique_ptr<SoundOutput>()>;
void setSoundOutputFactory(SoundOutputFactory factory);
std::unique_ptr<SoundOutput> makeSoundOutput();

// Whether the default device can be opened for playback at all.
bool defaultSoundDevicePresent();

}  // namespace ipcam::platform
