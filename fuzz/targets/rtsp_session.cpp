// A camera's RTSP session through the client: DESCRIBE (a challenge, then the SDP), SETUP of
// the tracks, PLAY, then the interleaved packets behind the PLAY answer. The first byte picks
// the stream kind (MPEG-4, H.264, JPEG); each "~~~" line separates the answers to requests.
#include <array>
#include <cstdint>
#include <vector>

#include "protocols/rtsp_client.h"
#include "support/byte_script.h"
#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ipcam::fuzz::LoopbackPeer peer(false);
  ipcam::fuzz::ByteScript script(data, size);
  const auto kind = static_cast<std::uint8_t>(script.takeByte() % 3);
  static std::vector<std::uint8_t> video(64 * 1024);
  static std::vector<std::uint8_t> audio(2048);

  peer.run(script.turns(), [&] {
    ipcam::RtspClient client;
    ipcam::RtspRequest request;
    request.host = "127.0.0.1";
    request.rtspPort = peer.port();
    request.streamPath = "live";
    request.user = "admin";
    request.password = "secret";
    request.timeoutMs = 2000;
    request.streamKind = kind;
    request.command = ipcam::RtspRequest::kOpen;
    if (ipcam::RunRtspRequest(&request, client) != 0) return;
    if (request.parameterSetsLength > request.parameterSets.size()) __builtin_trap();
    request.command = ipcam::RtspRequest::kRead;
    request.videoBuffer = video;
    request.audioBuffer = audio;
    for (int packet = 0; packet < 256; ++packet) {
      const int result = ipcam::RunRtspRequest(&request, client);
      if (request.videoLength > video.size() || request.audioLength > audio.size()) {
        __builtin_trap();
      }
      // Peer gone or a receive failed: the stream is over.
      if (result == -2014 || result == -2015 || result == -2034 || result == -2035 ||
          result == -2031 || result == -2011 || result == -2001) {
        break;
      }
    }
  });
  return 0;
}
