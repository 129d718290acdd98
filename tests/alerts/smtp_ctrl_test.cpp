// The SMTP client against scripted servers: the replies, the authentication forms and the bad
// input that no real server sends.
#include "alerts/smtp_ctrl.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "alerts/mail_base64.h"
#include "alerts/scripted_mail_server.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using testing::MailSession;
using testing::ScriptedMailServer;

using Dialog = testing::SmtpDialog;

struct Served {
  explicit Served(Dialog& dialog) : server([&dialog](MailSession& s) { dialog.play(s); }) {}
  ScriptedMailServer server;
};

void address(CSmtpCtrl& client, std::uint16_t port) {
  client.setServer("127.0.0.1", port);
  client.setSenderAddress("camera@viewer.test");
  client.addRecipient("guard@site.test");
  client.setTimeLimit(10s);
}

// The code the send ends with (0 when it went out).
int sendCode(CSmtpCtrl& client) {
  try {
    client.send();
    client.disconnect();
  } catch (const ECSmtp& error) {
    return error.code();
  }
  return 0;
}

bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

TEST(SmtpClient, ErrorTextsAndCommandTable) {
  EXPECT_EQ(smtpErrorText(0), "");
  EXPECT_EQ(smtpErrorText(300), "Server returned error after sending MAIL FROM");
  EXPECT_EQ(smtpErrorText(203), "Undefined at least one reciepent");
  EXPECT_EQ(smtpErrorText(414), "SSL problem");
  EXPECT_EQ(smtpErrorText(417), "AUTH LOGIN is not supported by the server");
  for (const int undefined : {1, 999}) EXPECT_EQ(smtpErrorText(undefined), "Undefined error id");
  // Raised by the connection, so they need words too.
  for (const int code : {109, 210, 403}) {
    EXPECT_NE(smtpErrorText(code), "Undefined error id") << code;
  }
  EXPECT_EQ(smtpCommand(SmtpStep::Data).replyTimeout, 120);
  EXPECT_EQ(smtpCommand(SmtpStep::EndOfMessage).replyTimeout, 600);
  EXPECT_EQ(smtpCommand(SmtpStep::LoginName).errorCode, 407);
  EXPECT_EQ(smtpCommand(SmtpStep::StartTls).errorCode, 413);
}

TEST(SmtpClient, KeywordTest) {
  struct Case {
    const char* reply;
    const char* keyword;
    bool present;
  };
  const Case cases[] = {
      {"250-mail\r\n250-AUTH LOGIN PLAIN\r\n250 STARTTLS\r\n", "AUTH", true},
      {"250-mail\r\n250-AUTH LOGIN PLAIN\r\n250 STARTTLS\r\n", "PLAIN", true},
      {"250-mail\r\n250-AUTH LOGIN PLAIN\r\n250 STARTTLS\r\n", "STARTTLS", true},
      {"250-mail\r\n250-AUTH LOGIN PLAIN\r\n250 STARTTLS\r\n", "CRAM-MD5", false},
      {"250-mail\r\n250-auth=plain\r\n250 OK\r\n", "PLAIN", true},  // '=' joins AUTH and PLAIN
      {"250-mail\r\n250-auth=plain\r\n250 OK\r\n", "AUTH", true},
      {"250-XAUTH LOGIN\r\n", "AUTH", false},
      {"250-AUTHX LOGIN\r\n", "AUTH", false},
      {"AUTH LOGIN\r\n", "AUTH", false},     // never at the first character
      {"250-AUTH LOGIN", "LOGIN", false},    // nothing after it
      {"250-AUTH LOGIN\n", "LOGIN", false},  // a bare LF does not end it
  };
  for (const Case& c : cases) {
    EXPECT_EQ(smtpKeywordPresent(c.reply, c.keyword), c.present) << c.keyword << " in " << c.reply;
  }
}

TEST(SmtpClient, SendsTheDocumentedCommandsAndHeader) {
  Dialog dialog;
  dialog.greeting = "220-mail.test first\r\n220-second\r\n220 ready\r\n";
  dialog.replies["EHLO"] = "250-mail.test\r\n250-SIZE 1000\r\n250 8BITMIME\r\n";
  Served served(dialog);
  CSmtpCtrl client;
  address(client, served.server.port());
  client.addRecipient("boss@site.test", "Boss");
  client.addCcRecipient("cc@site.test");
  client.setSenderName("Viewer");
  client.setPriority(SmtpPriority::High);
  client.addMessageLine("first line");
  client.addMessageLine(".starts with a dot");
  client.addMessageLine(".");
  EXPECT_EQ(sendCode(client), 0);

  const auto commands = dialog.received();
  const std::vector<std::string> expected = {"EHLO " + client.localHostName(),
                                             "MAIL FROM:<camera@viewer.test>",
                                             "RCPT TO:<guard@site.test>",
                                             "RCPT TO:<boss@site.test>",
                                             "RCPT TO:<cc@site.test>",
                                             "DATA",
                                             "QUIT"};
  EXPECT_EQ(commands, expected);

  const std::string message = dialog.body();
  EXPECT_TRUE(std::regex_search(
      message, std::regex("^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                          "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\r\n"
                          "Message-ID: <[0-9a-f]+\\.[0-9a-f]+@viewer\\.test>\r\n")))
      << message;
  const std::size_t afterIds = message.find("\r\n", message.find("Message-ID:")) + 2;
  EXPECT_EQ(message.substr(afterIds),
            "From: Viewer <camera@viewer.test>\r\n"
            "X-Priority: 2 (High)\r\n"
            "To: <guard@site.test>,Boss<boss@site.test>\r\n"
            "Cc: <cc@site.test>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-type: text/plain; charset=\"US-ASCII\"\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "\r\n"
            "first line\r\n"
            // Dot-stuffed on the wire; a lone dot would have ended the message here.
            "..starts with a dot\r\n"
            "..\r\n"
            "\r\n");
}

TEST(SmtpClient, DateHasDayNameZeroPaddingAndTheZoneOffset) {
  struct Case {
    const char* zone;  // POSIX rules: no time zone database needed
    std::time_t when;
    const char* date;
  };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1796969109, "Fri, 11 Dec 2026 07:05:09 +0100"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1783062000, "Fri, 03 Jul 2026 09:00:00 +0200"},
      {"EST5EDT,M3.2.0,M11.1.0", 1767225599, "Wed, 31 Dec 2025 18:59:59 -0500"},
      {"IST-5:30", 1767225600, "Thu, 01 Jan 2026 05:30:00 +0530"},
      {"NST3:30NDT,M3.2.0,M11.1.0", 1767225600, "Wed, 31 Dec 2025 20:30:00 -0330"},
      {"UTC0", 1767225600, "Thu, 01 Jan 2026 00:00:00 +0000"},
  };
  for (const Case& c : cases) {
    platform::test_support::ScopedEnv zone("TZ", c.zone);
    ::tzset();
    EXPECT_EQ(mailDate(c.when), c.date) << c.zone;
  }
  ::tzset();
  EXPECT_EQ(mailDate(0), "");
}

TEST(SmtpClient, MessageIdsAreUniqueAndTakeTheSendersDomain) {
  struct Case {
    const char* sender;
    const char* domain;
  };
  const Case cases[] = {
      {"cam@site.test", "@site.test>"},
      {"no-at-sign", "@viewer-host>"},
      {"odd@", "@viewer-host>"},
      {"odd@dom ain", "@viewer-host>"},
  };
  for (const Case& c : cases) {
    const std::string id = mailMessageId(c.sender, "viewer-host");
    EXPECT_TRUE(id.starts_with("<") && id.ends_with(c.domain)) << id;
  }
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.insert(mailMessageId("cam@site.test", "host"));
  EXPECT_EQ(ids.size(), 1000u);
}

// What a decoder does with the folded Subject: the encoded-words' bytes joined, each word whole
// characters. The independent check (Python's mail parser) is in the peer tests.
std::string decodeFolded(const std::string& header, bool& wordsWhole) {
  std::string decoded;
  wordsWhole = true;
  const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
  for (std::sregex_iterator it(header.begin(), header.end(), word), end; it != end; ++it) {
    const auto bytes = mailBase64Decode((*it)[1].str());
    if (!bytes) return "(not base64)";
    if (!bytes->empty() && (static_cast<unsigned char>((*bytes)[0]) & 0xC0) == 0x80)
      wordsWhole = false;
    decoded += *bytes;
  }
  return decoded;
}

TEST(SmtpClient, LongAndNonAsciiSubjectsAreFoldedIntoShortEncodedWords) {
  std::string euro;
  for (int i = 0; i < 40; ++i) euro += "\xE2\x82\xAC";  // three bytes each
  std::string faces;
  for (int i = 0; i < 30; ++i) faces += "\xF0\x9F\x98\x80";  // four bytes each
  const std::vector<std::string> subjects = {
      "Motion",
      std::string(39, 'a'),  // just fits the first line
      std::string(40, 'a'),  // one byte more: a second line
      "Motion on camera 12 (Parkplatz Nord, Einfahrt) at the main gate of the eastern site",
      "Bewegung erkannt: Kamera \xC3\x9C" + std::string(60, 'x') + "\xC3\xA4\xC3\xB6\xC3\xBC",
      euro,
      faces,
  };
  for (const std::string& subject : subjects) {
    SCOPED_TRACE(subject);
    const std::string header = subjectHeader(subject);
    ASSERT_TRUE(header.starts_with("Subject: =?UTF-8?B?") && header.ends_with("?=\r\n"));
    std::size_t lines = 0;
    for (std::size_t start = 0; start < header.size(); ++lines) {
      const std::size_t end = header.find("\r\n", start);
      ASSERT_NE(end, std::string::npos);
      const std::string line = header.substr(start, end - start);
      EXPECT_LE(line.size(), 76u) << line;
      if (start > 0) {
        EXPECT_TRUE(line.starts_with(" =?UTF-8?B?")) << line;
      }
      start = end + 2;
    }
    bool whole = false;
    EXPECT_EQ(decodeFolded(header, whole), subject);
    EXPECT_TRUE(whole) << header;
    EXPECT_EQ(lines > 1, subject.size() > 39) << header;
  }
  EXPECT_EQ(subjectHeader(""), "");
}

TEST(SmtpClient, SubjectForms) {
  struct Case {
    std::string subject;
    std::string line;  // empty: no Subject line at all
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"Motion", "Subject: =?UTF-8?B?TW90aW9u?=\r\n"},
      {"Bewegung \xE2\x80\x93 Kamera 3", "Subject: =?UTF-8?B?QmV3ZWd1bmcg4oCTIEthbWVyYSAz?=\r\n"},
  };
  for (const Case& c : cases) {
    Dialog dialog;
    Served served(dialog);
    CSmtpCtrl client;
    address(client, served.server.port());
    client.setSubject(c.subject);
    ASSERT_EQ(sendCode(client), 0);
    const std::string message = dialog.body();
    if (c.line.empty()) {
      EXPECT_EQ(message.find("Subject:"), std::string::npos) << message;
    } else {
      EXPECT_NE(message.find(c.line), std::string::npos) << message;
    }
    // No lines: a single blank line stands for the text.
    EXPECT_TRUE(message.ends_with("7bit\r\n\r\n \r\n\r\n")) << message;
  }
}

TEST(SmtpClient, RefusedStepsGiveTheirCodes) {
  struct Case {
    const char* verb;
    const char* reply;
    int code;
    bool quit;  // whether the client still says goodbye
  };
  const Case cases[] = {
      {"GREETING", "554 no service\r\n", 402, false},
      {"EHLO", "500 unknown\r\n", 301, false},
      {"MAIL", "421 shutting down\r\n", 300, true},
      {"RCPT", "550-no such user\r\n550 really\r\n", 309, true},
      {"DATA", "554 no\r\n", 307, true},
      {"END", "552 too much\r\n", 310, true},
      {"QUIT", "500 stay\r\n", 308, true},
  };
  for (const Case& c : cases) {
    Dialog dialog;
    if (std::string(c.verb) == "GREETING") {
      dialog.greeting = c.reply;
    } else {
      dialog.replies[c.verb] = c.reply;
    }
    Served served(dialog);
    CSmtpCtrl client;
    address(client, served.server.port());
    EXPECT_EQ(sendCode(client), c.code) << c.verb;
    EXPECT_EQ(contains(dialog.received(), "QUIT"), c.quit) << c.verb;
  }
}

TEST(SmtpClient, AuthenticationChoice) {
  struct Case {
    const char* ehlo;
    std::string login;
    std::string password;
    int code;
    std::string firstAuthLine;  // empty: no AUTH sent
  };
  const std::string plain = "AUTH PLAIN " + mailBase64Encode(std::string("\0cam\0secret", 11));
  const std::vector<Case> cases = {
      {"250-mail\r\n250 SIZE 100\r\n", "cam", "secret", 0, ""},  // AUTH not offered
      {"250-mail\r\n250 AUTH=PLAIN\r\n", "cam", "secret", 0, plain},
      {"250-mail\r\n250 AUTH PLAIN LOGIN\r\n", "cam", "secret", 0, "AUTH LOGIN"},  // LOGIN first
      {"250-mail\r\n250 AUTH XOAUTH2 GSSAPI\r\n", "cam", "secret", 417, ""},
      {"250-mail\r\n250 AUTH PLAIN\r\n", "", "secret", 204, ""},
      {"250-mail\r\n250 AUTH PLAIN\r\n", "cam", "", 205, ""},
  };
  for (const Case& c : cases) {
    Dialog dialog;
    dialog.replies["EHLO"] = c.ehlo;
    dialog.replies["AUTH"] =
        std::string(c.firstAuthLine == "AUTH LOGIN" ? "334 VXNlcm5hbWU6\r\n" : "235 fine\r\n");
    // The answers to AUTH LOGIN's two prompts arrive as bare Base64 lines.
    dialog.replies[mailBase64Encode(c.login)] = "334 UGFzc3dvcmQ6\r\n";
    dialog.replies[mailBase64Encode(c.password)] = "235 fine\r\n";
    Served served(dialog);
    CSmtpCtrl client;
    address(client, served.server.port());
    client.setLogin(c.login);
    client.setPassword(c.password);
    EXPECT_EQ(sendCode(client), c.code) << c.ehlo;
    const auto commands = dialog.received();
    const auto auth = std::find_if(commands.begin(), commands.end(), [](const std::string& line) {
      return line.starts_with("AUTH");
    });
    EXPECT_EQ(auth == commands.end() ? std::string() : *auth, c.firstAuthLine) << c.ehlo;
    if (c.code == 0) {
      EXPECT_TRUE(contains(commands, "DATA")) << c.ehlo;
    }
  }
}

// The MD5 of the tests comes from OpenSSL, so the client's own MD5 is not checked by itself.
std::string referenceMd5(const std::string& text, bool hex = true) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  if (!hex) return std::string(reinterpret_cast<const char*>(digest), length);
  std::string out;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    out += pair;
  }
  return out;
}

std::string field(const std::string& text, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex("(^|,)" + name + "=\"?([^\",]*)\"?"))) return {};
  return match[2];
}

TEST(SmtpClient, DigestMd5AnswerHasTheDocumentedFormAndValue) {
  std::mutex mutex;
  std::string answer;     // guarded by mutex
  bool verified = false;  // guarded by mutex
  ScriptedMailServer server([&](MailSession& s) {
    s.send("220 ready\r\n");
    s.readLine();
    s.send("250-mail\r\n250 AUTH DIGEST-MD5\r\n");
    if (s.readLine() != "AUTH DIGEST-MD5") return;
    s.send("334 " +
           mailBase64Encode("realm=\"cams.test\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\","
                            "algorithm=md5-sess,charset=utf-8") +
           "\r\n");
    const std::string text = mailBase64Decode(s.readLine()).value_or("");
    const std::string cnonce = field(text, "cnonce");
    const std::string ha1 =
        referenceMd5(referenceMd5("cam:cams.test:secret", false) + ":OA6MG9tEQGm2hh:" + cnonce);
    const std::string ha2 = referenceMd5("AUTHENTICATE:smtp/127.0.0.1");
    const std::string expected =
        referenceMd5(ha1 + ":OA6MG9tEQGm2hh:00000001:" + cnonce + ":auth:" + ha2);
    {
      std::lock_guard lock(mutex);
      answer = text;
      verified = field(text, "response") == expected;
    }
    s.send("334 " + mailBase64Encode("rspauth=whatever") + "\r\n");
    if (!s.readLine().empty()) return;
    s.send("235 welcome\r\n");
    Dialog rest;
    rest.greeting.clear();
    rest.play(s);
  });
  CSmtpCtrl client;
  address(client, server.port());
  client.setLogin("cam");
  client.setPassword("secret");
  EXPECT_EQ(sendCode(client), 0);
  std::lock_guard lock(mutex);
  EXPECT_TRUE(verified) << answer;
  EXPECT_TRUE(
      std::regex_match(answer, std::regex("charset=utf-8,username=\"cam\",realm=\"cams.test\","
                                          "nonce=\"OA6MG9tEQGm2hh\",nc=00000001,"
                                          "cnonce=\"[0-9a-f]+\",digest-uri=\"smtp/127.0.0.1\","
                                          "response=[0-9a-f]{32},qop=auth")))
      << answer;
}

// Servers that misbehave: each ends the send with a defined code within the time limit.
TEST(SmtpClient, BadServersEndWithDefinedCodes) {
  struct Case {
    const char* name;
    std::function<void(MailSession&)> script;
    int code;
  };
  const std::string bigReply(10 * 1024 * 1024, 'x');
  const std::vector<Case> cases = {
      {"silent", [](MailSession& s) { s.readLine(nullptr, 5s); }, 402},
      {"garbage then close", [](MailSession& s) { s.send("hello there\r\nnot smtp\r\n"); }, 400},
      {"closes mid-reply", [](MailSession& s) { s.send("220-almost\r\n220 rea"); }, 400},
      {"10 MB reply", [&bigReply](MailSession& s) { s.send("220-" + bigReply); }, 408},
      {"endless continuation",
       [](MailSession& s) {
         for (int i = 0; i < 2000 && s.send("220-more\r\n"); ++i) {
         }
       },
       408},
      {"digest without nonce",
       [](MailSession& s) {
         s.send("220 ready\r\n");
         s.readLine();
         s.send("250 AUTH DIGEST-MD5\r\n");
         s.readLine();
         s.send("334 " + mailBase64Encode("realm=\"x\",qop=\"auth\"") + "\r\n");
         s.readLine(nullptr, 5s);
       },
       207},
      {"cram challenge not base64",
       [](MailSession& s) {
         s.send("220 ready\r\n");
         s.readLine();
         s.send("250 AUTH CRAM-MD5\r\n");
         s.readLine();
         s.send("334 !!!\r\n");
         s.readLine(nullptr, 5s);
       },
       206},
      {"no STARTTLS",
       [](MailSession& s) {
         Dialog dialog;
         dialog.play(s);
       },
       416},
  };
  for (const Case& c : cases) {
    ScriptedMailServer server(c.script);
    CSmtpCtrl client;
    address(client, server.port());
    client.setLogin("cam");
    client.setPassword("secret");
    client.setTimeLimit(2s);
    if (std::string(c.name) == "no STARTTLS") client.setSecurity(SmtpSecurity::StartTls);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendCode(client), c.code) << c.name;
    // Well under the 300 s the command table allows.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s) << c.name;
  }
}

TEST(SmtpClient, AttachmentErrorsEndTheSendWithoutWaitingForQuit) {
  platform::test_support::TempFolder folder;
  const std::filesystem::path big = folder.path() / "big.avi";
  {
    std::ofstream out(big, std::ios::binary);
    out << std::string(CSmtpCtrl::kAttachmentLimit + 1024, 'v');
  }
  const std::filesystem::path fits = folder.path() / "fits.avi";
  {
    // Just under the limit once cut to whole KiB.
    std::ofstream out(fits, std::ios::binary);
    out << std::string(CSmtpCtrl::kAttachmentLimit + 1023, 'v');
  }
  struct Case {
    std::vector<std::filesystem::path> files;
    int code;
  };
  const std::vector<Case> cases = {
      {{folder.path() / "missing.avi"}, 404},
      {{big}, 405},
      {{fits}, 0},
  };
  for (const Case& c : cases) {
    Dialog dialog;
    Served served(dialog);
    CSmtpCtrl client;
    address(client, served.server.port());
    for (const auto& file : c.files) client.addAttachment(file.string());
    // A QUIT in the middle of DATA would only be message text to the server, and the client
    // would wait out the whole QUIT time-out for an answer that never comes.
    client.setTimeLimit(120s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendCode(client), c.code) << c.files.front();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    if (c.code == 0) {
      EXPECT_TRUE(dialog.body().ends_with("--" + std::string(CSmtpCtrl::kBoundary) + "--\r\n\r\n"));
    }
  }
}

// A line break in a header field would let whoever typed it add commands or headers of their
// own; the client refuses before it even connects.
TEST(SmtpClient, LineBreaksInHeaderFieldsAreRefusedBeforeAnyByteIsSent) {
  struct Case {
    const char* name;
    std::function<void(CSmtpCtrl&)> set;
  };
  const std::string nul("cam\0era@viewer.test", 19);
  const std::vector<Case> cases = {
      {"sender CR LF",
       [](CSmtpCtrl& c) { c.setSenderAddress("cam@viewer.test>\r\nRCPT TO:<victim@else.test"); }},
      {"sender NUL", [&nul](CSmtpCtrl& c) { c.setSenderAddress(nul); }},
      {"sender name LF", [](CSmtpCtrl& c) { c.setSenderName("Viewer\nBcc: victim@else.test"); }},
      {"recipient CR", [](CSmtpCtrl& c) { c.addRecipient("boss@site.test\rDATA"); }},
      {"recipient name", [](CSmtpCtrl& c) { c.addRecipient("boss@site.test", "Boss\r\nX: y"); }},
      {"cc", [](CSmtpCtrl& c) { c.addCcRecipient("cc@site.test\n"); }},
      {"bcc", [](CSmtpCtrl& c) { c.addBccRecipient("bcc@site.test\r\n"); }},
      {"subject", [](CSmtpCtrl& c) { c.setSubject("Motion\r\nBcc: victim@else.test"); }},
      {"reply-to", [](CSmtpCtrl& c) { c.setReplyTo("a@b.test\nX-Evil: 1"); }},
  };
  Dialog dialog;
  Served served(dialog);
  for (const Case& c : cases) {
    CSmtpCtrl client;
    address(client, served.server.port());
    c.set(client);
    EXPECT_EQ(sendCode(client), 210) << c.name;
  }
  EXPECT_EQ(served.server.sessions(), 0);
  EXPECT_TRUE(dialog.received().empty());
}

TEST(SmtpClient, LineBreaksInsideAMessageLineCannotEndTheMessage) {
  Dialog dialog;
  Served served(dialog);
  CSmtpCtrl client;
  address(client, served.server.port());
  client.addMessageLine("file Camera 1\r\n.\r\nMAIL FROM:<evil@else.test>\n.hidden\rend");
  ASSERT_EQ(sendCode(client), 0);
  EXPECT_EQ(
      dialog.received(),
      (std::vector<std::string>{"EHLO " + client.localHostName(), "MAIL FROM:<camera@viewer.test>",
                                "RCPT TO:<guard@site.test>", "DATA", "QUIT"}));
  EXPECT_TRUE(dialog.body().ends_with(
      "\r\nfile Camera 1\r\n..\r\nMAIL FROM:<evil@else.test>\r\n..hidden\r\nend\r\n\r\n"))
      << dialog.body();
}

}  // namespace
}  // namespace ipcam
