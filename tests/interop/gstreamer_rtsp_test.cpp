// Our RTSP client against GStreamer's RTSP server, which none of us wrote: it catches the
// places where our reading of RTSP, RTP and RFC 2435 agrees only with our own camsim.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "app/app_state.h"
#include "app/channel_record.h"
#include "app/multi_language.h"
#include "app/viewer_core.h"
#include "protocols/http_workers.h"
#include "protocols/rtsp_client.h"
#include "protocols/scripted_http_server.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kLauncher = IPCAM_TESTS_DIR "/interop/gst_rtsp_server.py";
// What the launcher's videotestsrc produces.
constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Reads what `fd` delivers until `stop` says so, EOF, or the deadline.
std::string readUntil(int fd, Clock::time_point deadline,
                      const std::function<bool(const std::string&)>& stop) {
  std::string text;
  while (!stop(text)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    std::array<char, 4096> chunk{};
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
  return text;
}

// The launcher as a child process: its stdin is ours to close (it exits then), its stdout
// gives the port, its stderr explains a failed start.
class GstRtspServerProcess {
 public:
  // Empty on success, else why the server did not come up.
  std::string start() {
    std::array<int, 2> input{};
    std::array<int, 2> output{};
    std::array<int, 2> errors{};
    if (::pipe2(input.data(), O_CLOEXEC) != 0 || ::pipe2(output.data(), O_CLOEXEC) != 0 ||
        ::pipe2(errors.data(), O_CLOEXEC) != 0) {
      return "pipe2 failed";
    }
    std::string python = kPython;
    std::string launcher = kLauncher;
    std::string port = "0";
    std::array<char*, 4> argv = {python.data(), launcher.data(), port.data(), nullptr};
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(input[0], STDIN_FILENO);
      ::dup2(output[1], STDOUT_FILENO);
      ::dup2(errors[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      constexpr char kExecFailed[] = "cannot execute /usr/bin/python3\n";
      [[maybe_unused]] const ssize_t written =
          ::write(STDERR_FILENO, kExecFailed, sizeof kExecFailed - 1);
      ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(errors[1]);
    input_ = input[1];
    output_ = output[0];
    errors_ = errors[0];
    if (pid_ < 0) return "fork failed";

    // Python and GStreamer's plugin scan take their time on a busy machine.
    const std::string line = readUntil(output_, Clock::now() + 60s, [](const std::string& text) {
      return text.find('\n') != std::string::npos;
    });
    if (std::sscanf(line.c_str(), "%hu", &port_) == 1 && port_ != 0) return {};
    stop();
    const std::string why =
        readUntil(errors_, Clock::now() + 1s, [](const std::string&) { return false; });
    return "GStreamer's RTSP server did not start (the interop packages of scripts/lib.sh are "
           "gir1.2-gst-rtsp-server-1.0, python3-gst-1.0 and the gstreamer1.0-plugins-* "
           "packages):\n" +
           why;
  }

  // Closing stdin asks the launcher to end; SIGTERM and then SIGKILL if it does not.
  void stop() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ > 0) {
      int status = 0;
      const auto deadline = Clock::now() + 3s;
      bool terminated = false;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        if (!terminated && Clock::now() >= deadline - 2s) {
          ::kill(pid_, SIGTERM);
          terminated = true;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    pid_ = -1;
  }

  ~GstRtspServerProcess() {
    stop();
    for (const int fd : {output_, errors_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::uint16_t port_ = 0;
};

// The Content-Length of the server's DESCRIBE answer for `path`, read with a bare socket so
// the test knows which side of our SDP limit the server falls on.
std::optional<std::size_t> sdpLength(std::uint16_t port, const std::string& path) {
  TcpSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return std::nullopt;
  const std::string request = "DESCRIBE rtsp://127.0.0.1:" + std::to_string(port) + "/" + path +
                              " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n";
  if (::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return std::nullopt;
  const std::string answer =
      readUntil(socket.get(), Clock::now() + 5s,
                [](const std::string& text) { return text.find("\r\n\r\n") != std::string::npos; });
  constexpr std::string_view kField = "Content-Length:";
  const std::size_t at = answer.find(kField);
  if (at == std::string::npos) return std::nullopt;
  return static_cast<std::size_t>(std::atoi(answer.c_str() + at + kField.size()));
}

class GStreamerRtspTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMultiLanguage::instance().selectBySystemLangId(1033);
    attachUi(&ui_);
    const std::string failure = server_.start();
    ASSERT_TRUE(failure.empty()) << failure;
  }
  void TearDown() override {
    channelRecord(0).stream.stopWorkers();
    appState().ui.store(nullptr);
  }

  platform::test_support::ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui_;
  GstRtspServerProcess server_;
};

TEST_F(GStreamerRtspTest, JpegPicturesAreReassembledAndDecode) {
  // Whatever GStreamer puts in its SDP, the Open below depends on it fitting our limit.
  const auto length = sdpLength(server_.port(), "jpeg");
  ASSERT_TRUE(length.has_value());
  ASSERT_LE(*length, kSdpLimit);
  RecordProperty("jpeg_sdp_bytes", static_cast<int>(*length));

  std::vector<std::uint8_t> video(1'000'000);
  RtspClient client;
  RtspRequest request;
  request.command = RtspRequest::kOpen;
  request.streamKind = RtspRequest::kJpeg;
  request.host = "127.0.0.1";
  request.rtspPort = server_.port();
  request.streamPath = "jpeg";
  request.timeoutMs = 10000;
  request.videoBuffer = video;
  ASSERT_EQ(RunRtspRequest(&request, client), 0);
  ASSERT_EQ(request.connected, 1);

  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  ASSERT_NE(decoder, nullptr);
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  ASSERT_EQ(avcodec_open2(context, decoder, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* decoded = av_frame_alloc();

  // The packets of the picture under way when PLAY starts give -2041 (its start was never
  // seen); a -2041 later means a packet of an in-sequence picture was refused.
  constexpr int kPictures = 5;
  int pictures = 0;
  int dropped = 0;
  const auto deadline = Clock::now() + 30s;
  request.command = RtspRequest::kRead;
  while (pictures < kPictures && Clock::now() < deadline) {
    const int result = RunRtspRequest(&request, client);
    if (result == -(kRtspReadOffset + 41) && pictures == 0) {
      ++dropped;
      continue;
    }
    ASSERT_EQ(result, 0) << "after " << pictures << " pictures";
    if (request.mediaKind != RtspRequest::kVideo || request.frameContinues != 0) continue;
    ++pictures;
    ASSERT_GT(request.videoLength, kJpegHeaderBytes);
    packet->data = video.data();
    packet->size = static_cast<int>(request.videoLength);
    ASSERT_EQ(avcodec_send_packet(context, packet), 0) << "picture " << pictures;
    ASSERT_EQ(avcodec_receive_frame(context, decoded), 0) << "picture " << pictures;
    EXPECT_EQ(decoded->width, kWidth);
    EXPECT_EQ(decoded->height, kHeight);
    av_frame_unref(decoded);
  }
  EXPECT_EQ(pictures, kPictures);
  RecordProperty("jpeg_packets_dropped_at_start", dropped);

  packet->data = nullptr;
  packet->size = 0;
  av_packet_free(&packet);
  av_frame_free(&decoded);
  avcodec_free_context(&context);
  RunRtspRequest(nullptr, client);
  EXPECT_EQ(client.connected[RtspRequest::kJpeg], 0);
}

// GStreamer's H.264 SDP (fmtp parameters after the PPS, a bandwidth line, ssrc and cname)
// runs to about 525 bytes, past our 512-byte answer buffer: the Open must refuse it with
// -1030 and the worker keep trying every 5 seconds without going live.
TEST_F(GStreamerRtspTest, OversizedH264SdpFailsTheOpenAndTheWorkerRetries) {
  const auto length = sdpLength(server_.port(), "h264");
  ASSERT_TRUE(length.has_value());
  ASSERT_GT(*length, kSdpLimit) << "this GStreamer's H.264 SDP fits; the -1030 case is gone";
  RecordProperty("h264_sdp_bytes", static_cast<int>(*length));

  {
    RtspClient client;
    RtspRequest request;
    request.command = RtspRequest::kOpen;
    request.streamKind = RtspRequest::kH264;
    request.host = "127.0.0.1";
    request.rtspPort = server_.port();
    request.streamPath = "h264";
    request.timeoutMs = 10000;
    EXPECT_EQ(RunRtspRequest(&request, client), -1030);
    EXPECT_EQ(request.connected, 0);
    EXPECT_EQ(request.rtspStatus, 0);
    EXPECT_TRUE(client.teardown[RtspRequest::kH264].empty());
  }

  // The worker learns the port and path from the camera's parameter page, served here for
  // as many reconnects as the test waits for.
  const std::string list =
      "Network.RTSP.Enable=1\r\nNetwork.RTSP.Port=" + std::to_string(server_.port()) +
      "\r\nNetwork.RTSP.H264Path=h264\r\n";
  const testing::ScriptedServer::Script page = [list](testing::ScriptedServer::Connection& c) {
    if (!c.readRequest()) return;
    c.send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(list.size()) + "\r\nConnection: close\r\n\r\n" + list);
  };
  testing::ScriptedServer camera(std::vector<testing::ScriptedServer::Script>(8, page));
  ChannelRecord& record = channelRecord(0);
  record.stream.configure({"", "", "127.0.0.1", std::to_string(camera.port()), 2});
  ASSERT_TRUE(startStreamWorkers(record, StreamKind::RtspH264));

  const auto reconnects = [this] {
    return std::ranges::count_if(ui_.events(), [](const auto& event) {
      return event.channel == 0 && event.text == "Reconnect...";
    });
  };
  const auto deadline = Clock::now() + 30s;
  while (reconnects() < 2 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_GE(reconnects(), 2);
  // Each try asks the parameter page first, so the page counts the Opens.
  EXPECT_GE(camera.requests().size(), 2U);
  EXPECT_TRUE(record.stream.rtspWorker.running());

  record.stream.stopWorkers();
  EXPECT_FALSE(record.stream.rtspWorker.running());
  const auto statuses = ui_.statuses();
  EXPECT_TRUE(std::ranges::none_of(statuses, [](const auto& s) { return s.code == kStatusLive; }));
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().code, kStatusDisconnected);
  ASSERT_FALSE(ui_.events().empty());
  EXPECT_EQ(ui_.events().back().text, "Disconnected");
}

}  // namespace
}  // namespace ipcam
