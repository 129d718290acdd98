#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace ipcam::platform {

// An RGB32 picture as the program draws them: one 32-bit 0xffRRGGBB word per pixel, lines
// width * 4 bytes apart with nothing between them.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  RgbImage() = default;
  // A black picture of the given size.
  RgbImage(int w, int h);
  int stride() const { return width * 4; }
};

// The quality an image saved without encoder parameters gets.
inline constexpr int kDefaultJpegQuality = 75;

// JPEG load and save on libjpeg-turbo. nullopt when the data is not a JPEG it can read, or
// for a picture with no pixels.
std::optional<RgbImage> decodeJpeg(std::span<const std::uint8_t> jpeg);
std::optional<RgbImage> loadJpegFile(const std::filesystem::path& file);
std::optional<std::vector<std::uint8_t>> encodeJpeg(const RgbImage& image,
                                                    int quality = kDefaultJpegQuality);

}  // namespace ipcam::platform
