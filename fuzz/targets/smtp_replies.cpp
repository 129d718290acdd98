// A mail server's replies to the alarm mail: the greeting, the EHLO list with its AUTH
// mechanisms, the authentication challenges (LOGIN, CRAM-MD5, DIGEST-MD5), multi-line replies
// and whatever comes after. Each "~~~" line separates the replies to the client's commands.
#include <chrono>
#include <cstdint>

#include "alerts/smtp_ctrl.h"
#include "support/byte_script.h"
#include "support/loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ipcam::fuzz::LoopbackPeer peer(true);
  const ipcam::fuzz::ByteScript script(data, size);
  (void)ipcam::smtpKeywordPresent(std::string_view(reinterpret_cast<const char*>(data), size),
                                  "AUTH");

  peer.run(script.turns(), [&] {
    ipcam::CSmtpCtrl mail;
    mail.setServer("127.0.0.1", peer.port());
    mail.setSecurity(ipcam::SmtpSecurity::None);
    mail.setAuthenticate(true);
    mail.setLogin("camera@example.test");
    mail.setPassword("secret");
    mail.setSenderAddress("camera@example.test");
    mail.addRecipient("guard@example.test");
    mail.setSubject("Motion");
    mail.addMessageLine("Camera 1 saw motion.");
    mail.setTimeLimit(std::chrono::milliseconds(2000));
    try {
      if (mail.connect()) mail.send();
      mail.disconnect();
    } catch (const ipcam::ECSmtp&) {
      // A refused step is an answer, not a fault.
    }
  });
  return 0;
}
