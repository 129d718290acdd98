// The mail client against servers none of us wrote: aiosmtpd in its three connection modes
// with each mechanism, and Dovecot's POP3. What arrives is read back by Python's mail parser.
#include "alerts/mail_peers.h"

#include <gtest/gtest.h>

#include <fstream>
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
  static MailTlsTrust trustTestCa() { return {certs().path("ca.pem")}; }

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
