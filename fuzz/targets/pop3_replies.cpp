// A mailbox server's replies to the log-in before sending: the greeting, USER, PASS and
// QUIT. Each "~~~" line separates the replies.
#include <cstdint>

#include "alerts/pop3.h"
#include "support/byte_script.h"
#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ipcam::fuzz::LoopbackPeer peer(true);
  const ipcam::fuzz::ByteScript script(data, size);
  peer.run(script.turns(), [&] {
    ipcam::CPOP3 mailbox("127.0.0.1", peer.port(), "camera", "secret");
    mailbox.setTimeLimit(std::chrono::milliseconds(2000));
    if (mailbox.connect() != 0) mailbox.disconnect();
  });
  return 0;
}
