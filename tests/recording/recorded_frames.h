#pragma once

// Compressed frames as the channel's threads hand them to a recorder, made by libavcodec's
// encoders: Motion JPEG pictures, MPEG-4 frames with their headers in band in front of the key
// frame, and H.264 access units with the parameter sets taken out (they come from the
// session description) and a four-byte start code in front of each NAL unit.

#include <cstdint>
#include <string>
#include <vector>

#include "media/test_pictures.h"

namespace ipcam::testing {

struct EncodedFrame {
  std::vector<std::uint8_t> bytes;
  bool key = false;
};

struct EncodedStream {
  std::string parameterSets;  // H.264 only: SPS and PPS, each behind 00 00 00 01
  std::vector<EncodedFrame> frames;
};

inline test_pictures::Quarters pictureNumber(int i) {
  const int shade = (i * 37) % 200 + 20;
  return {{shade, 30, 200}, {200, shade, 30}, {30, 200, shade}, {shade, shade, shade}};
}

inline EncodedStream jpegStream(int width, int height, int count) {
  EncodedStream stream;
  for (int i = 0; i < count; ++i) {
    stream.frames.push_back({test_pictures::encodePicture("mjpeg", AV_PIX_FMT_YUVJ420P, true, width,
                                                          height, pictureNumber(i)),
                             true});
  }
  return stream;
}

inline EncodedStream mpeg4Stream(int width, int height, int count, int gop) {
  EncodedStream stream;
  int i = 0;
  for (auto& bytes :
       test_pictures::encodeSequence("mpeg4", width, height, count, gop, pictureNumber)) {
    // The first frame carries the sequence and object layer headers in front of its VOP.
    const bool key = i++ == 0;
    stream.frames.push_back({std::move(bytes), key});
  }
  return stream;
}

// Splits libx264's access units into NAL units: parameter sets go to the stream's string
// (first copy only), SEI is dropped, slices stay in their frame.
inline EncodedStream h264Stream(int width, int height, int count, int gop) {
  EncodedStream stream;
  const auto units =
      test_pictures::encodeSequence("libx264", width, height, count, gop, pictureNumber,
                                    {{"tune", "zerolatency"}, {"x264-params", "scenecut=0"}});
  const std::vector<std::uint8_t> startCode = {0, 0, 0, 1};
  for (const auto& unit : units) {
    EncodedFrame frame;
    std::size_t at = 0;
    const auto nextStart = [&](std::size_t from) {
      for (std::size_t i = from; i + 3 <= unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) return i;
      }
      return unit.size();
    };
    at = nextStart(0);
    while (at < unit.size()) {
      const std::size_t begin = at + 3;
      std::size_t end = nextStart(begin);
      const std::size_t next = end;
      while (end > begin && unit[end - 1] == 0) --end;  // the next four-byte code's zero
      const int type = unit[begin] & 0x1F;
      std::vector<std::uint8_t> nal(startCode);
      nal.insert(nal.end(), unit.begin() + static_cast<std::ptrdiff_t>(begin),
                 unit.begin() + static_cast<std::ptrdiff_t>(end));
      if (type == 7 || type == 8) {
        if (stream.frames.empty()) stream.parameterSets.append(nal.begin(), nal.end());
      } else if (type == 1 || type == 5) {
        if (type == 5) frame.key = true;
        frame.bytes.insert(frame.bytes.end(), nal.begin(), nal.end());
      }
      at = next;
    }
    if (!frame.bytes.empty()) stream.frames.push_back(std::move(frame));
  }
  return stream;
}

}  // namespace ipcam::testing
