#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace ipcam::platform {

// A sound file's samples as the sound output takes them: mono 16-bit at the file's rate.
struct WavSound {
  unsigned sampleRate = 0;
  std::vector<std::int16_t> samples;
};

// Reads a RIFF WAVE file of uncompressed PCM (8 or 16 bits, mono or stereo; stereo is mixed
// down). nullopt for anything else or a damaged file: every length is checked against the
// bytes that are really there.
std::optional<WavSound> parseWav(std::span<const std::uint8_t> bytes);
std::optional<WavSound> readWavFile(const std::filesystem::path& file);

}  // namespace ipcam::platform
