#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace ipcam {

class TurboJpegDecoder;

enum class VideoCodec : int { kMjpeg = 0, kMpeg4 = 1, kH264 = 2 };
inline constexpr int kVideoCodecCount = 3;

// One decoder of a channel. Used under ChannelMedia::decoderMutex().
struct VideoDecoder {
  struct ContextDeleter {
    void operator()(AVCodecContext* context) const;
  };
  struct FrameDeleter {
    void operator()(AVFrame* frame) const;
  };
  struct PacketDeleter {
    void operator()(AVPacket* packet) const;
  };

  std::unique_ptr<AVCodecContext, ContextDeleter> context;
  std::unique_ptr<AVFrame, FrameDeleter> picture;   // reused for every decoded picture
  std::unique_ptr<AVPacket, PacketDeleter> packet;  // reused for every frame
  // Motion JPEG only: the live view's decoder, made on first use and kept; libavcodec takes
  // what it refuses.
  std::shared_ptr<TurboJpegDecoder> turbo;
  bool opened = false;
  int lastWidth = 0;
  int lastHeight = 0;
  // The input copied into a buffer with the zeroed tail the decoder may read past the end.
  std::vector<std::uint8_t> input;
};

// The media state of one channel: its decoders. Created once at start-up for
// every channel and kept until exit; connecting and reconnecting reuse it.
//
// Locking: decoderMutex() guards the three decoders; the channel's decode thread holds it
// around each decode, and close() takes it, so a decoder is never freed under a decode.
// Nobody waits for the user while holding it.
class ChannelMedia {
 public:
  explicit ChannelMedia(int channel);
  ~ChannelMedia();
  ChannelMedia(const ChannelMedia&) = delete;
  ChannelMedia& operator=(const ChannelMedia&) = delete;

  // Routes the decoder library's log into the trace and opens the Motion JPEG decoder.
  void initialise();
  // Closes whatever decoders are open; safe to call twice.
  void close();

  int channel() const { return channel_; }

  // Opening: find the decoder (missing: false), then up to three tries 100 ms apart. After
  // the third failed try the user is told and the program ends with exit code 1.
  bool openMjpegDecoder() { return openDecoder(VideoCodec::kMjpeg); }
  bool openH264Decoder() { return openDecoder(VideoCodec::kH264); }
  bool openMpeg4Decoder() { return openDecoder(VideoCodec::kMpeg4); }
  bool openDecoder(VideoCodec codec);
  void closeMjpegDecoder() { closeDecoder(VideoCodec::kMjpeg); }
  void closeDecoder(VideoCodec codec);
  void closeDecoders();
  bool decoderOpen(VideoCodec codec) const;
  // Size of the last picture the decoder saw; 0 before the first.
  int lastWidth(VideoCodec codec) const;
  int lastHeight(VideoCodec codec) const;

  std::mutex& decoderMutex() const { return decoderMutex_; }
  // The caller holds decoderMutex().
  VideoDecoder& decoder(VideoCodec codec) {
    return decoders_[static_cast<std::size_t>(static_cast<int>(codec))];
  }
  enum class OpenResult { kOpened, kNoDecoder, kFailed };
  // The caller holds decoderMutex(): the tries of openDecoder, without the ending. On kFailed
  // the caller lets the lock go and calls endAfterOpenFailure.
  OpenResult openLocked(VideoCodec codec);
  void closeLocked(VideoCodec codec);
  // The decoder could not be opened three times: the user is told, and after a second the
  // program ends with exit code 1.
  [[noreturn]] void endAfterOpenFailure(VideoCodec codec);

  // A new stream run begins: no key frame seen yet, and the trace lines about dropped pictures
  // may be written again.
  void beginStreamRun();
  bool keyFrameSeen() const { return keyFrameSeen_.load() != 0; }
  void setKeyFrameSeen() { keyFrameSeen_.store(1); }
  // The MPEG-4 gate opens at the first sequence-level start code and stays open.
  bool mpeg4GateOpen() const { return mpeg4Gate_.load() != 0; }
  void openMpeg4Gate() { mpeg4Gate_.store(1); }
  // True the first time each is asked in a stream run: a picture of a size that is not shown,
  // or of a pixel format the converter cannot read, is traced once, not per picture.
  bool firstSizeTrace() { return !sizeTraced_.exchange(true); }
  bool firstFormatTrace() { return !formatTraced_.exchange(true); }

 private:
  const int channel_;
  mutable std::mutex decoderMutex_;
  std::array<VideoDecoder, kVideoCodecCount> decoders_;  // guarded by decoderMutex_
  std::atomic<std::int32_t> keyFrameSeen_{0};
  std::atomic<std::int32_t> mpeg4Gate_{0};
  std::atomic<bool> sizeTraced_{false};
  std::atomic<bool> formatTraced_{false};
};

// Where the decoder library's diagnostics go: into the trace. Set once per process; later
// calls do nothing.
void routeDecoderLogToTrace();

}  // namespace ipcam
