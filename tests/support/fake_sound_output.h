#pragma once

// A sound device for tests: counts what it is given, plays as fast as the test says, and can
// be made to refuse every sample or to block inside a write until released.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "platform/sound_output.h"

namespace ipcam::testing {

struct FakeSoundDevice {
  enum class Writes { kTake, kRefuse, kBlock };

  std::mutex mutex;
  std::condition_variable changed;
  // Set by the test (under mutex):
  Writes writes = Writes::kTake;
  bool present = true;
  bool playsAtOnce = true;  // false: everything written stays queued until the test plays it
  // Seen by the test (under mutex):
  int opens = 0;
  int closes = 0;
  int resets = 0;
  int writeCalls = 0;
  bool insideWrite = false;
  unsigned sampleRate = 0;
  std::uint64_t samplesTaken = 0;
  long queued = 0;

  // Lets the writer inside a blocked write out (it then takes nothing).
  void release() {
    std::lock_guard lock(mutex);
    writes = Writes::kTake;
    changed.notify_all();
  }
  void playDownTo(long left) {
    std::lock_guard lock(mutex);
    queued = std::min(queued, left);
  }
  template <class Read>
  auto read(Read reading) {
    std::lock_guard lock(mutex);
    return reading(*this);
  }
};

class FakeSoundOutput final : public platform::SoundOutput {
 public:
  explicit FakeSoundOutput(std::shared_ptr<FakeSoundDevice> device) : device_(std::move(device)) {}

  bool open(unsigned sampleRate) override {
    std::lock_guard lock(device_->mutex);
    if (!device_->present) return false;
    ++device_->opens;
    device_->sampleRate = sampleRate;
    device_->queued = 0;
    return true;
  }
  long write(std::span<const std::int16_t> samples) override {
    std::unique_lock lock(device_->mutex);
    ++device_->writeCalls;
    device_->insideWrite = true;
    device_->changed.notify_all();
    device_->changed.wait(lock, [&] { return device_->writes != FakeSoundDevice::Writes::kBlock; });
    device_->insideWrite = false;
    if (device_->writes == FakeSoundDevice::Writes::kRefuse) return 0;
    device_->samplesTaken += samples.size();
    if (!device_->playsAtOnce) device_->queued += static_cast<long>(samples.size());
    return static_cast<long>(samples.size());
  }
  long queued() override {
    std::lock_guard lock(device_->mutex);
    return device_->queued;
  }
  void reset() override {
    std::lock_guard lock(device_->mutex);
    ++device_->resets;
    device_->queued = 0;
  }
  void close() override {
    std::lock_guard lock(device_->mutex);
    ++device_->closes;
    device_->queued = 0;
  }

 private:
  std::shared_ptr<FakeSoundDevice> device_;
};

// Puts a fake device behind every sound output made until the end of the scope.
class ScopedFakeSound {
 public:
  ScopedFakeSound() : device_(std::make_shared<FakeSoundDevice>()) {
    platform::setSoundOutputFactory(
        [device = device_] { return std::make_unique<FakeSoundOutput>(device); });
  }
  ~ScopedFakeSound() {
    platform::setSoundOutputFactory(nullptr);
    device_->release();
  }
  ScopedFakeSound(const ScopedFakeSound&) = delete;
  ScopedFakeSound& operator=(const ScopedFakeSound&) = delete;

  FakeSoundDevice& device() { return *device_; }

 private:
  std::shared_ptr<FakeSoundDevice> device_;
};

}  // namespace ipcam::testing
