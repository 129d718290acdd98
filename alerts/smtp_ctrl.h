#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "alerts/mail_connection.h"

namespace ipcam {

// The failure of a mail step: one error code, whose text comes from a fixed English table.
class ECSmtp {
 public:
  explicit ECSmtp(int code) : code_(code) {}
  int code() const { return code_; }
  std::string text() const;

 private:
  int code_;
};

// The text of an ECSmtp code: "" for 0, "Undefined error id" for a code not in the table.
std::string smtpErrorText(int code);

// The Date header's value (RFC 5322, 3.3) for `when` in the local zone, with English day and
// month names whatever the locale: "Fri, 11 Dec 2026 07:05:09 +0100". Empty when the time
// cannot be had.
std::string mailDate(std::time_t when);

// A Message-ID, "<unique@domain>", the domain taken from the sender's address, else the host.
std::string mailMessageId(std::string_view senderAddress, std::string_view hostName);

// The Subject header line(s) with CR LF: UTF-8 Base64 encoded-words of at most 75 characters,
// folded onto lines of at most 76 (RFC 2047); empty for an empty subject.
std::string subjectHeader(std::string_view subject);

// The protocol steps, in the order of the command table.
enum class SmtpStep : int {
  Greeting = 0,
  Ehlo = 1,
  AuthPlain = 2,
  AuthLogin = 3,
  AuthCramMd5 = 4,
  AuthDigestMd5 = 5,
  DigestMd5Response = 6,
  LoginName = 7,
  Password = 8,
  MailFrom = 9,
  RcptTo = 10,
  Data = 11,
  DataBlock = 12,
  EndOfMessage = 13,
  Quit = 14,
  StartTls = 15,
};

// One row of the command table: time-outs in seconds (0: that half of the step does not
// happen), the reply code the step needs, and the error code any other reply raises.
struct SmtpCommand {
  SmtpStep step;
  int sendTimeout;
  int replyTimeout;
  int requiredReply;  // 0: no reply is read
  int errorCode;
};

const SmtpCommand& smtpCommand(SmtpStep step);

// Whether the EHLO reply offers `keyword`: it must occur after the first character, with a
// blank, '-' or '=' before it and a blank, '=' or CR LF after it; case does not matter.
bool smtpKeywordPresent(std::string_view reply, std::string_view keyword);

enum class SmtpSecurity : int { None = 0, StartTls = 1, Ssl = 2 };

enum class SmtpPriority : int { High = 2, Normal = 3, Low = 4 };

// Sends one message to an SMTP server: connect (plain, SSL from the first byte, or STARTTLS),
// EHLO, authentication as offered, the message with optional Base64 attachments. Every failure
// raises ECSmtp. Used by one thread at a time; blocks that thread for at most the time-outs of
// the command table, less when the thread is told to stop.
class CSmtpCtrl {
 public:
  static constexpr std::size_t kBufferSize = 10240;
  static constexpr std::string_view kBoundary = "__MESSAGE__ID__54yg6f6h6y456345";
  static constexpr std::uint64_t kAttachmentLimit = 5242880;  // 5 MiB over all attachments

  CSmtpCtrl();
  ~CSmtpCtrl();
  CSmtpCtrl(const CSmtpCtrl&) = delete;
  CSmtpCtrl& operator=(const CSmtpCtrl&) = delete;

  void setSenderAddress(std::string address) { senderMail_ = std::move(address); }
  void setSenderName(std::string name) { senderName_ = std::move(name); }
  void setSubject(std::string subject) { subject_ = std::move(subject); }
  void setXMailer(std::string value) { xMailer_ = std::move(value); }
  void setReplyTo(std::string value) { replyTo_ = std::move(value); }
  void setLogin(std::string login) { login_ = std::move(login); }
  void setPassword(std::string password) { password_ = std::move(password); }
  // Port 0: the system's port for "mail", else 25.
  void setServer(std::string host, std::uint16_t port) {
    server_ = std::move(host);
    port_ = port;
  }
  void setAuthenticate(bool on) { authenticate_ = on; }
  void setSecurity(SmtpSecurity type) { security_ = type; }
  void setPriority(SmtpPriority priority) { priority_ = priority; }
  void setHtml(bool on) { html_ = on; }
  void addRecipient(const std::string& address, const std::string& name = {});
  void addCcRecipient(const std::string& address, const std::string& name = {});
  void addBccRecipient(const std::string& address, const std::string& name = {});
  void addAttachment(std::string path) { attachments_.push_back(std::move(path)); }
  void addMessageLine(std::string line) { lines_.push_back(std::move(line)); }

  // Trust beyond the system store (default: IPCAM_MAIL_CA_FILE from the environment).
  void setTlsTrust(MailTlsTrust trust) { trust_ = std::move(trust); }
  // The one server certificate to accept, by its SHA-256 fingerprint (empty: none).
  void setPinnedCertificate(std::string fingerprint) {
    trust_.pinnedSha256 = std::move(fingerprint);
  }
  // Caps every time-out of the command table (zero: none); for tests.
  void setTimeLimit(std::chrono::milliseconds limit) { connection_.setTimeLimit(limit); }

  bool connect();
  void send();
  void disconnect();

  // The last complete reply, all its lines.
  const std::string& lastReply() const { return receiveBuffer_; }
  // Why the last 414 happened (certificate check, handshake).
  const std::string& sslProblem() const { return connection_.tlsProblem(); }
  // The fingerprint of the certificate the server showed, and why it was refused.
  const std::string& serverFingerprint() const { return connection_.serverFingerprint(); }
  MailCertificateRefusal certificateRefusal() const { return connection_.certificateRefusal(); }
  // True when the last failure came from the thread being told to stop.
  bool stopped() const { return connection_.stopped(); }
  const std::string& localHostName() const { return localHostName_; }

 private:
  using Recipients = std::vector<std::pair<std::string, std::string>>;  // (name, address)

  void connectSteps();
  void authenticate(const std::string& ehloReply);
  void authLogin();
  void authPlain();
  void authCramMd5();
  void authDigestMd5();
  void ehlo();
  void transfer();
  void sendAttachment(const std::string& path, std::uint64_t& total);

  void sendText(std::string_view text, SmtpStep step);
  void receiveReply(SmtpStep step);
  void command(std::string_view text, SmtpStep step);
  std::string header() const;
  void raise(int code) const;
  void refuseLineBreaks() const;

  std::string localHostName_;
  std::string senderMail_;
  std::string senderName_;
  std::string subject_;
  std::string xMailer_;
  std::string replyTo_;
  std::string login_;
  std::string password_;
  std::string server_;
  std::uint16_t port_ = 0;
  bool authenticate_ = true;
  SmtpPriority priority_ = SmtpPriority::Normal;
  bool connected_ = false;
  // A step after DATA failed: the server reads whatever follows as message text, so a QUIT
  // would only wait out its time-out.
  bool inData_ = false;
  std::string receiveBuffer_;
  Recipients to_;
  Recipients cc_;
  Recipients bcc_;
  std::vector<std::string> attachments_;
  std::vector<std::string> lines_;
  SmtpSecurity security_ = SmtpSecurity::None;
  bool html_ = false;
  MailTlsTrust trust_ = MailTlsTrust::fromEnvironment();
  MailConnection connection_;
};

}  // namespace ipcam
