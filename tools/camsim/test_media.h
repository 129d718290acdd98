#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct gsm_state;  // libgsm's encoder state, kept out of this header

namespace ipcam::camsim {

// A cycle of JPEG pictures (4:2:0, the given quality) of a moving test pattern: colour bars over
// a grey ramp, a box that crosses the picture once per cycle and the picture's number in the
// cycle drawn as blocks. Consecutive pictures always differ. Empty when the encoder fails or
// the size is zero.
std::vector<std::string> encodeTestPictures(std::uint32_t width, std::uint32_t height,
                                            std::size_t count, int quality = 80);

// Picture `index` of that cycle as packed RGB, three bytes a pixel, rows top to bottom: the
// source for the codecs that TurboJPEG does not cover.
std::vector<unsigned char> drawTestPicture(std::uint32_t width, std::uint32_t height,
                                           std::size_t index, std::size_t count);

// A GSM 06.10 encoder fed with a sine tone at 8000 samples per second. Each encoder keeps its own
// state, so each stream has one of its own.
class ToneEncoder {
 public:
  static constexpr std::size_t kFrameBytes = 33;
  static constexpr std::size_t kFrameSamples = 160;

  // `hertz` 0 gives silence; `amplitude` is the sine's peak in 16-bit sample steps.
  explicit ToneEncoder(std::uint32_t hertz, int amplitude = 8000);
  ~ToneEncoder();
  ToneEncoder(const ToneEncoder&) = delete;
  ToneEncoder& operator=(const ToneEncoder&) = delete;

  bool valid() const { return state_ != nullptr; }
  // The next 20 ms of the tone as one 33-byte frame (empty if the encoder could not be made).
  std::string nextFrame();

 private:
  ::gsm_state* state_;  // owned: made by gsm_create, freed by gsm_destroy
  double phase_ = 0.0;  // radians, kept below 2 pi
  double step_;         // radians per sample
  int amplitude_;
};

}  // namespace ipcam::camsim
