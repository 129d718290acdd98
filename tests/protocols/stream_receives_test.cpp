// How many receive calls a picture costs on each live road, against the simulated camera on
// 127.0.0.1 with pictures of 640x480 at 25 per second, read as the workers read them (with a
// run flag, so every wait for the camera is a receive that finds nothing, then a poll).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "protocols/http_camera_client.h"
#include "protocols/rtsp_client.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

constexpr int kPictures = 40;
// Receives that found nothing count too. A byte-wise part header took some 70 per picture,
// two receives per RTP packet some 26 for a JPEG picture; a buffered reader needs about two
// per burst the camera sends. The bound leaves room for a busy machine, where a picture may
// arrive in more pieces than the camera sent it in.
constexpr double kCallsPerPictureLimit = 8.0;

camsim::Options cameraOptions() {
  camsim::Options options;
  options.pictureWidth = 640;
  options.pictureHeight = 480;
  options.rtspWidth = 640;
  options.rtspHeight = 480;
  options.framesPerSecond = 25;
  return options;
}

double perPicture(const char* road, std::size_t calls) {
  const double average = static_cast<double>(calls) / kPictures;
  std::printf("%s: %zu receive calls for %d pictures, %.2f per picture\n", road, calls, kPictures,
              average);
  return average;
}

TEST(StreamReceivesTest, HttpPictureStream) {
  camsim::Server camera(cameraOptions());
  ASSERT_TRUE(camera.start());
  CameraHttpClient client;
  HttpRunFlag running{1};
  client.setRunFlag(&running);
  CameraHttpRequest request;
  std::vector<std::uint8_t> buffer(1'000'000);
  request.host = "127.0.0.1";
  request.port = camera.port();
  request.receiveBuffer = buffer;
  request.command = CameraHttpRequest::kOpen;
  ASSERT_EQ(RunHttpRequest(&request, client), 0);
  const std::size_t before = client.readers[CameraHttpRequest::kVideo].receiveCalls();
  request.command = CameraHttpRequest::kTransfer;
  for (int i = 0; i < kPictures; ++i) ASSERT_EQ(RunHttpRequest(&request, client), 0);
  EXPECT_LE(perPicture("HTTP", client.readers[CameraHttpRequest::kVideo].receiveCalls() - before),
            kCallsPerPictureLimit);
  RunHttpRequest(nullptr, client);
}

// RTP packets of a picture and the sound between them, as the RTSP worker reads them.
void streamRtsp(std::uint8_t kind, const char* road) {
  const camsim::Options options = cameraOptions();
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start());
  RtspClient client;
  HttpRunFlag running{1};
  client.setRunFlag(&running);
  RtspRequest request;
  std::vector<std::uint8_t> video(1'000'000);
  std::vector<std::uint8_t> audio(1000);
  request.host = "127.0.0.1";
  request.rtspPort = camera.rtspPort();
  request.streamPath = kind == RtspRequest::kH264 ? options.rtspH264Path : options.rtspMjpegPath;
  request.user = options.user;
  request.password = options.password;
  request.streamKind = kind;
  request.videoBuffer = video;
  request.audioBuffer = audio;
  request.command = RtspRequest::kOpen;
  ASSERT_EQ(RunRtspRequest(&request, client), 0);
  const std::size_t before = client.readers[kind].receiveCalls();
  request.command = RtspRequest::kRead;
  for (int pictures = 0; pictures < kPictures;) {
    const int result = RunRtspRequest(&request, client);
    // The stream may begin inside a JPEG picture, which is dropped.
    ASSERT_TRUE(result == 0 || result == -2041) << result;
    if (result == 0 && request.mediaKind == RtspRequest::kVideo && request.frameContinues == 0)
      ++pictures;
  }
  EXPECT_LE(perPicture(road, client.readers[kind].receiveCalls() - before), kCallsPerPictureLimit);
  RunRtspRequest(nullptr, client);
}

TEST(StreamReceivesTest, RtspJpeg) {
  streamRtsp(RtspRequest::kJpeg, "RTSP JPEG");
}

TEST(StreamReceivesTest, RtspH264) {
  streamRtsp(RtspRequest::kH264, "RTSP H.264");
}

}  // namespace
}  // namespace ipcam
