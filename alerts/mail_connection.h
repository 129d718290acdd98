#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct ssl_st;
struct ssl_ctx_st;
struct x509_store_ctx_st;

namespace ipcam {

// Outcomes of the mail connection's steps. The values are the mail client's error codes, so
// the SMTP client can raise them as they are; POP3 only tells success from failure.
enum MailIoCode : int {
  kMailIoOk = 0,
  kMailIoSendFailed = 102,
  kMailIoReceiveFailed = 103,
  kMailIoConnectFailed = 104,
  kMailIoNoHost = 105,
  kMailIoNoSocket = 106,
  kMailIoNoNonBlocking = 108,
  kMailIoWaitFailed = 109,
  kMailIoClosed = 400,
  kMailIoTimedOut = 402,
  kMailIoConnectTimedOut = 403,
  kMailIoTls = 414,
};

// Where the TLS layer looks for trust. The system store is always used; a test (or a site
// with a private mail server) may add one CA file. The environment variable
// IPCAM_MAIL_CA_FILE gives the default for that file.
//
// A pinned certificate (its SHA-256 fingerprint, which the user chose to trust on the mail
// page) replaces the chain and name check: that exact certificate is accepted, however it is
// signed and whatever name it carries, and any other certificate is refused as changed, even
// one a public authority signed, so that a pin cannot be bypassed by a certificate that some
// authority was talked into issuing.
struct MailTlsTrust {
  std::string extraCaFile;
  std::string pinnedSha256;  // empty: no pin
  static MailTlsTrust fromEnvironment();
};

// A SHA-256 fingerprint as the page shows and the settings file keeps it: 32 upper-case hex
// pairs joined by colons. Colons, blanks and case in `text` do not matter; anything that is not
// 64 hex digits gives an empty text.
std::string canonicalFingerprint(std::string_view text);

// Why the server's certificate was refused, beyond the plain TLS failure.
enum class MailCertificateRefusal { None, Untrusted, Changed };

// One TCP connection to a mail server, optionally wrapped in TLS. Every wait is bounded by the
// time-out it is given and ends at once when the calling slot thread is told to stop (the
// step then fails with kMailIoTimedOut and stopped() is true), so a mail in progress never
// holds up the viewer's shutdown.
class MailConnection {
 public:
  using Seconds = std::chrono::seconds;

  MailConnection();
  ~MailConnection();
  MailConnection(const MailConnection&) = delete;
  MailConnection& operator=(const MailConnection&) = delete;

  // Caps every time-out (tests use it to see a time-out without waiting minutes). Zero: none.
  void setTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }

  // Resolves `host` (dotted IPv4 first, else by name) and connects within `timeout`.
  int open(const std::string& host, std::uint16_t port, Seconds timeout);
  // Verified TLS on the open connection: chain against the trust store, name against `host`.
  int startTls(const std::string& host, const MailTlsTrust& trust, Seconds timeout);

  int sendAll(std::string_view data, Seconds timeout);
  // Appends at most `room` bytes (at least one) of what arrives within `timeout` to `text`.
  int receiveSome(std::string& text, std::size_t room, Seconds timeout);
  // The same, but waits only until `deadline`.
  int receiveSomeUntil(std::string& text, std::size_t room,
                       std::chrono::steady_clock::time_point deadline);

  // Now plus `timeout`, cut to the time limit.
  std::chrono::steady_clock::time_point deadlineAfter(Seconds timeout) const;

  void close();
  bool isOpen() const { return fd_ >= 0; }
  bool tlsActive() const { return ssl_ != nullptr; }
  // True when the last failure came from a stop request rather than from the peer.
  bool stopped() const { return stopped_; }
  // Why the TLS step failed (certificate check, handshake), for the event log.
  const std::string& tlsProblem() const { return tlsProblem_; }
  // The SHA-256 fingerprint of the certificate the server showed in the last TLS step (empty
  // before one), and why it was refused, if it was.
  const std::string& serverFingerprint() const { return serverFingerprint_; }
  MailCertificateRefusal certificateRefusal() const { return refusal_; }
  // The peer's IPv4 address in dotted form, empty when unknown.
  std::string peerAddress() const;

 private:
  struct SslDeleter {
    void operator()(ssl_st* ssl) const;
  };
  struct ContextDeleter {
    void operator()(ssl_ctx_st* context) const;
  };

  // 0 ready, or kMailIoTimedOut / kMailIoWaitFailed.
  int waitFor(short events, std::chrono::steady_clock::time_point deadline);
  int tlsFailure(std::string why);
  static int verifyCertificate(int preverified, x509_store_ctx_st* store);

  int fd_ = -1;
  std::chrono::milliseconds timeLimit_{0};
  bool stopped_ = false;
  std::string tlsProblem_;
  std::string pin_;  // the pin of the TLS step in progress
  std::string serverFingerprint_;
  MailCertificateRefusal refusal_ = MailCertificateRefusal::None;
  std::unique_ptr<ssl_ctx_st, ContextDeleter> context_;
  std::unique_ptr<ssl_st, SslDeleter> ssl_;
};

}  // namespace ipcam
