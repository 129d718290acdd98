// The WAV reader and the alarm sound, played to a fake device.
#include "platform/sound_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wav_reader.h"
#include "support/fake_sound_output.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam::platform {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> wavBytes(std::uint16_t format, std::uint16_t channels, std::uint32_t rate,
                                   std::uint16_t bits, std::vector<std::uint8_t> data,
                                   std::uint32_t declaredData = 0xFFFFFFFF) {
  std::vector<std::uint8_t> out;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  auto tag = [&](std::string_view text) {
    for (const char c : text) out.push_back(static_cast<std::uint8_t>(c));
  };
  tag("RIFF");
  put(static_cast<std::uint32_t>(36 + data.size()), 4);
  tag("WAVE");
  tag("LIST");  // a chunk the reader must step over
  put(3, 4);
  out.insert(out.end(), {1, 2, 3, 0});
  tag("fmt ");
  put(16, 4);
  put(format, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * bits / 8, 4);
  put(channels * bits / 8, 2);
  put(bits, 2);
  tag("data");
  put(declaredData == 0xFFFFFFFF ? static_cast<std::uint32_t>(data.size()) : declaredData, 4);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

TEST(WavReader, ReadsPcmAndRefusesTheRest) {
  // 16-bit stereo is mixed down; 8-bit is centred on 128.
  auto stereo =
      parseWav(wavBytes(1, 2, 22050, 16, {0x10, 0x00, 0x30, 0x00, 0xFF, 0xFF, 0xFD, 0xFF}));
  ASSERT_TRUE(stereo);
  EXPECT_EQ(stereo->sampleRate, 22050u);
  EXPECT_EQ(stereo->samples, (std::vector<std::int16_t>{0x20, -2}));
  auto eight = parseWav(wavBytes(1, 1, 8000, 8, {128, 255, 0}));
  ASSERT_TRUE(eight);
  EXPECT_EQ(eight->samples, (std::vector<std::int16_t>{0, 127 * 256, -128 * 256}));
  // A data chunk that claims more than the file holds plays what is there.
  auto cut = parseWav(wavBytes(1, 1, 8000, 16, {1, 0, 2, 0}, 1000));
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->samples.size(), 2u);

  EXPECT_FALSE(parseWav(wavBytes(49, 1, 8000, 0, {1, 2, 3})));  // GSM, not PCM
  EXPECT_FALSE(parseWav(wavBytes(1, 1, 8000, 24, {1, 2, 3})));  // 24 bits
  EXPECT_FALSE(parseWav(wavBytes(1, 6, 8000, 16, {1, 2, 3})));  // six channels
  auto header = wavBytes(1, 1, 8000, 16, {});
  EXPECT_FALSE(parseWav(std::span(header).first(20)));  // cut inside the chunks, no data
  header[8] = 'X';
  EXPECT_FALSE(parseWav(header));
}

TEST(Alarm, PlaysTheWholeDingOnceOnItsOwnThread) {
  const auto ding = readWavFile(IPCAM_RESOURCE_DIR "/Sound/ding.wav");
  ASSERT_TRUE(ding);
  EXPECT_GT(ding->samples.size(), 1000u);
  test_support::ScopedEnv resources("IPCAM_RESOURCES", IPCAM_RESOURCE_DIR);
  ipcam::testing::ScopedFakeSound sound;
  sound.device().playsAtOnce = false;
  playAlarm();
  // The device drains while the test watches: the alarm waits for the tail before closing.
  ASSERT_TRUE(ipcam::testing::waitFor(
      [&] {
        sound.device().playDownTo(0);
        return sound.device().read([](auto& d) { return d.closes; }) == 1;
      },
      20s));
  sound.device().read([&](auto& d) {
    EXPECT_EQ(d.opens, 1);
    EXPECT_EQ(d.sampleRate, ding->sampleRate);
    EXPECT_EQ(d.samplesTaken, ding->samples.size());
  });
}

TEST(Alarm, DeviceThatTakesNothingIsGivenUp) {
  ipcam::testing::FakeSoundDevice device;
  device.writes = ipcam::testing::FakeSoundDevice::Writes::kRefuse;
  auto shared = std::shared_ptr<ipcam::testing::FakeSoundDevice>(&device, [](auto*) {});
  ipcam::testing::FakeSoundOutput output(shared);
  WavSound sound{8000, std::vector<std::int16_t>(8000)};
  EXPECT_FALSE(playSound(sound, output));
  EXPECT_EQ(device.closes, 1);
}

}  // namespace
}  // namespace ipcam::platform
