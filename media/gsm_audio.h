#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

struct gsm_state;

namespace ipcam {

// GSM 06.10 full rate as cameras send it: 33-byte frames of 160 samples (20 ms at 8 kHz),
// 260 bits of parameters behind the 4-bit signature 0xD, packed most significant bit first.
inline constexpr std::size_t kGsmFrameBytes = 33;
inline constexpr std::size_t kGsmFrameSamples = 160;
// The WAVE form (format tag 49) packs two frames into one 65-byte block, each frame's 260
// bits least significant bit first, without the signatures.
inline constexpr std::size_t kGsmWaveBlockBytes = 65;
inline constexpr std::uint8_t kGsmSignature = 0xD;

using GsmFrame = std::span<std::uint8_t, kGsmFrameBytes>;
using GsmWaveBlock = std::array<std::uint8_t, kGsmWaveBlockBytes>;

// Rewrites one standard frame, in place, into the bit order of the WAVE form: its 260
// parameter bits least significant bit first over 32.5 bytes; the upper half of byte 32 is 0.
void repackGsmFrame(GsmFrame frame);

// Joins repacked frames into WAVE blocks: the first frame of a block as it is, the second
// behind it from the upper half of byte 32 on.
class GsmBlockAssembler {
 public:
  // Adds one repacked frame; after every second frame the block is complete and returned.
  std::optional<GsmWaveBlock> add(std::span<const std::uint8_t, kGsmFrameBytes> repacked);
  // Forgets a half-filled block, so that the next frame begins a new one.
  void restart() { fill_ = 0; }
  std::size_t fill() const { return fill_; }

 private:
  GsmWaveBlock block_{};
  std::size_t fill_ = 0;  // 0, 33 or 65 bytes
};

// libgsm's decoder for one stream. A frame without the signature is refused, and its samples
// are the previous frame's again, as the camera's own player does it.
class GsmDecoder {
 public:
  GsmDecoder();
  ~GsmDecoder();
  GsmDecoder(const GsmDecoder&) = delete;
  GsmDecoder& operator=(const GsmDecoder&) = delete;

  bool valid() const { return state_ != nullptr; }
  // Decodes one 33-byte frame; false when libgsm refused it (the samples are then the last
  // good frame's, or silence).
  bool decode(std::span<const std::uint8_t, kGsmFrameBytes> frame);
  std::span<const std::int16_t, kGsmFrameSamples> samples() const { return samples_; }

 private:
  ::gsm_state* state_;  // owned: gsm_create, freed by gsm_destroy
  std::array<std::int16_t, kGsmFrameSamples> samples_{};
};

// ITU-T G.711 A-law byte (even bits inverted, as on the wire) to a 16-bit linear sample.
std::int16_t alawToLinear(std::uint8_t alaw);

}  // namespace ipcam
