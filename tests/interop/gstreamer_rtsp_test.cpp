// Our RTSP client against GStreamer's RTSP server, which none of us wrote: it catches the
// places where our reading of RTSP, RTP and RFC 2435 agrees only with our own camsim.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "interop/jpeg_decoder.h"
#include "interop/peer_process.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "media/channel_media.h"
#include "protocols/http_workers.h"
#include "protocols/rtsp_client.h"
#include "protocols/scripted_http_server.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kLauncher = IPCAM_TESTS_DIR "/interop/gst_rtsp_server.py";
// What the launcher's videotestsrc produces.
constexpr int kWidth = 320;
constexpr int kHeight = 240;

// The launcher as a child process; its first line on stdout is the port it bound.
class GstRtspServerProcess {
 public:
  // Empty on success, else why the server did not come up.
  std::string start() {
    if (!process_.start(kPython, {kLauncher, "0"})) return "cannot start " + std::string(kPython);
    const std::string line = testing::readUntil(
        process_.output(), Clock::now() + 60s,
        [](const std::string& text) { return text.find('\n') != std::string::npos; });
    if (std::sscanf(line.c_str(), "%hu", &port_) == 1 && port_ != 0) return {};
    process_.stop();
    return "GStreamer's RTSP server did not start (the interop packages of scripts/lib.sh are "
           "gir1.2-gst-rtsp-server-1.0, python3-gst-1.0 and the gstreamer1.0-plugins-* "
           "packages):\n" +
           process_.errors(1s);
  }

  std::uint16_t port() const { return port_; }

 private:
  testing::PeerProcess process_;
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
  const std::string answer = testing::readUntil(
      socket.get(), Clock::now() + 20s,
      [](const std::string& text) { return text.find("\r\n\r\n") != std::string::npos; });
  constexpr std::string_view kField = "Content-Length:";
  const std::size_t at = answer.find(kField);
  if (at == std::string::npos) return std::nullopt;
  return static_cast<std::size_t>(std::atoi(answer.c_str() + at + kField.size()));
}

// Our client, with the worker's buffers, on one of the launcher's mounts.
struct GstStream {
  std::vector<std::uint8_t> video = std::vector<std::uint8_t>(1'000'000);
  std::vector<std::uint8_t> audio = std::vector<std::uint8_t>(1000);
  RtspClient client;
  RtspRequest request;

  int open(std::uint16_t port, const std::string& path, std::uint8_t kind) {
    request.command = RtspRequest::kOpen;
    request.streamKind = kind;
    request.host = "127.0.0.1";
    request.rtspPort = port;
    request.streamPath = path;
    request.timeoutMs = 10000;
    request.videoBuffer = video;
    request.audioBuffer = audio;
    return RunRtspRequest(&request, client);
  }

  // Reads packets, handing each good one to `take` until it says it has seen enough; false
  // after 15 s. The packets of the JPEG picture under way when PLAY starts give -2041 (its
  // start was never seen) and are passed over; any other failure fails the test.
  bool readPackets(const std::function<bool()>& take) {
    const auto deadline = Clock::now() + 30s;
    request.command = RtspRequest::kRead;
    bool frameSeen = false;
    while (Clock::now() < deadline) {
      const int result = RunRtspRequest(&request, client);
      if (result == -(kRtspReadOffset + 41) && !frameSeen) continue;
      EXPECT_EQ(result, 0);
      if (result != 0) return false;
      frameSeen = frameSeen || completeFrame();
      if (take()) return true;
    }
    return false;
  }

  bool completeFrame() const {
    return request.mediaKind == RtspRequest::kVideo && request.frameContinues == 0;
  }
  std::span<const std::uint8_t> frame() const {
    return std::span(video).first(request.videoLength);
  }

  ~GstStream() { RunRtspRequest(nullptr, client); }
};

class GStreamerRtspTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string failure = server_.start();
    ASSERT_TRUE(failure.empty()) << failure;
  }

  // The SDP's size, so that a test can say which side of the old 512-byte limit it was on.
  std::size_t describedBytes(const std::string& path) {
    const auto length = sdpLength(server_.port(), path);
    EXPECT_TRUE(length.has_value());
    RecordProperty(path + "_sdp_bytes", static_cast<int>(length.value_or(0)));
    return length.value_or(0);
  }

  GstRtspServerProcess server_;
};

// The answer buffer of the DESCRIBE header; GStreamer's SDPs for H.264 and for JPEG with
// A-law sound run past it.
constexpr std::size_t kOldSdpLimit = 512;

TEST_F(GStreamerRtspTest, JpegPicturesAreReassembledAndDecode) {
  describedBytes("jpeg");
  GstStream stream;
  ASSERT_EQ(stream.open(server_.port(), "jpeg", RtspRequest::kJpeg), 0);
  ASSERT_EQ(stream.request.connected, 1);

  testing::JpegDecoder decoder;
  constexpr int kPictures = 5;
  int pictures = 0;
  EXPECT_TRUE(stream.readPackets([&] {
    if (!stream.completeFrame()) return false;
    ++pictures;
    EXPECT_GT(stream.request.videoLength, kJpegHeaderBytes);
    EXPECT_EQ(decoder.decode(stream.frame()), std::make_pair(kWidth, kHeight))
        << "picture " << pictures;
    return pictures == kPictures;
  }));
  RunRtspRequest(nullptr, stream.client);
  EXPECT_EQ(stream.client.connected[RtspRequest::kJpeg], 0);
}

// GStreamer's H.264 SDP (fmtp parameters after the PPS, a bandwidth line, ssrc, clock lines)
// runs past 512 bytes; it opens, with the parameter sets of its video section.
TEST_F(GStreamerRtspTest, H264SdpOpensWithItsParameterSets) {
  EXPECT_GT(describedBytes("h264"), kOldSdpLimit) << "the SDP no longer shows the longer limit";
  GstStream stream;
  ASSERT_EQ(stream.open(server_.port(), "h264", RtspRequest::kH264), 0);
  EXPECT_EQ(stream.request.rtspStatus, 0);
  EXPECT_FALSE(stream.client.teardown[RtspRequest::kH264].empty());

  // 00 00 00 01 SPS (NAL type 7) 00 00 00 01 PPS (NAL type 8).
  const std::string sets(reinterpret_cast<const char*>(stream.request.parameterSets.data()),
                         stream.request.parameterSetsLength);
  ASSERT_GT(sets.size(), 10U);
  EXPECT_EQ(sets.substr(0, 4), std::string("\0\0\0\1", 4));
  EXPECT_EQ(sets[4] & 0x1F, 7);
  const std::size_t second = sets.find(std::string("\0\0\0\1", 4), 4);
  ASSERT_NE(second, std::string::npos);
  ASSERT_LT(second + 4, sets.size());
  EXPECT_EQ(sets[second + 4] & 0x1F, 8);

  // The stream flows: access units come out whole, each starting with a start code.
  int frames = 0;
  EXPECT_TRUE(stream.readPackets([&] {
    if (!stream.completeFrame()) return false;
    EXPECT_EQ(textOf(stream.frame().first(4)), std::string_view("\0\0\0\1", 4));
    return ++frames == 5;
  }));
}

// JPEG video with A-law sound: the 541-byte SDP opens, both tracks are set up (sound on
// interleaved channels 2-3), and pictures and sound arrive.
TEST_F(GStreamerRtspTest, JpegWithAlawSoundSetsUpBothTracks) {
  EXPECT_GT(describedBytes("jpeg-alaw"), kOldSdpLimit) << "the SDP no longer shows the limit";
  GstStream stream;
  ASSERT_EQ(stream.open(server_.port(), "jpeg-alaw", RtspRequest::kJpeg), 0);

  testing::JpegDecoder decoder;
  int pictures = 0;
  int soundPackets = 0;
  EXPECT_TRUE(stream.readPackets([&] {
    if (stream.request.mediaKind == RtspRequest::kAudio) {
      ++soundPackets;
      EXPECT_GT(stream.request.audioLength, 0U);
    } else if (stream.completeFrame()) {
      ++pictures;
      EXPECT_EQ(decoder.decode(stream.frame()), std::make_pair(kWidth, kHeight));
    }
    return pictures >= 3 && soundPackets >= 10;
  })) << pictures
      << " pictures, " << soundPackets << " sound packets";
}

// GStreamer's H.264 live, the way the program shows it: the camera's parameter page names
// GStreamer's port and path, the channel's RTSP worker opens the stream, and its decode thread
// draws the pictures. GStreamer sends SPS and PPS in band ahead of every IDR picture, so a key
// frame is any access unit with an IDR slice in it, not only one that starts with it.
constexpr int kLiveChannel = 11;

TEST_F(GStreamerRtspTest, H264PlaysLiveOnAChannel) {
  CMultiLanguage::instance().selectBySystemLangId(1033);
  platform::test_support::ScopedEnv resources{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  testing::RecordingViewerUi ui;
  // The channel stands up as the program's start-up makes it: its objects, then the wiring.
  setSoundDeviceProbe([] { return true; });
  attachUi(&ui);
  createChannelObjects(ui);
  wireProgram();
  ChannelRecord& record = channelRecord(kLiveChannel);
  record.display->discardPicture();

  const std::string list =
      "Network.RTSP.Enable=1\r\nNetwork.RTSP.Port=" + std::to_string(server_.port()) +
      "\r\nNetwork.RTSP.H264Path=h264\r\n";
  const testing::ScriptedServer::Script page = [list](testing::ScriptedServer::Connection& c) {
    if (!c.readRequest()) return;
    c.send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(list.size()) + "\r\nConnection: close\r\n\r\n" + list);
  };
  testing::ScriptedServer camera(std::vector<testing::ScriptedServer::Script>(4, page));
  record.stream.configure({"", "", "127.0.0.1", std::to_string(camera.port()), 2});
  ASSERT_TRUE(startStreamWorkers(record, StreamKind::RtspH264));

  const auto shown = [&ui] { return std::ranges::count(ui.pictures(), kLiveChannel); };
  const bool played = ipcam::testing::waitFor([&] { return shown() >= 5; }, 30s);
  record.stream.stopWorkers();
  appState().ui.store(nullptr);
  setSoundDeviceProbe(nullptr);
  ASSERT_TRUE(played) << shown() << " pictures shown";
  EXPECT_EQ(record.pictureWidth.load(), kWidth);
  EXPECT_EQ(record.pictureHeight.load(), kHeight);
  EXPECT_TRUE(record.display->withFrontPicture([](const PictureView& picture) {
    EXPECT_EQ(picture.width, kWidth);
    EXPECT_EQ(picture.height, kHeight);
  }));
  const auto statuses = ui.statuses();
  EXPECT_TRUE(std::ranges::any_of(statuses, [](const auto& s) { return s.code == kStatusLive; }));
  const auto events = ui.events();
  EXPECT_TRUE(std::ranges::none_of(events, [](const auto& e) { return e.text == "Reconnect..."; }));
}

}  // namespace
}  // namespace ipcam
