// The simulated camera's MPEG-4 camera server, read the way the camera's documentation lays
// the bytes out: offsets written here by hand, the video checked with libavcodec itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tools/camsim/av_server.h"
#include "tools/camsim/command_line.h"
#include "tools/camsim/server.h"

namespace ipcam::camsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Connection {
 public:
  explicit Connection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Connection() { ::close(fd_); }
  bool connected() const { return connected_; }
  bool read(Bytes& into, std::size_t size) {
    into.resize(size);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::recv(fd_, into.data() + done, size - done, 0);
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }
  bool write(const Bytes& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::uint32_t little(const Bytes& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

TEST(CamsimAvServer, CommandLineOptions) {
  const std::vector<std::string_view> good = {"--av-server", "on",         "--av-login",
                                              "user",        "--av-audio", "off"};
  const CommandLine parsed = parseCommandLine(good);
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.avServer);
  EXPECT_FALSE(parsed.options.avAdmin);
  EXPECT_FALSE(parsed.options.avAudio);
  for (std::string_view bad : {"--av-server=yes", "--av-login=root", "--av-audio=1"}) {
    const std::vector<std::string_view> arguments = {bad};
    EXPECT_NE(parseCommandLine(arguments).error, "") << bad;
  }
}

TEST(CamsimAvServer, ControlPortAnswersInTheMessageSizeOfTheModel) {
  for (std::uint32_t model : {12u, 16u}) {
    SCOPED_TRACE(model);
    Options options;
    options.avServer = true;
    options.modelId = model;
    Server camera(options);
    ASSERT_TRUE(camera.start()) << camera.lastError();
    const std::size_t size = model == 16 ? 418 : 415;
    Connection control(camera.avServer().controlPort());
    ASSERT_TRUE(control.connected());
    Bytes request(size, 0);
    request[0] = 4;
    ASSERT_TRUE(control.write(request));
    Bytes answer;
    ASSERT_TRUE(control.read(answer, size + 4));
    EXPECT_EQ(answer[0], 8);
  }
}

TEST(CamsimAvServer, DataPortPushesDecodableMpeg4WithAudioAndMotionMarks) {
  Options options;
  options.avServer = true;
  options.modelId = 12;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  options.framesPerSecond = 50;
  options.motionEvery = 5;
  Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();
  Connection data(camera.avServer().controlPort() + 1);
  ASSERT_TRUE(data.connected());

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  ASSERT_NE(codec, nullptr);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  ASSERT_EQ(avcodec_open2(context.get(), codec, nullptr), 0);
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> picture(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });

  int video = 0;
  int audio = 0;
  int decoded = 0;
  std::vector<int> motionFrames;
  Bytes header;
  Bytes payload;
  while (video < 30) {
    ASSERT_TRUE(data.read(header, 28));
    const std::uint32_t length = little(header, 11, 4);
    ASSERT_LE(length, 1'966'080u);
    ASSERT_TRUE(data.read(payload, length));
    if (header[0] == 1) {
      ++audio;
      EXPECT_EQ(length, 160u);
      continue;
    }
    ASSERT_EQ(header[0], 0);
    EXPECT_EQ(little(header, 3, 2), 320u);
    EXPECT_EQ(little(header, 5, 2), 240u);
    if (video == 0) {
      // The stream begins with the sequence headers, a key frame by the viewer's rule.
      EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), (Bytes{0, 0, 1, 0xb0}));
    }
    if (header[27] == 1) motionFrames.push_back(video);
    ++video;
    payload.resize(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = payload.data();
    packet->size = static_cast<int>(length);
    ASSERT_EQ(avcodec_send_packet(context.get(), packet.get()), 0);
    while (avcodec_receive_frame(context.get(), picture.get()) == 0) {
      ++decoded;
      EXPECT_EQ(picture->width, 320);
      EXPECT_EQ(picture->height, 240);
    }
  }
  EXPECT_GE(decoded, 28);
  EXPECT_EQ(motionFrames, (std::vector<int>{4, 9, 14, 19, 24, 29}));
  // 8000 A-law bytes a second in 160-byte frames: 50 a second, one per frame at 50 fps.
  EXPECT_GE(audio, 25);
}

}  // namespace
}  // namespace ipcam::camsim
