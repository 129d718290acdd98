// The mail client against servers none of us wrote: aiosmtpd in its three connection modes
// with each mechanism, and Dovecot's POP3. What arrives is read back by Python's mail parser.
#include "alerts/mail_peers.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "alerts/motion_mail.h"
#include "alerts/pop3.h"
#include "alerts/smtp_ctrl.h"
#include "core/app_state.h"
#include "support/recording_viewer_ui.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::RecordingViewerUi;
using testing::SmtpPeer;
using testing::TestCertificates;

class MailPeers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<platform::test_support::TempFolder>();
    certificates_ = std::make_unique<TestCertificates>(folder_->path());
  }
  static void TearDownTestSuite() {
    certificates_.reset();
    folder_.reset();
  }
  void SetUp() override { ASSERT_TRUE(certificates_->ok) << "the openssl command failed"; }

  static const TestCertificates& certs() { return *certificates_; }
  static MailTlsTrust trustTestCa() {
    MailTlsTrust trust;
    trust.extraCaFile = certs().path("ca.pem");
    return trust;
  }

  static std::unique_ptr<platform::test_support::TempFolder> folder_;
  static std::unique_ptr<TestCertificates> certificates_;
};

std::unique_ptr<platform::test_support::TempFolder> MailPeers::folder_;
std::unique_ptr<TestCertificates> MailPeers::certificates_;

// The value of header `name` in the raw message (first occurrence), without its CR LF.
std::string header(const std::string& raw, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const std::size_t at = ("\r\n" + raw).find(key);
  if (at == std::string::npos) return "(missing)";
  const std::size_t start = at + key.size() - 2;
  return raw.substr(start, raw.find("\r\n", start) - start);
}

// The parser's text part without the line ends that close it (escaped in the info file).
std::string textPart(const testing::ReceivedMail& mail) {
  std::string text = mail.info.at("text");
  while (text.ends_with("\\r\\n")) text.resize(text.size() - 4);
  return text;
}

TEST_F(MailPeers, ModesAndMechanismsDeliverTheMessage) {
  struct Case {
    const char* mode;
    const char* mechanism;
    SmtpSecurity security;
  };
  const Case cases[] = {
      {"plain", "LOGIN", SmtpSecurity::None},
      {"plain", "CRAM-MD5", SmtpSecurity::None},
      {"starttls", "PLAIN", SmtpSecurity::StartTls},
      {"starttls", "CRAM-MD5", SmtpSecurity::StartTls},
      {"tls", "LOGIN", SmtpSecurity::Ssl},
      {"tls", "PLAIN", SmtpSecurity::Ssl},
  };
  std::string clip(3000, '\0');
  for (std::size_t i = 0; i < clip.size(); ++i) clip[i] = static_cast<char>(i * 7 + 3);
  const fs::path clipPath = folder_->path() / "Camera 1_2026-05-04_10-11-12.avi";
  std::ofstream(clipPath, std::ios::binary) << clip;

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + c.mechanism);
    const bool tls = std::string(c.mode) != "plain";
    SmtpPeer peer(c.mode, c.mechanism, tls ? certs().path("server.pem") : "",
                  tls ? certs().path("server.key") : "");
    ASSERT_GT(peer.port(), 0);
    CSmtpCtrl client;
    client.setTlsTrust(trustTestCa());
    client.setServer(c.security == SmtpSecurity::None ? "127.0.0.1" : "localhost",
                     static_cast<std::uint16_t>(peer.port()));
    client.setSecurity(c.security);
    client.setLogin("cam");
    client.setPassword("secret");
    client.setTimeLimit(30s);
    client.setSenderAddress("viewer@site.test");
    client.setSubject("Motion on Camera 1 \xE2\x80\x93 Hof");
    client.addRecipient("guard@site.test");
    client.addRecipient("boss@site.test", "Boss");
    client.addMessageLine("There is a motion happen.");
    client.addAttachment(clipPath.string());
    try {
      client.send();
      client.disconnect();
    } catch (const ECSmtp& error) {
      FAIL() << error.code() << " " << error.text() << " " << client.sslProblem() << "\n"
             << client.lastReply();
    }
    const auto mail = peer.mail(1);
    ASSERT_TRUE(mail.has_value());
    const std::string& raw = mail->raw;
    EXPECT_EQ(mail->info.at("login"), "cam");
    EXPECT_EQ(mail->info.at("from"), "viewer@site.test");
    EXPECT_EQ(mail->info.at("to"), "guard@site.test,boss@site.test");
    EXPECT_EQ(mail->info.at("defects"), "");
    EXPECT_EQ(header(raw, "From"), " <viewer@site.test>");
    EXPECT_EQ(header(raw, "To"), "<guard@site.test>,Boss<boss@site.test>");
    EXPECT_EQ(header(raw, "X-Priority"), "3 (Normal)");
    EXPECT_EQ(header(raw, "MIME-Version"), "1.0");
    EXPECT_EQ(header(raw, "Content-Type"),
              "multipart/mixed; boundary=\"__MESSAGE__ID__54yg6f6h6y456345\"");
    EXPECT_EQ(mail->info.at("subject"), "Motion on Camera 1 \xE2\x80\x93 Hof");
    EXPECT_EQ(textPart(*mail), "There is a motion happen.");
    ASSERT_EQ(mail->info.at("attachments"), clipPath.filename().string());
    std::ifstream attached(mail->stem.string() + "." + clipPath.filename().string(),
                           std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(attached), {}), clip);
  }
}

TEST_F(MailPeers, WrongPasswordIsRefusedInEveryMechanism) {
  struct Case {
    const char* mechanism;
    int code;
  };
  const Case cases[] = {{"LOGIN", 406}, {"PLAIN", 302}, {"CRAM-MD5", 406}};
  for (const Case& c : cases) {
    SmtpPeer peer("starttls", c.mechanism, certs().path("server.pem"), certs().path("server.key"));
    CSmtpCtrl client;
    client.setTlsTrust(trustTestCa());
    client.setServer("localhost", static_cast<std::uint16_t>(peer.port()));
    client.setSecurity(SmtpSecurity::StartTls);
    client.setLogin("cam");
    client.setPassword("guess");
    client.setTimeLimit(30s);
    client.setSenderAddress("viewer@site.test");
    client.addRecipient("guard@site.test");
    int code = 0;
    try {
      client.send();
    } catch (const ECSmtp& error) {
      code = error.code();
    }
    EXPECT_EQ(code, c.code) << c.mechanism << ": " << client.lastReply();
    EXPECT_FALSE(peer.anyMail());
  }
}

TEST_F(MailPeers, CertificateProblemsEnd414AndTheLogSaysWhy) {
  struct Case {
    const char* name;
    const char* cert;
    const char* host;
    bool trustCa;
    int index;  // the mail page's security list
    const char* reason;
  };
  const Case cases[] = {
      {"another name", "other", "localhost", true, 1, "hostname mismatch"},
      {"another address", "other", "127.0.0.1", true, 4, "IP address mismatch"},
      {"unknown issuer", "server", "localhost", false, 2, "unable to get local issuer certificate"},
  };
  RecordingViewerUi ui;
  appState().ui.store(&ui);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool implicit = c.index < 4;
    SmtpPeer peer(implicit ? "tls" : "starttls", "", certs().path(std::string(c.cert) + ".pem"),
                  certs().path(std::string(c.cert) + ".key"));
    platform::test_support::ScopedEnv trust(
        "IPCAM_MAIL_CA_FILE", c.trustCa ? std::optional(certs().path("ca.pem")) : std::nullopt);
    MotionMailSettings settings;
    settings.recipient[0] = "guard@site.test";
    settings.sender = "viewer@site.test";
    settings.smtpServer = c.host;
    settings.smtpPort = peer.port();
    settings.smtpAuth = 1;
    settings.smtpAccount = "cam";
    settings.smtpPassword = "secret";
    settings.smtpSslTls = c.index;
    MailWorker worker;
    ASSERT_TRUE(worker.post(3, settings, "clip.avi"));
    ASSERT_TRUE(testing::waitFor([&] { return worker.finished() == 1; }, 30s));
    const auto events = ui.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().channel, 3);
    EXPECT_EQ(
        events.back().text.rfind("Send Mail Error ! SSL problem (certificate check failed: ", 0),
        0u)
        << events.back().text;
    EXPECT_NE(events.back().text.find(c.reason), std::string::npos) << events.back().text;
    EXPECT_FALSE(peer.anyMail());
  }
  appState().ui.store(nullptr);
}

TEST_F(MailPeers, MotionMailThroughTheWorkerOverStartTls) {
  SmtpPeer peer("starttls", "", certs().path("server.pem"), certs().path("server.key"));
  platform::test_support::ScopedEnv trust("IPCAM_MAIL_CA_FILE", certs().path("ca.pem"));
  ViewerSettings viewer;
  viewer.recipient[2] = "guard@site.test";
  viewer.recipient[9] = "boss@site.test";
  viewer.subject = "Bewegung erkannt";
  viewer.sender = "viewer@site.test";
  viewer.smtpServer = "localhost";
  viewer.smtpPort = peer.port();
  viewer.smtpAuth = 1;
  viewer.smtpAccount = "cam";
  viewer.smtpPassword = "secret";
  viewer.smtpSslTls = 5;  // "TLS (Gmail)": STARTTLS
  MailWorker worker;
  const std::string file = "/home/op/Data/Record/Camera 2/Camera 2_2026-05-04_10-11-12.avi";
  ASSERT_TRUE(worker.post(1, MotionMailSettings::from(viewer), file));
  const auto mail = peer.mail(1, 30s);
  ASSERT_TRUE(mail.has_value());
  EXPECT_EQ(mail->info.at("login"), "cam");
  EXPECT_EQ(mail->info.at("to"), "guard@site.test,boss@site.test");
  EXPECT_EQ(mail->info.at("subject"), "Bewegung erkannt");
  EXPECT_EQ(mail->info.at("attachments"), "");
  EXPECT_EQ(
      textPart(*mail),
      "There is a motion happen. Please look your Tarsil Utility. Motion Record File Name is " +
          file);
  EXPECT_EQ(header(mail->raw, "Content-type"), "text/plain; charset=\"US-ASCII\"");
  EXPECT_EQ(header(mail->raw, "Content-Transfer-Encoding"), "7bit");
}

// Python's mail parser is the independent reader of the Date, the Message-ID and a folded
// subject.
TEST_F(MailPeers, PythonReadsTheDateMessageIdAndAFoldedSubject) {
  SmtpPeer peer("plain", "", "", "");
  const std::string subject =
      "Bewegung erkannt \xE2\x80\x93 Kamera 12 \xC2\xBB Parkplatz Nord, Einfahrt "
      "\xC3\x96stliches Tor \xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC und noch viel mehr Text "
      "\xF0\x9F\x98\x80 am Ende";
  CSmtpCtrl client;
  client.setServer("127.0.0.1", static_cast<std::uint16_t>(peer.port()));
  client.setTimeLimit(30s);
  client.setAuthenticate(false);
  client.setSenderAddress("viewer@site.test");
  client.setSubject(subject);
  client.addRecipient("guard@site.test");
  const std::time_t before = std::time(nullptr);
  ASSERT_NO_THROW({
    client.send();
    client.disconnect();
  });
  const auto mail = peer.mail(1);
  ASSERT_TRUE(mail.has_value());
  EXPECT_EQ(mail->info.at("defects"), "");
  EXPECT_EQ(mail->info.at("subject"), subject);
  EXPECT_NE(mail->raw.find("\r\n =?UTF-8?B?"), std::string::npos) << "not folded";
  EXPECT_TRUE(std::regex_match(mail->info.at("message-id"),
                               std::regex("<[0-9a-f]+\\.[0-9a-f]+@site\\.test>")))
      << mail->info.at("message-id");

  // The parser's reading, in its ISO form with the offset: the time we sent, in our zone.
  std::tm local{};
  ::localtime_r(&before, &local);
  const long offset = local.tm_gmtoff / 60;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                (offset < 0 ? -offset : offset) / 60, (offset < 0 ? -offset : offset) % 60);
  const std::string date = mail->info.at("date");
  ASSERT_EQ(date.size(), 25u) << date;
  EXPECT_EQ(date.substr(19), zone) << date;
  std::tm parsed{};
  ASSERT_NE(::strptime(date.substr(0, 19).c_str(), "%Y-%m-%dT%H:%M:%S", &parsed), nullptr);
  const long seconds = parsed.tm_hour * 3600L + parsed.tm_min * 60L + parsed.tm_sec;
  const long sent = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
  EXPECT_EQ(parsed.tm_mday, local.tm_mday);
  EXPECT_LE(std::labs(seconds - sent), 60) << date;
}

// A private mail server with a certificate no authority signed: refused with its fingerprint
// until the user trusts exactly that certificate; then a changed certificate is refused again.
TEST_F(MailPeers, PinnedCertificateIsTheOnlyOneAccepted) {
  TestCertificates& made = *certificates_;
  ASSERT_TRUE(made.selfSigned("private", "mail.private.lan"));
  ASSERT_TRUE(made.selfSigned("replaced", "mail.private.lan"));
  const std::string pin = made.fingerprint("private");
  ASSERT_EQ(pin.size(), 95u) << pin;
  struct Case {
    const char* name;
    const char* cert;
    const char* mode;
    std::string pin;
    int code;
    MailCertificateRefusal refusal;
    std::string fingerprint;  // reported with the refusal
    const char* detail;
  };
  std::string lowerPin = pin;
  for (char& c : lowerPin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {"not pinned", "private", "tls", "", 414, MailCertificateRefusal::Untrusted, pin,
       "self-signed certificate"},
      {"not pinned, STARTTLS", "private", "starttls", "", 414, MailCertificateRefusal::Untrusted,
       pin, "self-signed certificate"},
      // The name on it (mail.private.lan) is not the one dialled (127.0.0.1): a pinned leaf is
      // trusted as it is.
      {"pinned", "private", "tls", pin, 0, MailCertificateRefusal::None, "", ""},
      {"pinned, STARTTLS, written in lower case", "private", "starttls", lowerPin, 0,
       MailCertificateRefusal::None, "", ""},
      {"changed", "replaced", "tls", pin, 414, MailCertificateRefusal::Changed,
       made.fingerprint("replaced"), "the server's certificate has changed"},
      // Even a certificate the trusted authority signed is not the pinned one.
      {"changed to a signed one", "server", "starttls", pin, 414, MailCertificateRefusal::Changed,
       made.fingerprint("server"), "the server's certificate has changed"},
  };
  platform::test_support::ScopedEnv trust("IPCAM_MAIL_CA_FILE", certs().path("ca.pem"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpPeer peer(c.mode, "", certs().path(std::string(c.cert) + ".pem"),
                  certs().path(std::string(c.cert) + ".key"));
    MotionMailSettings settings;
    settings.recipient[0] = "guard@site.test";
    settings.sender = "viewer@site.test";
    settings.smtpServer = "127.0.0.1";
    settings.smtpPort = peer.port();
    settings.smtpAuth = 1;
    settings.smtpAccount = "cam";
    settings.smtpPassword = "secret";
    settings.smtpSslTls = std::string(c.mode) == "tls" ? 1 : 4;
    settings.smtpCertificatePin = c.pin;
    const MailResult result = sendTestMail(settings);
    EXPECT_EQ(result.code, c.code) << result.text << " " << result.detail;
    EXPECT_EQ(result.refusal, c.refusal);
    EXPECT_EQ(result.fingerprint, c.fingerprint);
    EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
    if (c.code == 0) {
      const auto mail = peer.mail(1);
      ASSERT_TRUE(mail.has_value());
      EXPECT_EQ(mail->info.at("login"), "cam");
      EXPECT_EQ(textPart(*mail), testMailText());
    } else {
      EXPECT_FALSE(peer.anyMail());
    }
  }
}

TEST(Pop3Peer, LogsInAndOutAndNamesAWrongPassword) {
  testing::Pop3Peer dovecot;
  struct Case {
    const char* password;
    int result;
    const char* text;
  };
  const Case cases[] = {{"secret", 1, "OK"}, {"wrong", 0, "Invalid username/password combination"}};
  for (const Case& c : cases) {
    CPOP3 pop3("127.0.0.1", dovecot.port(), "cam", c.password);
    EXPECT_EQ(pop3.connect(), c.result) << c.password << "\n" << dovecot.log();
    EXPECT_EQ(pop3.errorText(), c.text);
    EXPECT_EQ(pop3.connected(), c.result == 1);
    EXPECT_EQ(pop3.disconnect(), 1);
    if (c.result == 1) {
      EXPECT_TRUE(pop3.lastResponse().starts_with("+OK")) << pop3.lastResponse();
    }
  }
}

}  // namespace
}  // namespace ipcam
