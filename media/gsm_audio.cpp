#include "media/gsm_audio.h"

#include <gsm.h>

#include <algorithm>

namespace ipcam {
namespace {

// The parameters of one frame in order and their widths in bits: the eight log-area ratios,
// then for each of the four subframes the LTP lag and gain, the RPE grid position, the block
// amplitude and thirteen pulses.
constexpr std::array<std::uint8_t, 8> kLarBits = {6, 6, 5, 5, 4, 4, 3, 3};
constexpr std::size_t kSubframes = 4;
constexpr std::array<std::uint8_t, 4> kSubframeHeadBits = {7, 2, 2, 6};
constexpr std::size_t kPulses = 13;
constexpr std::uint8_t kPulseBits = 3;
constexpr std::size_t kParameterCount = kLarBits.size() + kSubframes * (4 + kPulses);
constexpr std::size_t kSignatureBits = 4;

constexpr std::array<std::uint8_t, kParameterCount> parameterWidths() {
  std::array<std::uint8_t, kParameterCount> widths{};
  std::size_t at = 0;
  for (const std::uint8_t bits : kLarBits) widths[at++] = bits;
  for (std::size_t subframe = 0; subframe < kSubframes; ++subframe) {
    for (const std::uint8_t bits : kSubframeHeadBits) widths[at++] = bits;
    for (std::size_t pulse = 0; pulse < kPulses; ++pulse) widths[at++] = kPulseBits;
  }
  return widths;
}
constexpr std::array<std::uint8_t, kParameterCount> kWidths = parameterWidths();

static_assert(
    [] {
      std::size_t bits = kSignatureBits;
      for (const std::uint8_t width : kWidths) bits += width;
      return bits == kGsmFrameBytes * 8;
    }(),
    "a standard frame is the signature and 260 parameter bits");

constexpr std::array<std::int16_t, 256> makeAlawTable() {
  std::array<std::int16_t, 256> table{};
  for (int code = 0; code < 256; ++code) {
    const int a = code ^ 0x55;
    int magnitude = (a & 0x0F) << 4;
    const int segment = (a & 0x70) >> 4;
    if (segment == 0) {
      magnitude += 8;
    } else {
      magnitude = (magnitude + 0x108) << (segment - 1);
    }
    table[static_cast<std::size_t>(code)] =
        static_cast<std::int16_t>((a & 0x80) != 0 ? magnitude : -magnitude);
  }
  return table;
}
constexpr std::array<std::int16_t, 256> kAlawTable = makeAlawTable();

}  // namespace

void repackGsmFrame(GsmFrame frame) {
  std::array<std::uint8_t, kParameterCount> values{};
  std::size_t readBit = kSignatureBits;
  for (std::size_t index = 0; index < kParameterCount; ++index) {
    std::uint8_t value = 0;
    for (std::uint8_t bit = 0; bit < kWidths[index]; ++bit, ++readBit) {
      value =
          static_cast<std::uint8_t>((value << 1) | ((frame[readBit / 8] >> (7 - readBit % 8)) & 1));
    }
    values[index] = value;
  }
  std::fill(frame.begin(), frame.end(), std::uint8_t{0});
  std::size_t writeBit = 0;
  for (std::size_t index = 0; index < kParameterCount; ++index) {
    for (std::uint8_t bit = 0; bit < kWidths[index]; ++bit, ++writeBit) {
      frame[writeBit / 8] |=
          static_cast<std::uint8_t>(((values[index] >> bit) & 1) << (writeBit % 8));
    }
  }
}

std::optional<GsmWaveBlock> GsmBlockAssembler::add(
    std::span<const std::uint8_t, kGsmFrameBytes> repacked) {
  if (fill_ != kGsmFrameBytes) {
    std::copy(repacked.begin(), repacked.end(), block_.begin());
    fill_ = kGsmFrameBytes;
    return std::nullopt;
  }
  // The second frame starts at bit 260: half-way through byte 32.
  constexpr std::size_t kJoin = kGsmFrameBytes - 1;
  block_[kJoin] = static_cast<std::uint8_t>((block_[kJoin] & 0x0F) | (repacked[0] << 4));
  for (std::size_t i = 0; i < kJoin; ++i) {
    block_[kGsmFrameBytes + i] =
        static_cast<std::uint8_t>((repacked[i] >> 4) | (repacked[i + 1] << 4));
  }
  fill_ = 0;
  return block_;
}

GsmDecoder::GsmDecoder() : state_(gsm_create()) {}

GsmDecoder::~GsmDecoder() {
  if (state_ != nullptr) gsm_destroy(state_);
}

bool GsmDecoder::decode(std::span<const std::uint8_t, kGsmFrameBytes> frame) {
  if (state_ == nullptr) return false;
  std::array<gsm_byte, kGsmFrameBytes> input{};
  std::copy(frame.begin(), frame.end(), input.begin());
  std::array<gsm_signal, kGsmFrameSamples> output{};
  if (gsm_decode(state_, input.data(), output.data()) != 0) return false;
  std::copy(output.begin(), output.end(), samples_.begin());
  return true;
}

std::int16_t alawToLinear(std::uint8_t alaw) {
  return kAlawTable[alaw];
}

}  // namespace ipcam
