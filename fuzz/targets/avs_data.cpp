// The MPEG-4 camera server: its control answers in both forms, and the data connection's
// stream of 28-byte headers and frames as the data loop reads it.
#include <cstdint>
#include <vector>

#include "platform/thread_slot.h"
#include "protocols/av_server_client.h"
#include "support/loopback_peer.h"

namespace {

class Frames : public ipcam::AvsFrameHandler {
 public:
  void motion() override {}
  void dataArrived() override {}
  void video(std::span<const std::uint8_t> frame, std::uint16_t, std::uint16_t) override {
    sum_ += frame.empty() ? 0 : frame.back();
  }
  void audio(std::span<const std::uint8_t> frame) override {
    sum_ += frame.empty() ? 0 : frame.front();
  }
  bool connected() const override { return true; }

 private:
  unsigned sum_ = 0;  // touches every frame's ends, so a frame outside the buffer is seen
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  (void)ipcam::parseAvsAnswer(input, false);
  (void)ipcam::parseAvsAnswer(input, true);
  (void)ipcam::parseAvsFrameHeader(input);

  static std::vector<std::uint8_t> buffer(ipcam::kAvsLargestPayload);
  ipcam::fuzz::FedSocket socket(input);
  ipcam::platform::ThreadRun run;
  Frames frames;
  ipcam::AvsDataLimits limits;
  limits.idleLimit = std::chrono::milliseconds(2000);
  limits.receiveTimeout = std::chrono::milliseconds(2000);
  (void)ipcam::runAvsDataLoop(socket.fd(), run, frames, buffer, limits);
  return 0;
}
