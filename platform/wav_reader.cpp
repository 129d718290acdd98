#include "platform/wav_reader.h"

#include <fstream>
#include <iterator>
#include <string_view>

namespace ipcam::platform {
namespace {

constexpr std::size_t kRiffHeaderBytes = 12;
constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::size_t kFmtMinimumBytes = 16;
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// Sound files the program plays are short; a larger file is not one of them.
constexpr std::size_t kLargestFileBytes = 64 * 1024 * 1024;

std::uint16_t get16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}
std::uint32_t get32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(get16(bytes, at)) |
         (static_cast<std::uint32_t>(get16(bytes, at + 2)) << 16);
}
bool tagIs(std::span<const std::uint8_t> bytes, std::size_t at, std::string_view tag) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data() + at), 4) == tag;
}

struct Format {
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t bits = 0;
};

std::optional<Format> readFormat(std::span<const std::uint8_t> chunk) {
  if (chunk.size() < kFmtMinimumBytes) return std::nullopt;
  const std::uint16_t tag = get16(chunk, 0);
  Format format{get16(chunk, 2), get32(chunk, 4), get16(chunk, 14)};
  if (tag != kFormatPcm && tag != kFormatExtensible) return std::nullopt;
  if (format.channels < 1 || format.channels > 2 || format.rate == 0) return std::nullopt;
  if (format.bits != 8 && format.bits != 16) return std::nullopt;
  return format;
}

std::int16_t sampleAt(std::span<const std::uint8_t> data, std::size_t at, std::uint16_t bits) {
  if (bits == 8) return static_cast<std::int16_t>((data[at] - 128) * 256);
  return static_cast<std::int16_t>(get16(data, at));
}

}  // namespace

std::optional<WavSound> parseWav(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kRiffHeaderBytes || !tagIs(bytes, 0, "RIFF") || !tagIs(bytes, 8, "WAVE")) {
    return std::nullopt;
  }
  std::optional<Format> format;
  std::span<const std::uint8_t> data;
  bool dataFound = false;
  std::size_t at = kRiffHeaderBytes;
  while (bytes.size() - at >= kChunkHeaderBytes) {
    const std::uint32_t declared = get32(bytes, at + 4);
    const std::size_t body = at + kChunkHeaderBytes;
    // A data chunk cut short (a file still being written) plays what is there.
    const std::size_t length = std::min<std::size_t>(declared, bytes.size() - body);
    const std::span<const std::uint8_t> chunk = bytes.subspan(body, length);
    if (tagIs(bytes, at, "fmt ")) {
      format = readFormat(chunk);
      if (!format) return std::nullopt;
    } else if (tagIs(bytes, at, "data")) {
      data = chunk;
      dataFound = true;
      break;
    }
    if (length < declared) break;
    at = body + length + (length & 1U);
    if (at > bytes.size()) break;
  }
  if (!format || !dataFound) return std::nullopt;

  const std::size_t sampleBytes = format->bits / 8U;
  const std::size_t frameBytes = sampleBytes * format->channels;
  WavSound sound;
  sound.sampleRate = format->rate;
  sound.samples.reserve(data.size() / frameBytes);
  for (std::size_t frame = 0; frame + frameBytes <= data.size(); frame += frameBytes) {
    int sum = 0;
    for (std::size_t channel = 0; channel < format->channels; ++channel) {
      sum += sampleAt(data, frame + channel * sampleBytes, format->bits);
    }
    sound.samples.push_back(static_cast<std::int16_t>(sum / format->channels));
  }
  return sound;
}

std::optional<WavSound> readWavFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error || size > kLargestFileBytes) return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (static_cast<std::size_t>(in.gcount()) != bytes.size()) return std::nullopt;
  return parseWav(bytes);
}

}  // namespace ipcam::platform
