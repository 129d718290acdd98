#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "alerts/smtp_ctrl.h"
#include "core/viewer_settings.h"
#include "platform/thread_slot.h"

namespace ipcam {

// What a motion mail needs of the settings ("MotionRecordMail"), copied so that the mail
// thread never reads the live settings.
struct MotionMailSettings {
  std::array<std::string, kRecipientCount> recipient;
  std::string subject;
  std::string sender;
  std::string smtpServer;
  std::int32_t smtpPort = 25;
  std::int32_t smtpAuth = 0;
  std::string smtpAccount;
  std::string smtpPassword;
  std::int32_t smtpSslTls = 0;  // index into "None", "SSL", ..., "TLS (Hotmail)"
  std::int32_t pop3BeforeSmtp = 0;
  std::string pop3Server;
  std::int32_t pop3Port = 110;
  std::string pop3Account;
  std::string pop3Password;
  std::string smtpCertificatePin;  // SHA-256 of the one server certificate trusted, or empty

  static MotionMailSettings from(const ViewerSettings& settings);
};

// The outcome of one motion mail: code 0 and empty texts when it went out.
struct MailResult {
  int code = 0;
  std::string text;      // the error text of the code
  std::string detail;    // why a TLS step failed (certificate check), else empty
  bool stopped = false;  // the send ended because its thread was told to stop
  // For a refused server certificate: why, and its SHA-256 fingerprint (for "trust this").
  MailCertificateRefusal refusal = MailCertificateRefusal::None;
  std::string fingerprint;
};

// The one message line of a motion mail, for the file just opened (or none).
std::string motionMailText(const std::string& fileName);

// The security list of the mail page: "None"; "SSL", "SSL (Gmail)", "SSL (Yahoo)" are SSL from
// the first byte; "TLS", "TLS (Gmail)", "TLS (Hotmail)" are STARTTLS.
SmtpSecurity motionMailSecurity(std::int32_t index);

// Fills a client with the motion mail for `fileName`: text, subject, recipients, sender,
// server, authentication (only with SMTP_Auth on and POP3 before SMTP off), security.
void fillMotionMail(CSmtpCtrl& client, const MotionMailSettings& settings,
                    const std::string& fileName);

// Runs the POP3 log-in when it is on (its outcome does not matter), then builds and sends
// the motion mail. Blocks the calling thread; never throws.
MailResult sendMotionMail(const MotionMailSettings& settings, const std::string& fileName);

// The mail of the page's "Send test e-mail" button: the motion mail's settings and path, with
// a text that says it is a test. Blocks the calling thread; never throws.
MailResult sendTestMail(const MotionMailSettings& settings);
std::string testMailText();

// The event-log line of a failed mail: "Send Mail Error !" with the error text, and for a
// TLS failure the reason.
std::string mailErrorLogLine(const MailResult& result);

// Sends motion mails one after the other on a thread of its own, so that a slow or silent mail
// server never holds up a recording. A failure goes to the channel's event log.
class MailWorker {
 public:
  using Sender = std::function<MailResult(const MotionMailSettings&, const std::string&)>;
  static constexpr std::size_t kQueueLimit = 32;

  explicit MailWorker(Sender sender = sendMotionMail);
  ~MailWorker();
  MailWorker(const MailWorker&) = delete;
  MailWorker& operator=(const MailWorker&) = delete;

  // Queues one mail (starting the thread when needed). False once stopped or when the queue
  // is full; the mail is then dropped with a line in the event log.
  bool post(int channel, MotionMailSettings settings, std::string fileName);
  // Drops what is queued and ends the thread: a send in progress gives up at once. Waits up to
  // one second, then abandons the thread. Safe to call twice.
  bool stop();
  // Mails sent or failed so far (for tests and the trace).
  std::size_t finished() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  platform::RunFlag runFlag_{0};  // written by the slot only
  platform::ThreadSlot slot_;
};

// The process's mail worker (lives until exit); stopMotionMail() ends it at shutdown, and the
// test mail with it.
MailWorker& motionMailWorker();
void stopMotionMail();

// Sends one test mail on a thread of its own and hands the outcome to `done` on that thread.
// False (and nothing sent) while an earlier test mail is still on its way.
bool startTestMail(MotionMailSettings settings, std::function<void(const MailResult&)> done);
// Tells a test mail in progress to give up, without waiting for it; collects one that ended.
void cancelTestMail();

}  // namespace ipcam
