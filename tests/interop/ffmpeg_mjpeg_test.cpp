// Our HTTP camera client reading FFmpeg's multipart JPEG (mpjpeg) output, which none of us
// wrote: FFmpeg names its part headers "Content-type" and "Content-length", spellings our own
// camsim never uses.
//
// Here FFmpeg writes its mpjpeg stream to a TCP socket that the test accepts, and the test
// serves that stream, byte for byte, behind a plain "HTTP/1.1 200 OK" answer as a camera
// would. FFmpeg's own HTTP server (-listen 1), which answers chunked, is in http_peers_test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interop/jpeg_decoder.h"
#include "interop/peer_process.h"
#include "protocols/http_camera_client.h"
#include "protocols/scripted_http_server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedServer;

constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr std::string_view kCameraAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=ffmpeg\r\n\r\n";

// What FFmpeg sent first, kept for the test to look at.
struct Relayed {
  std::mutex mutex;
  std::string start;  // guarded by mutex
};

// The camera: takes FFmpeg's connection on `feed`, answers the client's request and passes
// FFmpeg's bytes on until either side goes or the server stops.
ScriptedServer::Script relayFrom(int feed, std::shared_ptr<Relayed> relayed) {
  return [feed, relayed](ScriptedServer::Connection& connection) {
    if (!connection.readRequest()) return;
    pollfd waiting{feed, POLLIN, 0};
    if (::poll(&waiting, 1, 15000) != 1) return;
    const TcpSocket ffmpeg(::accept(feed, nullptr, nullptr));
    if (!ffmpeg.valid() || !connection.send(kCameraAnswer)) return;
    std::array<char, 16384> chunk{};
    while (!connection.stopping()) {
      pollfd entry{ffmpeg.get(), POLLIN, 0};
      if (::poll(&entry, 1, 50) != 1) continue;
      const ssize_t got = ::recv(ffmpeg.get(), chunk.data(), chunk.size(), 0);
      if (got <= 0) return;
      {
        std::lock_guard lock(relayed->mutex);
        if (relayed->start.size() < 256)
          relayed->start.append(chunk.data(), std::min<ssize_t>(got, 256));
      }
      if (!connection.send(std::string_view(chunk.data(), static_cast<std::size_t>(got)))) return;
    }
  };
}

class FfmpegMjpegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kFfmpeg, X_OK), 0)
        << kFfmpeg << " is missing (the package ffmpeg of scripts/lib.sh)";
    std::uint16_t port = 0;
    feed_.reset(testing::listenOnLoopback(1, port));
    ASSERT_TRUE(feed_.valid());
    // A generated picture source, paced at its frame rate, ending by itself after a minute.
    const std::string target = "tcp://127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(ffmpeg_.start(
        kFfmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
                  "testsrc=size=320x240:rate=10", "-t", "60", "-f", "mpjpeg", target}));
  }
  void TearDown() override { ffmpeg_.stop(0ms); }

  TcpSocket feed_;
  testing::PeerProcess ffmpeg_;
};

TEST_F(FfmpegMjpegTest, PicturesAreReadAndDecode) {
  auto relayed = std::make_shared<Relayed>();
  ScriptedServer camera({relayFrom(feed_.get(), relayed)});
  std::vector<std::uint8_t> buffer(1'000'000);
  CameraHttpClient client;
  CameraHttpRequest request;
  request.host = "127.0.0.1";
  request.port = camera.port();
  // FFmpeg's start-up on a busy machine comes before the camera's answer.
  request.timeoutMs = 20000;
  request.receiveBuffer = buffer;
  request.command = CameraHttpRequest::kOpen;
  ASSERT_EQ(RunHttpRequest(&request, client), 0) << ffmpeg_.errors(1s);

  testing::JpegDecoder decoder;
  request.command = CameraHttpRequest::kTransfer;
  for (int picture = 1; picture <= 5; ++picture) {
    ASSERT_EQ(RunHttpRequest(&request, client), 0) << "picture " << picture;
    EXPECT_EQ(decoder.decode(std::span(buffer).first(request.receivedLength)),
              std::make_pair(kWidth, kHeight))
        << "picture " << picture;
    EXPECT_EQ(request.motionEvent, 0);
  }
  RunHttpRequest(nullptr, client);
  camera.stop();

  // The point of this peer: its part headers are spelled otherwise than a camera's.
  std::lock_guard lock(relayed->mutex);
  EXPECT_TRUE(
      relayed->start.starts_with("--ffmpeg\r\nContent-type: image/jpeg\r\nContent-length: "))
      << relayed->start.substr(0, 80);
}

}  // namespace
}  // namespace ipcam
