// The interleaved RTP stream of an RTSP session as the reader takes it packet by packet:
// framing and re-sync after garbage, RTP headers and padding, JPEG pictures rebuilt from
// their fragments, H.264 FU-A units and MPEG-4 payloads gathered into frames. The first byte
// picks the stream kind and how large the frame buffers are.
#include <cstdint>
#include <vector>

#include "protocols/rtsp_client.h"
#include "support/byte_script.h"
#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ipcam::fuzz::ByteScript script(data, size);
  const std::uint8_t options = script.takeByte();
  std::vector<std::uint8_t> video(std::size_t{256} << ((options >> 2) & 7));
  std::vector<std::uint8_t> audio(std::size_t{64} << ((options >> 6) & 3));

  ipcam::fuzz::FedSocket socket(script.rest());
  ipcam::RtspClient client;
  ipcam::RtspRequest request;
  request.streamKind = static_cast<std::uint8_t>((options & 3) % 3);
  client.sockets[request.streamKind].reset(socket.release());
  client.connected[request.streamKind] = 1;
  request.command = ipcam::RtspRequest::kRead;
  request.videoBuffer = video;
  request.audioBuffer = audio;
  for (std::size_t packet = 0; packet <= size; ++packet) {
    const int result = ipcam::RunRtspRequest(&request, client);
    if (request.videoLength > video.size() || request.audioLength > audio.size() ||
        request.videoFill > video.size()) {
      __builtin_trap();
    }
    if (result == -2014 || result == -2015 || result == -2034 || result == -2035 ||
        result == -2031) {
      break;
    }
  }
  // No TEARDOWN was prepared, so closing sends nothing into the pair.
  return 0;
}
