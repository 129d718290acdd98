// A camera's HTTP video stream end to end through the client: the answer to the stream
// request (challenges, a second connection with credentials), then picture after picture
// with their part headers. Each "~~~" line separates what the camera sends on one request.
#include <array>
#include <cstdint>
#include <vector>

#include "protocols/http_camera_client.h"
#include "support/byte_script.h"
#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ipcam::fuzz::LoopbackPeer peer(false);
  const ipcam::fuzz::ByteScript script(data, size);
  static std::vector<std::uint8_t> picture(256 * 1024);

  peer.run(script.turns(), [&] {
    ipcam::CameraHttpClient client;
    ipcam::CameraHttpRequest request;
    request.host = "127.0.0.1";
    request.port = peer.port();
    request.user = "admin";
    request.password = "secret";
    request.timeoutMs = 2000;
    request.channel = ipcam::CameraHttpRequest::kVideo;
    request.command = ipcam::CameraHttpRequest::kOpen;
    if (ipcam::RunHttpRequest(&request, client) != 0) return;
    request.command = ipcam::CameraHttpRequest::kTransfer;
    request.receiveBuffer = picture;
    for (int frame = 0; frame < 64; ++frame) {
      const int result = ipcam::RunHttpRequest(&request, client);
      if (result == 0 && request.receivedLength > picture.size()) __builtin_trap();
      // A refused picture leaves the stream where the next one starts; anything else ends it.
      if (result != 0 && result != -2020 && result != -2017) break;
    }
  });
  return 0;
}
