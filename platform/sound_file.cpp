#include "platform/sound_file.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/resources.h"
#include "platform/thread_name.h"
#include "platform/trace.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAlarmFile = "Sound/ding.wav";
// Samples handed over per write; the device takes what fits.
constexpr std::size_t kWriteSamples = 1024;
// The shortest pause while the device is full, for a device that reports nothing queued.
constexpr auto kShortestPause = 10ms;
constexpr auto kStalledDeviceLimit = 2s;

// How long the device needs to play `part` of what it holds: the writer sleeps that long in
// one go instead of asking again every few milliseconds.
std::chrono::milliseconds playTime(SoundOutput& output, unsigned sampleRate, long part) {
  const long queued = output.queued();
  if (queued <= 0 || sampleRate == 0 || part <= 0) return kShortestPause;
  const auto time = std::chrono::milliseconds(1000LL * queued / part / sampleRate);
  return std::max<std::chrono::milliseconds>(time, kShortestPause);
}

}  // namespace

bool playSound(const WavSound& sound, SoundOutput& output) {
  if (!output.open(sound.sampleRate)) return false;
  std::span<const std::int16_t> rest(sound.samples);
  auto lastProgress = std::chrono::steady_clock::now();
  while (!rest.empty()) {
    const long taken = output.write(rest.first(std::min(rest.size(), kWriteSamples)));
    if (taken < 0) {
      output.close();
      return false;
    }
    if (taken > 0) {
      rest = rest.subspan(static_cast<std::size_t>(taken));
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (std::chrono::steady_clock::now() - lastProgress > kStalledDeviceLimit) {
      trace("sound output took nothing for two seconds; the rest of the sound is dropped");
      output.close();
      return false;
    }
    // Half of what is queued makes room for the next write.
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(
        playTime(output, sound.sampleRate, 2), kStalledDeviceLimit));
  }
  // Let the tail play out before the device is closed (closing drops what is queued).
  const auto drainLimit = std::chrono::steady_clock::now() + kStalledDeviceLimit +
                          std::chrono::milliseconds(1000 * output.queued() / sound.sampleRate);
  while (output.queued() > 0 && std::chrono::steady_clock::now() < drainLimit) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(drainLimit - std::chrono::steady_clock::now());
    std::this_thread::sleep_for(std::min(playTime(output, sound.sampleRate, 1), left));
  }
  output.close();
  return true;
}

void playSoundFileAsync(const std::filesystem::path& file) {
  // The thread owns all it uses, so nobody has to wait for it, not even the exit.
  std::thread([file] {
    nameThisThread("sound");
    const std::optional<WavSound> sound = readWavFile(file);
    if (!sound) {
      trace("sound file %s cannot be played", file.string().c_str());
      return;
    }
    const std::unique_ptr<SoundOutput> output = makeSoundOutput();
    playSound(*sound, *output);
  }).detach();
}

void playAlarm() {
  playSoundFileAsync(resourcePath(kAlarmFile));
}

}  // namespace ipcam::platform
