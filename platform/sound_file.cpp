#include "platform/sound_file.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/resources.h"
#include "platform/trace.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAlarmFile = "Sound/ding.wav";
// Samples handed over per write; the device takes what fits.
constexpr std::size_t kWriteSamples = 1024;
constexpr auto kDevicePoll = 10ms;
constexpr auto kStalledDeviceLimit = 2s;

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
    std::this_thread::sleep_for(kDevicePoll);
  }
  // Let the tail play out before the device is closed (closing drops what is queued).
  const auto drainLimit = std::chrono::steady_clock::now() + kStalledDeviceLimit +
                          std::chrono::milliseconds(1000 * output.queued() / sound.sampleRate);
  while (output.queued() > 0 && std::chrono::steady_clock::now() < drainLimit) {
    std::this_thread::sleep_for(kDevicePoll);
  }
  output.close();
  return true;
}

void playSoundFileAsync(const std::filesystem::path& file) {
  // The thread owns all it uses, so nobody has to wait for it, not even the exit.
  std::thread([file] {
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
