#include "alerts/smtp_ctrl.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <span>

#include "alerts/mail_base64.h"
#include "alerts/mail_md5.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::seconds kConnectTimeout{180};
// A TLS server answers the handshake at once; one that accepted the connection and stays
// silent is the silent greeting again, and gets the same half minute.
constexpr std::chrono::seconds kHandshakeTimeout{30};
constexpr std::uint16_t kDefaultPort = 25;
constexpr std::size_t kHostNameSize = 255;
constexpr std::size_t kAttachmentChunk = 54;  // one 72-character Base64 line
constexpr std::size_t kAttachmentBlock = 5119;
constexpr std::string_view kCrLf = "\r\n";
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
// An encoded-word may hold at most 75 characters and a header line 76 (RFC 2047, 2); the
// Base64 text of an encoded-word grows in steps of four for three bytes.
constexpr std::string_view kEncodedWordStart = "=?UTF-8?B?";
constexpr std::string_view kEncodedWordEnd = "?=";
constexpr std::size_t kEncodedWordMax = 75;
constexpr std::size_t kHeaderLineMax = 76;

// Error codes the client raises by itself (the others come from the command table or the
// connection).
enum SmtpError : int {
  kHostNameFailed = 107,
  kUndefinedSender = 201,
  kUndefinedRecipient = 203,
  kUndefinedLogin = 204,
  kUndefinedPassword = 205,
  kBadCredentials = 206,
  kBadDigestChallenge = 207,
  kNoDigestServerName = 208,
  kUndefinedRecipientMail = 209,
  kLineBreakInHeader = 210,
  kFileNotExist = 404,
  kMessageTooBig = 405,
  kLackOfMemory = 408,
  kTimeError = 409,
  kSendBufferEmpty = 411,
  kStartTlsNotSupported = 416,
  kAuthNotSupported = 417,
};

constexpr std::array<SmtpCommand, 16> kCommands = {{
    // A server that accepts the connection and then says nothing (or nothing that ends a
    // reply) should cost one mail half a minute, not five: the queue waits behind it.
    {SmtpStep::Greeting, 0, 30, 220, 402},
    {SmtpStep::Ehlo, 300, 300, 250, 301},
    {SmtpStep::AuthPlain, 300, 300, 235, 302},
    {SmtpStep::AuthLogin, 300, 300, 334, 303},
    {SmtpStep::AuthCramMd5, 300, 300, 334, 304},
    {SmtpStep::AuthDigestMd5, 300, 300, 334, 305},
    {SmtpStep::DigestMd5Response, 300, 300, 334, 306},
    {SmtpStep::LoginName, 300, 300, 334, 407},
    {SmtpStep::Password, 300, 300, 235, 406},
    {SmtpStep::MailFrom, 300, 300, 250, 300},
    {SmtpStep::RcptTo, 300, 300, 250, 309},
    {SmtpStep::Data, 300, 120, 354, 307},
    {SmtpStep::DataBlock, 180, 0, 0, 415},
    {SmtpStep::EndOfMessage, 180, 600, 250, 310},
    {SmtpStep::Quit, 300, 300, 221, 308},
    {SmtpStep::StartTls, 300, 300, 220, 413},
}};

struct ErrorText {
  int code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {100, "Unable to initialise winsock2"},
    {101, "Wrong version of the winsock2"},
    {102, "Function send() failed"},
    {103, "Function recv() failed"},
    {104, "Function connect failed"},
    {105, "Unable to determine remote server"},
    {106, "Invalid winsock2 socket"},
    {107, "Function hostname() failed"},
    {108, "Function ioctlsocket() failed"},
    {109, "Function select() failed or the server refused the connection"},
    {110, "Improper IPv4 address"},
    {200, "Undefined message header"},
    {201, "Undefined mail sender"},
    {202, "Undefined message subject"},
    {203, "Undefined at least one reciepent"},
    {204, "Undefined user login"},
    {205, "Undefined user password"},
    {206, "Invalid user login or password"},
    {207, "Server returned a bad digest MD5 response"},
    {208, "Unable to determine server name for digest MD5 response"},
    {209, "Undefined recipent mail"},
    {210, "Line break or NUL in a mail address, name or the subject"},
    {300, "Server returned error after sending MAIL FROM"},
    {301, "Server returned error after sending EHLO"},
    {302, "Server returned error after sending AUTH PLAIN"},
    {303, "Server returned error after sending AUTH LOGIN"},
    {304, "Server returned error after sending AUTH CRAM-MD5"},
    {305, "Server returned error after sending AUTH DIGEST-MD5"},
    {306, "Server returned error after sending MD5 DIGEST"},
    {307, "Server returned error after sending DATA"},
    {308, "Server returned error after sending QUIT"},
    {309, "Server returned error after sending RCPT TO"},
    {310, "Error in message body"},
    {400, "Server has closed the connection"},
    {401, "Server is not ready"},
    {402, "Server not responding"},
    {403, "Connecting to the server timed out"},
    {404, "File not exist"},
    {405, "Message is too big"},
    {406, "Bad login or password"},
    {407, "Undefined xyz SMTP response"},
    {408, "Lack of memory"},
    {409, "time() error"},
    {410, "RecvBuf is empty"},
    {411, "SendBuf is empty"},
    {412, "Specified line number is out of message size"},
    {413, "Server returned error after sending STARTTLS"},
    {414, "SSL problem"},
    {415, "Failed to send data block"},
    {416, "The STARTTLS command is not supported by the server"},
    {417, "AUTH LOGIN is not supported by the server"},
};

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The last line of a reply: three digits and a blank, or exactly three digits.
bool isFinalLine(std::string_view line) {
  return line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) &&
         (line.size() == 3 || line[3] == ' ');
}

std::uint16_t mailServicePort() {
  servent entry{};
  servent* found = nullptr;
  std::array<char, 1024> scratch{};
  if (::getservbyname_r("mail", "tcp", &entry, scratch.data(), scratch.size(), &found) == 0 &&
      found != nullptr) {
    return ntohs(static_cast<std::uint16_t>(found->s_port));
  }
  return kDefaultPort;
}

std::string recipientList(const std::vector<std::pair<std::string, std::string>>& list) {
  std::string text;
  for (const auto& [name, address] : list) {
    if (!text.empty()) text += ',';
    text += name + "<" + address + ">";
  }
  return text;
}

// A message line that starts with a dot would otherwise end the message early or lose its
// dot (RFC 5321, 4.5.2).
std::string dotStuffed(const std::string& line) {
  return !line.empty() && line[0] == '.' ? "." + line : line;
}

// A message line as it goes on the wire: a line break inside it starts a new line, and every
// line is dot-stuffed, so no text can end the message early.
std::string bodyLines(std::string_view line) {
  std::string wire;
  for (;;) {
    const std::size_t end = line.find_first_of("\r\n");
    wire += dotStuffed(std::string(line.substr(0, end))) + "\r\n";
    if (end == std::string_view::npos) return wire;
    line.remove_prefix(line.compare(end, 2, kCrLf) == 0 ? end + 2 : end + 1);
  }
}

// The text between `prefix` + `="` and the next double quote, as the digest challenge gives it.
// nullopt: the key is there but its value has no end (or no start).
std::optional<std::string> quotedValue(std::string_view challenge, std::string_view key,
                                       bool& present) {
  const std::size_t at = challenge.find(key);
  present = at != std::string_view::npos;
  if (!present) return std::string();
  const std::size_t start = at + key.size() + 2;  // past `="`
  if (start > challenge.size()) return std::nullopt;
  const std::size_t end = challenge.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(challenge.substr(start, end - start));
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The longest piece of `text` of at most `limit` bytes that does not cut a UTF-8 character
// (an encoded-word must hold whole characters, RFC 2047, 5); text that is no UTF-8 is cut
// where it must.
std::size_t wholeCharacters(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  while (end > 0 && isContinuationByte(text[end])) --end;
  return end > 0 ? end : limit;
}

std::string twoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
         static_cast<char>('0' + value % 10);
}

// A text that a line break (or NUL) would split into a header or command of its own.
bool breaksTheLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string hex(std::uint64_t value) {
  std::array<char, 17> text{};
  std::snprintf(text.data(), text.size(), "%016llx", static_cast<unsigned long long>(value));
  return text.data();
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::string mailDate(std::time_t when) {
  std::tm local{};
  if (when <= 0 || ::localtime_r(&when, &local) == nullptr) return {};
  const long offset = local.tm_gmtoff / 60;
  const long minutes = offset < 0 ? -offset : offset;
  return std::string(kWeekdays[static_cast<std::size_t>(local.tm_wday) % 7]) + ", " +
         twoDigits(local.tm_mday) + " " + kMonths[static_cast<std::size_t>(local.tm_mon) % 12] +
         " " + std::to_string(local.tm_year + 1900) + " " + twoDigits(local.tm_hour) + ":" +
         twoDigits(local.tm_min) + ":" + twoDigits(local.tm_sec) + " " + (offset < 0 ? "-" : "+") +
         twoDigits(static_cast<int>(minutes / 60)) + twoDigits(static_cast<int>(minutes % 60));
}

std::string mailMessageId(std::string_view senderAddress, std::string_view hostName) {
  // Unique enough without any state shared between mail threads beyond one counter: random
  // per process, the clock, and a sequence number.
  static const std::uint64_t processSalt = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  static std::atomic<std::uint64_t> sequence{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::string_view domain;
  const std::size_t at = senderAddress.rfind('@');
  if (at != std::string_view::npos) domain = senderAddress.substr(at + 1);
  if (domain.empty() || domain.find_first_of("<>@ \t\"") != std::string_view::npos)
    domain = hostName;
  if (domain.empty()) domain = "localhost";
  return "<" + hex(static_cast<std::uint64_t>(micros)) + "." + hex(processSalt + sequence++) + "@" +
         std::string(domain) + ">";
}

std::string subjectHeader(std::string_view subject) {
  if (subject.empty()) return {};
  constexpr std::string_view kName = "Subject: ";
  constexpr std::size_t kOverhead = kEncodedWordStart.size() + kEncodedWordEnd.size();
  std::string text(kName);
  std::size_t used = kName.size();  // characters on the current line before the encoded-word
  while (!subject.empty()) {
    const std::size_t room = std::min(kEncodedWordMax, kHeaderLineMax - used) - kOverhead;
    const std::size_t bytes = wholeCharacters(subject, room / 4 * 3);
    text += kEncodedWordStart;
    text += mailBase64Encode(subject.substr(0, bytes));
    text += kEncodedWordEnd;
    subject.remove_prefix(bytes);
    if (!subject.empty()) {
      // Folding white space between encoded-words; decoders drop it (RFC 2047, 6.2).
      text += "\r\n ";
      used = 1;
    }
  }
  return text + "\r\n";
}

std::string smtpErrorText(int code) {
  if (code == 0) return {};
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return "Undefined error id";
}

std::string ECSmtp::text() const {
  return smtpErrorText(code_);
}

const SmtpCommand& smtpCommand(SmtpStep step) {
  return kCommands[static_cast<std::size_t>(step)];
}

bool smtpKeywordPresent(std::string_view reply, std::string_view keyword) {
  if (keyword.empty()) return false;
  for (std::size_t at = 1; at + keyword.size() <= reply.size(); ++at) {
    if (!sameLetters(reply.substr(at, keyword.size()), keyword)) continue;
    const char before = reply[at - 1];
    if (before != ' ' && before != '-' && before != '=') continue;
    const std::string_view after = reply.substr(at + keyword.size());
    if (after.starts_with(' ') || after.starts_with('=') || after.starts_with(kCrLf)) return true;
  }
  return false;
}

CSmtpCtrl::CSmtpCtrl() {
  std::array<char, kHostNameSize> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) throw ECSmtp(kHostNameFailed);
  localHostName_ = name.data();
}

CSmtpCtrl::~CSmtpCtrl() {
  try {
    disconnect();
  } catch (const ECSmtp&) {
    // The message went out or failed already; a QUIT that fails changes nothing.
  }
}

void CSmtpCtrl::addRecipient(const std::string& address, const std::string& name) {
  if (address.empty()) raise(kUndefinedRecipientMail);
  to_.emplace_back(name, address);
}

void CSmtpCtrl::addCcRecipient(const std::string& address, const std::string& name) {
  if (address.empty()) raise(kUndefinedRecipientMail);
  cc_.emplace_back(name, address);
}

void CSmtpCtrl::addBccRecipient(const std::string& address, const std::string& name) {
  if (address.empty()) raise(kUndefinedRecipientMail);
  bcc_.emplace_back(name, address);
}

void CSmtpCtrl::raise(int code) const {
  throw ECSmtp(code);
}

void CSmtpCtrl::sendText(std::string_view text, SmtpStep step) {
  const SmtpCommand& row = smtpCommand(step);
  if (text.empty()) raise(kSendBufferEmpty);
  const bool secret = step == SmtpStep::AuthPlain || step == SmtpStep::LoginName ||
                      step == SmtpStep::Password || step == SmtpStep::DigestMd5Response;
  if (platform::traceEnabled()) {
    platform::traceLine(secret ? std::string_view("SMTP > (credentials)") : text);
  }
  const int result = connection_.sendAll(text, std::chrono::seconds(row.sendTimeout));
  if (result != kMailIoOk) raise(result);
}

void CSmtpCtrl::receiveReply(SmtpStep step) {
  const SmtpCommand& row = smtpCommand(step);
  const auto deadline = connection_.deadlineAfter(std::chrono::seconds(row.replyTimeout));
  std::string text;
  std::size_t scanned = 0;
  for (;;) {
    // The reply must fit the receive buffer with its terminating zero; a server that sends
    // more (or never ends its reply) costs this send, not the process's memory.
    if (text.size() >= kBufferSize - 1) raise(kLackOfMemory);
    const int result = connection_.receiveSomeUntil(text, kBufferSize - 1 - text.size(), deadline);
    if (result != kMailIoOk) raise(result);
    for (std::size_t end; (end = text.find(kCrLf, scanned)) != std::string::npos;) {
      const std::string_view line = std::string_view(text).substr(scanned, end - scanned);
      scanned = end + kCrLf.size();
      if (!isFinalLine(line)) continue;
      // Anything after the last line is dropped: nothing may be pipelined into the next step
      // (after STARTTLS such bytes would pose as protected ones).
      receiveBuffer_ = text.substr(0, scanned);
      if (platform::traceEnabled()) platform::traceLine(receiveBuffer_);
      const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
      if (code != row.requiredReply) raise(row.errorCode);
      return;
    }
  }
}

void CSmtpCtrl::command(std::string_view text, SmtpStep step) {
  sendText(text, step);
  receiveReply(step);
}

bool CSmtpCtrl::connect() {
  try {
    connectSteps();
  } catch (const ECSmtp&) {
    // A server that refused us with 530 wants no QUIT.
    if (receiveBuffer_.starts_with("530")) connected_ = false;
    try {
      disconnect();
    } catch (const ECSmtp&) {
      // The first failure is the one to report.
    }
    throw;
  }
  return true;
}

void CSmtpCtrl::connectSteps() {
  receiveBuffer_.clear();
  inData_ = false;
  const std::uint16_t port = port_ != 0 ? port_ : mailServicePort();
  int result = connection_.open(server_, port, kConnectTimeout);
  if (result != kMailIoOk) raise(result);
  if (security_ == SmtpSecurity::Ssl) {
    result = connection_.startTls(server_, trust_, kHandshakeTimeout);
    if (result != kMailIoOk) raise(result);
  }
  receiveReply(SmtpStep::Greeting);
  ehlo();
  if (security_ == SmtpSecurity::StartTls) {
    if (!smtpKeywordPresent(receiveBuffer_, "STARTTLS")) raise(kStartTlsNotSupported);
    command("STARTTLS\r\n", SmtpStep::StartTls);
    result = connection_.startTls(server_, trust_, kHandshakeTimeout);
    if (result != kMailIoOk) raise(result);
    ehlo();
  }
  if (authenticate_ && smtpKeywordPresent(receiveBuffer_, "AUTH")) authenticate(receiveBuffer_);
}

void CSmtpCtrl::ehlo() {
  command("EHLO " + (localHostName_.empty() ? std::string("domain") : localHostName_) + "\r\n",
          SmtpStep::Ehlo);
  connected_ = true;
}

void CSmtpCtrl::authenticate(const std::string& ehloReply) {
  if (login_.empty()) raise(kUndefinedLogin);
  if (password_.empty()) raise(kUndefinedPassword);
  if (smtpKeywordPresent(ehloReply, "LOGIN")) {
    authLogin();
  } else if (smtpKeywordPresent(ehloReply, "PLAIN")) {
    authPlain();
  } else if (smtpKeywordPresent(ehloReply, "CRAM-MD5")) {
    authCramMd5();
  } else if (smtpKeywordPresent(ehloReply, "DIGEST-MD5")) {
    authDigestMd5();
  } else {
    raise(kAuthNotSupported);
  }
}

void CSmtpCtrl::authLogin() {
  command("AUTH LOGIN\r\n", SmtpStep::AuthLogin);
  command(mailBase64Encode(login_) + "\r\n", SmtpStep::LoginName);
  command(mailBase64Encode(password_) + "\r\n", SmtpStep::Password);
}

void CSmtpCtrl::authPlain() {
  std::string credentials;
  credentials.push_back('\0');
  credentials += login_;
  credentials.push_back('\0');
  credentials += password_;
  command("AUTH PLAIN " + mailBase64Encode(credentials) + "\r\n", SmtpStep::AuthPlain);
}

namespace {

// The server's challenge: the Base64 text after "334 " up to the end of the line.
std::optional<std::string> challengeOf(const std::string& reply) {
  if (reply.size() < 4) return std::nullopt;
  std::string_view encoded = std::string_view(reply).substr(4);
  encoded = encoded.substr(0, encoded.find(kCrLf));
  return mailBase64Decode(encoded);
}

}  // namespace

void CSmtpCtrl::authCramMd5() {
  command("AUTH CRAM-MD5\r\n", SmtpStep::AuthCramMd5);
  const std::optional<std::string> challenge = challengeOf(receiveBuffer_);
  if (!challenge) raise(kBadCredentials);
  const std::string digest = hexText(hmacMd5(password_, bytesOf(*challenge)));
  command(mailBase64Encode(login_ + " " + digest) + "\r\n", SmtpStep::Password);
}

void CSmtpCtrl::authDigestMd5() {
  command("AUTH DIGEST-MD5\r\n", SmtpStep::AuthDigestMd5);
  const std::optional<std::string> challenge = challengeOf(receiveBuffer_);
  if (!challenge) raise(kBadCredentials);
  bool present = false;
  const std::optional<std::string> nonce = quotedValue(*challenge, "nonce", present);
  if (!present || !nonce) raise(kBadDigestChallenge);
  const std::optional<std::string> realm = quotedValue(*challenge, "realm", present);
  if (!realm) raise(kBadDigestChallenge);

  std::array<char, 16> cnonceText{};
  std::snprintf(cnonceText.data(), cnonceText.size(), "%x",
                static_cast<unsigned>(static_cast<std::uint32_t>(std::time(nullptr))));
  const std::string cnonce = cnonceText.data();
  const std::string nc = "00000001";
  const std::string qop = "auth";
  const std::string peer = connection_.peerAddress();
  if (peer.empty()) raise(kNoDigestServerName);
  const std::string uri = "smtp/" + peer;

  const auto secret = MD5::digestOf(bytesOf(login_ + ":" + *realm + ":" + password_));
  MD5 a1;
  a1.update(secret);
  a1.update(":" + *nonce + ":" + cnonce);
  a1.finalize();
  const std::string ha1 = a1.hex_digest();
  const std::string ha2 = MD5::hexOf("AUTHENTICATE:" + uri);
  const std::string response =
      MD5::hexOf(ha1 + ":" + *nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);

  std::string answer = "charset=utf-8,username=\"" + login_ + "\"";
  if (!realm->empty()) answer += ",realm=\"" + *realm + "\"";
  answer += ",nonce=\"" + *nonce + "\"";
  answer += ",nc=" + nc;
  answer += ",cnonce=\"" + cnonce + "\"";
  answer += ",digest-uri=\"" + uri + "\"";
  answer += ",response=" + response;
  answer += ",qop=" + qop;
  command(mailBase64Encode(answer) + "\r\n", SmtpStep::DigestMd5Response);
  command("\r\n", SmtpStep::Password);
}

void CSmtpCtrl::disconnect() {
  if (connected_ && !inData_ && connection_.isOpen()) {
    connected_ = false;
    try {
      command("QUIT\r\n", SmtpStep::Quit);
    } catch (const ECSmtp&) {
      connection_.close();
      throw;
    }
  }
  connected_ = false;
  inData_ = false;
  connection_.close();
}

std::string CSmtpCtrl::header() const {
  const std::string date = mailDate(std::time(nullptr));
  if (date.empty()) raise(kTimeError);
  if (to_.empty()) raise(kUndefinedRecipient);
  std::string text = "Date: " + date + "\r\n";
  if (senderMail_.empty()) raise(kUndefinedSender);
  text += "Message-ID: " + mailMessageId(senderMail_, localHostName_) + "\r\n";
  text += "From: " + senderName_ + " <" + senderMail_ + ">\r\n";
  if (!xMailer_.empty()) text += "X-Mailer: " + xMailer_ + "\r\n";
  if (!replyTo_.empty()) text += "Reply-To: " + replyTo_ + "\r\n";
  switch (priority_) {
    case SmtpPriority::High:
      text += "X-Priority: 2 (High)\r\n";
      break;
    case SmtpPriority::Low:
      text += "X-Priority: 4 (Low)\r\n";
      break;
    default:
      text += "X-Priority: 3 (Normal)\r\n";
      break;
  }
  text += "To: " + recipientList(to_) + "\r\n";
  if (!cc_.empty()) text += "Cc: " + recipientList(cc_) + "\r\n";
  if (!bcc_.empty()) text += "Bcc: " + recipientList(bcc_) + "\r\n";
  text += subjectHeader(subject_);
  text += "MIME-Version: 1.0\r\n";
  if (!attachments_.empty()) {
    text += "Content-Type: multipart/mixed; boundary=\"" + std::string(kBoundary) + "\"\r\n";
    text += "\r\n--" + std::string(kBoundary) + "\r\n";
    text += html_ ? "Content-type: text/html; charset=US-ASCII\r\n"
                  : "Content-type: text/plain; charset=US-ASCII\r\n";
  } else {
    text += html_ ? "Content-Type: text/html; charset=\"US-ASCII\"\r\n"
                  : "Content-type: text/plain; charset=\"US-ASCII\"\r\n";
  }
  text += "Content-Transfer-Encoding: 7bit\r\n\r\n";
  return text;
}

void CSmtpCtrl::refuseLineBreaks() const {
  for (const std::string* field : {&senderMail_, &senderName_, &subject_, &xMailer_, &replyTo_}) {
    if (breaksTheLine(*field)) raise(kLineBreakInHeader);
  }
  for (const Recipients* list : {&to_, &cc_, &bcc_}) {
    for (const auto& [name, address] : *list) {
      if (breaksTheLine(name) || breaksTheLine(address)) raise(kLineBreakInHeader);
    }
  }
}

void CSmtpCtrl::send() {
  // Before any byte goes out: a line break here would write commands or headers of its own.
  refuseLineBreaks();
  if (!connection_.isOpen()) connect();
  try {
    transfer();
  } catch (const ECSmtp&) {
    try {
      disconnect();
    } catch (const ECSmtp&) {
      // The first failure is the one to report.
    }
    throw;
  }
}

void CSmtpCtrl::transfer() {
  if (senderMail_.empty()) raise(kUndefinedSender);
  command("MAIL FROM:<" + senderMail_ + ">\r\n", SmtpStep::MailFrom);
  if (to_.empty()) raise(kUndefinedRecipient);
  for (const Recipients* list : {&to_, &cc_, &bcc_}) {
    for (const auto& recipient : *list) {
      command("RCPT TO:<" + recipient.second + ">\r\n", SmtpStep::RcptTo);
    }
  }
  command("DATA\r\n", SmtpStep::Data);
  inData_ = true;
  sendText(header(), SmtpStep::DataBlock);
  if (lines_.empty()) {
    sendText(" \r\n", SmtpStep::DataBlock);
  } else {
    for (const std::string& line : lines_) sendText(bodyLines(line), SmtpStep::DataBlock);
  }
  std::uint64_t total = 0;
  for (const std::string& path : attachments_) sendAttachment(path, total);
  if (!attachments_.empty())
    sendText("\r\n--" + std::string(kBoundary) + "--\r\n", SmtpStep::DataBlock);
  sendText("\r\n.\r\n", SmtpStep::EndOfMessage);
  inData_ = false;
  receiveReply(SmtpStep::EndOfMessage);
}

void CSmtpCtrl::sendAttachment(const std::string& path, std::uint64_t& total) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  sendText("--" + std::string(kBoundary) + "\r\n" +
               "Content-Type: application/x-msdownload; name=\"" + name + "\"\r\n" +
               "Content-Transfer-Encoding: base64\r\n" +
               "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n",
           SmtpStep::DataBlock);

  const File file(std::fopen(path.c_str(), "rb"));
  if (!file) raise(kFileNotExist);
  std::array<std::uint8_t, kAttachmentChunk> chunk{};
  std::uint64_t size = 0;
  for (std::size_t read; (read = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0;)
    size += read;
  total += size;
  if (total / 1024 * 1024 > kAttachmentLimit) raise(kMessageTooBig);
  std::rewind(file.get());

  std::string block;
  std::size_t count = 0;
  for (std::size_t read; (read = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0;) {
    block += mailBase64Encode(std::span(chunk.data(), read));
    block += kCrLf;
    count += read + 2;
    if (count > kAttachmentBlock) {
      sendText(block, SmtpStep::DataBlock);
      block.clear();
      count = 0;
    }
  }
  if (!block.empty()) sendText(block, SmtpStep::DataBlock);
}

}  // namespace ipcam
