// Our HTTP camera client against HTTP servers we did not write, each started by the test on
// 127.0.0.1: FFmpeg's own HTTP server (chunked multipart with lengths) and a camera built on
// Python's http.server (Digest with SHA-256, MD5-sess, opaque and a stale nonce; chunked
// multipart without lengths under a quoted boundary). Every picture must arrive byte for byte
// as FFmpeg encoded it, not merely decode.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "interop/peer_process.h"
#include "protocols/http_camera_client.h"
#include "protocols/scripted_http_server.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";
constexpr const char* kPython = "/usr/bin/python3";
constexpr int kFrames = 5;
const std::string kTestSource = "testsrc=size=320x240:rate=10";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class HttpPeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kFfmpeg, X_OK), 0) << kFfmpeg << " is missing";
    std::string dir = (std::filesystem::temp_directory_path() / "http-peers-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    // The same frames FFmpeg sends later, encoded once to files: its encoder is deterministic.
    testing::PeerProcess encoder;
    ASSERT_TRUE(encoder.start(
        kFfmpeg,
        {"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i", kTestSource,
         "-frames:v", std::to_string(kFrames), "-f", "image2", (dir_ / "frame%02d.jpg").string()}));
    ASSERT_TRUE(
        testing::waitFor([this] { return std::filesystem::exists(framePath(kFrames)); }, 60s))
        << encoder.errors(1s);
    encoder.stop(30s);
    for (int i = 1; i <= kFrames; ++i) frames_.push_back(readFile(framePath(i)));
    request_.host = "127.0.0.1";
    request_.receiveBuffer = buffer_;
    request_.timeoutMs = 10000;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::filesystem::path framePath(int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "frame%02d.jpg", index);
    return dir_ / name;
  }
  int run(std::uint8_t command) {
    request_.command = command;
    return RunHttpRequest(&request_, client_);
  }
  std::string received() const {
    return {reinterpret_cast<const char*>(buffer_.data()), request_.receivedLength};
  }
  void expectEveryFrameWhole() {
    for (int i = 0; i < kFrames; ++i) {
      ASSERT_EQ(run(CameraHttpRequest::kTransfer), 0) << "picture " << i + 1;
      EXPECT_EQ(received().size(), frames_[static_cast<std::size_t>(i)].size());
      EXPECT_TRUE(received() == frames_[static_cast<std::size_t>(i)]) << "picture " << i + 1;
    }
  }

  std::filesystem::path dir_;
  std::vector<std::string> frames_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(1'000'000);
  CameraHttpClient client_;
  CameraHttpRequest request_;
};

// FFmpeg's HTTP server answers "Transfer-Encoding: chunked" with an octet-stream type and no
// boundary; its mpjpeg parts say their length ("Content-length").
TEST_F(HttpPeersTest, FfmpegListeningServerSendsChunkedParts) {
  std::uint16_t port = 0;
  {
    // A port the system just gave out and nobody holds now.
    const TcpSocket probe(testing::listenOnLoopback(1, port));
    ASSERT_TRUE(probe.valid());
  }
  testing::PeerProcess ffmpeg;
  ASSERT_TRUE(ffmpeg.start(
      kFfmpeg, {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
                kTestSource, "-frames:v", std::to_string(kFrames), "-f", "mpjpeg", "-listen", "1",
                "http://127.0.0.1:" + std::to_string(port) + "/"}));
  request_.port = port;
  ASSERT_TRUE(testing::waitFor([this] { return run(CameraHttpRequest::kOpen) == 0; }, 30s))
      << ffmpeg.errors(1s);
  expectEveryFrameWhole();
  // Its last chunk ends the answer: the camera has gone.
  EXPECT_EQ(run(CameraHttpRequest::kTransfer), -2014);
  RunHttpRequest(nullptr, client_);
  ffmpeg.stop(5s);
}

TEST_F(HttpPeersTest, PythonServerWithDigestAndPartsWithoutLength) {
  const std::string script = std::string(IPCAM_TESTS_DIR) + "/interop/http_camera_peer.py";
  std::vector<std::string> arguments = {script, "admin", "s3cret \"pw\""};
  for (int i = 1; i <= kFrames; ++i) arguments.push_back(framePath(i).string());
  testing::PeerProcess peer;
  ASSERT_TRUE(peer.start(kPython, arguments));
  std::string said = testing::readUntil(
      peer.output(), testing::PeerClock::now() + 30s,
      [](const std::string& text) { return text.find('\n') != std::string::npos; });
  ASSERT_TRUE(said.starts_with("PORT ")) << said << peer.errors(1s);
  request_.port = static_cast<std::uint16_t>(std::stoi(said.substr(5)));
  request_.user = "admin";
  request_.password = "s3cret \"pw\"";

  ASSERT_EQ(run(CameraHttpRequest::kOpen), 0);
  EXPECT_EQ(request_.httpStatus, 0);
  expectEveryFrameWhole();
  EXPECT_EQ(run(CameraHttpRequest::kTransfer), -2014);
  RunHttpRequest(nullptr, client_);

  // The camera pages go through libcurl, which must answer the same challenges (it takes the
  // first Digest challenge it reads, MD5-sess here, rather than the strongest).
  std::string page;
  EXPECT_EQ(FetchDocument({"127.0.0.1", request_.port, "admin", "s3cret \"pw\""},
                          "camera-cgi/admin/param.cgi?action=list", 10000, page),
            0);
  EXPECT_EQ(page, "Properties.Firmware.Version=peer-1.0\r\n");

  // What the peer judged, request by request: the first nonce went stale, and the strongest
  // challenge (SHA-256) was answered with a fresh count.
  said += testing::readUntil(
      peer.output(), testing::PeerClock::now() + 10s, [](const std::string& text) {
        return text.find("/camera-cgi/admin/param.cgi?action=list ok") != std::string::npos;
      });
  EXPECT_NE(said.find("/snapshot.cgi no digest credentials\n"
                      "/snapshot.cgi stale\n"
                      "/snapshot.cgi ok SHA-256 nc=00000001\n"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("/camera-cgi/admin/param.cgi?action=list ok"), std::string::npos) << said;
  peer.stop(5s);
}

}  // namespace
}  // namespace ipcam
