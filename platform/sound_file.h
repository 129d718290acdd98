#pragma once

#include <filesystem>

#include "platform/sound_output.h"
#include "platform/wav_reader.h"

namespace ipcam::platform {

// Plays the whole sound through `output` and returns once it has been heard (or the device
// failed). Never waits on the device longer than the sound lasts plus a little: a device
// that takes nothing for two seconds is given up on.
bool playSound(const WavSound& sound, SoundOutput& output);

// Plays a WAV file once on a thread of its own, through a new sound output; returns at once.
// A missing or unreadable file, or no sound device, is silence and a trace line.
void playSoundFileAsync(const std::filesystem::path& file);

// The motion alarm: Sound/ding.wav from the resource folder, once, asynchronously.
void playAlarm();

}  // namespace ipcam::platform
