// Camera-like test pictures and CPU clocks shared by the benchmarks.
#pragma once

#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ipcam::bench {

using Frame = std::vector<std::uint8_t>;

inline std::uint8_t clampByte(int value) {
  return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// A cheap hash for the fine texture; camera pictures are never flat, and flat areas would
// make the entropy decoding unrealistically cheap.
inline std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Picture `index` of `count` of a moving pattern, packed RGB: a luma ramp that scrolls,
// colour bands that drift, a bright box crossing the picture once per cycle, and sensor
// noise everywhere.
inline std::vector<std::uint8_t> drawPattern(int width, int height, int index, int count) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
  const int shift = index * 7 * width / 640;
  const int box = std::max(8, height / 5);
  const int boxX = (index * (width - box)) / std::max(1, count);
  const int boxY = height / 2 - box / 2 + static_cast<int>(height / 8 * std::sin(index * 0.25));
  const int band = std::max(8, width / 16);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* pixel = rgb.data() + static_cast<std::size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x, pixel += 3) {
      int luma = 40 + ((x + y + shift) % 256) * 160 / 256;
      const bool inBox = x >= boxX && x < boxX + box && y >= boxY && y < boxY + box;
      if (inBox) luma = 235;
      const int hue = ((x + shift / 2) / band) % 8;
      const auto noise = static_cast<int>(
          mix(static_cast<std::uint32_t>(y * width + x) ^ static_cast<std::uint32_t>(index)) % 13U);
      const int n = noise - 6;
      pixel[0] = clampByte(luma + (inBox ? 0 : (hue - 4) * 12) + n);
      pixel[1] = clampByte(luma + (inBox ? 0 : (3 - hue) * 8) + n);
      pixel[2] = clampByte(luma + (inBox ? 0 : ((hue * 3) % 8 - 4) * 14) + n);
    }
  }
  return rgb;
}

// `count` pictures of the pattern as JPEGs of the given TurboJPEG sampling (TJSAMP_420,
// TJSAMP_422, ...) at a camera's usual quality.
inline std::vector<Frame> encodePictures(int width, int height, int count, int sampling,
                                         int quality = 80) {
  std::vector<Frame> frames;
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  if (!handle) return frames;
  for (int index = 0; index < count; ++index) {
    const std::vector<std::uint8_t> rgb = drawPattern(width, height, index, count);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle.get(), rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, sampling,
                    quality, 0) != 0) {
      tjFree(jpeg);
      return {};
    }
    frames.emplace_back(jpeg, jpeg + size);
    tjFree(jpeg);
  }
  return frames;
}

inline double cpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
inline double threadCpuSeconds() {
  return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}
inline double processCpuSeconds() {
  return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

}  // namespace ipcam::bench
