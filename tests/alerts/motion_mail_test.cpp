// How the motion mail is filled and sent, the POP3 log-in before it, and the mail thread.
#include "alerts/motion_mail.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "alerts/pop3.h"
#include "alerts/scripted_mail_server.h"
#include "core/app_state.h"
#include "support/recording_viewer_ui.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using testing::MailSession;
using testing::ScriptedMailServer;
using testing::SmtpDialog;

// A POP3 server that answers "-ERR" at `failAt` (0 greeting, 1 USER, 2 PASS, -1 never) and
// keeps the commands it got.
struct Pop3Script {
  explicit Pop3Script(int fail) : failAt(fail) {}
  void play(MailSession& s) {
    const char* ok[] = {"+OK ready\r\n", "+OK\r\n", "+OK logged in\r\n"};
    for (int step = 0; step < 3; ++step) {
      if (step > 0) {
        bool got = false;
        const std::string line = s.readLine(&got);
        if (!got) return;
        std::lock_guard lock(mutex);
        commands.push_back(line);
      }
      s.send(step == failAt ? "-ERR no\r\n" : ok[step]);
      if (step == failAt) return;
    }
    const std::string quit = s.readLine();
    {
      std::lock_guard lock(mutex);
      commands.push_back(quit);
    }
    s.send("+OK bye\r\n");
  }
  std::vector<std::string> received() {
    std::lock_guard lock(mutex);
    return commands;
  }
  const int failAt;
  std::mutex mutex;
  std::vector<std::string> commands;  // guarded by mutex
};

TEST(Pop3, ErrorTextsPerStep) {
  struct Case {
    int failAt;
    int result;
    const char* text;
  };
  const Case cases[] = {
      {-1, 1, "OK"},
      {0, 0, "Server didn't connect"},
      {1, 0, "Bad user name"},
      {2, 0, "Invalid username/password combination"},
  };
  for (const Case& c : cases) {
    Pop3Script script(c.failAt);
    ScriptedMailServer server([&script](MailSession& s) { script.play(s); });
    CPOP3 pop3("127.0.0.1", server.port(), "cam", "secret");
    EXPECT_EQ(pop3.connect(), c.result) << c.failAt;
    EXPECT_EQ(pop3.errorText(), c.text) << c.failAt;
    EXPECT_EQ(pop3.disconnect(), 1);
  }
  // Nobody listens on a port that was just freed.
  int port = 0;
  {
    port = ScriptedMailServer([](MailSession&) {}).port();
  }
  CPOP3 unreachable("127.0.0.1", port, "cam", "secret");
  EXPECT_EQ(unreachable.connect(), 0);
  EXPECT_EQ(unreachable.errorText(), "Unable to connect to server");
  // A server that hangs up instead of greeting has not said yes.
  ScriptedMailServer hangsUp([](MailSession&) {});
  CPOP3 cut("127.0.0.1", hangsUp.port(), "cam", "secret");
  EXPECT_EQ(cut.connect(), 0);
  EXPECT_EQ(cut.errorText(), "Socket Error");
}

TEST(MotionMail, TextAndSecurityIndex) {
  EXPECT_EQ(motionMailText(""),
            "There is a motion happen. Please look your Tarsil Utility. Motion Record File Name is "
            "Data Directory. (set with the utility)");
  EXPECT_EQ(motionMailText("/data/a.avi"),
            "There is a motion happen. Please look your Tarsil Utility. Motion Record File Name is "
            "/data/a.avi");
  const SmtpSecurity expected[] = {
      SmtpSecurity::None,     SmtpSecurity::Ssl,      SmtpSecurity::Ssl,     SmtpSecurity::Ssl,
      SmtpSecurity::StartTls, SmtpSecurity::StartTls, SmtpSecurity::StartTls};
  for (int index = 0; index < 7; ++index)
    EXPECT_EQ(motionMailSecurity(index), expected[index]) << index;
  EXPECT_EQ(motionMailSecurity(7), SmtpSecurity::None);
  EXPECT_EQ(motionMailSecurity(-1), SmtpSecurity::None);
}

// With POP3 before SMTP on, the SMTP side never authenticates, whatever SMTP_Auth says, and
// the mail goes out even when the POP3 log-in fails.
TEST(MotionMail, Pop3BeforeSmtpReplacesSmtpAuthentication) {
  struct Case {
    int pop3Before;
    int pop3FailAt;
    bool smtpAuth;  // whether AUTH is expected on the SMTP side
  };
  const Case cases[] = {{0, -1, true}, {1, -1, false}, {1, 2, false}};
  for (const Case& c : cases) {
    Pop3Script pop3(c.pop3FailAt);
    ScriptedMailServer pop3Server([&pop3](MailSession& s) { pop3.play(s); });
    SmtpDialog smtp;
    smtp.replies["EHLO"] = "250-mail\r\n250 AUTH PLAIN\r\n";
    smtp.replies["AUTH"] = "235 fine\r\n";
    ScriptedMailServer smtpServer([&smtp](MailSession& s) { smtp.play(s); });
    MotionMailSettings settings;
    settings.recipient[0] = "guard@site.test";
    settings.sender = "viewer@site.test";
    settings.smtpServer = "127.0.0.1";
    settings.smtpPort = smtpServer.port();
    settings.smtpAuth = 1;
    settings.smtpAccount = "cam";
    settings.smtpPassword = "secret";
    settings.pop3BeforeSmtp = c.pop3Before;
    settings.pop3Server = "127.0.0.1";
    settings.pop3Port = pop3Server.port();
    settings.pop3Account = "box";
    settings.pop3Password = "word";
    const MailResult result = sendMotionMail(settings, "");
    EXPECT_EQ(result.code, 0) << result.text;
    const auto commands = smtp.received();
    const bool authSent =
        std::any_of(commands.begin(), commands.end(),
                    [](const std::string& line) { return line.starts_with("AUTH"); });
    EXPECT_EQ(authSent, c.smtpAuth) << c.pop3Before << " " << c.pop3FailAt;
    EXPECT_NE(std::find(commands.begin(), commands.end(), "DATA"), commands.end());
    if (c.pop3Before != 0) {
      const auto logIn = pop3.received();
      ASSERT_GE(logIn.size(), 2u);
      EXPECT_EQ(logIn[0], "USER box");
      EXPECT_EQ(logIn[1], "PASS word");
    } else {
      EXPECT_TRUE(pop3.received().empty());
    }
  }
}

// A server that never greets must not hold up shutdown: stopping the mail thread ends the
// send well before the greeting time-out.
TEST(MotionMail, StoppingTheWorkerEndsASendInProgress) {
  ScriptedMailServer silent([](MailSession& s) { s.readLine(nullptr, 30s); });
  MailWorker worker;
  MotionMailSettings settings;
  settings.recipient[0] = "guard@site.test";
  settings.sender = "viewer@site.test";
  settings.smtpServer = "127.0.0.1";
  settings.smtpPort = silent.port();
  ASSERT_TRUE(worker.post(0, settings, "a.avi"));
  ASSERT_TRUE(testing::waitFor([&] { return silent.sessions() == 1; }, 20s));
  EXPECT_TRUE(worker.stop());  // ended within its one second, not abandoned
  EXPECT_FALSE(worker.post(0, settings, "b.avi"));
}

TEST(MotionMail, GreetingTimeOutGives402) {
  ScriptedMailServer silent([](MailSession& s) { s.readLine(nullptr, 30s); });
  CSmtpCtrl client;
  client.setServer("127.0.0.1", silent.port());
  client.setSenderAddress("viewer@site.test");
  client.addRecipient("guard@site.test");
  client.setTimeLimit(1s);
  try {
    client.send();
    FAIL() << "sent to a server that never greeted";
  } catch (const ECSmtp& error) {
    EXPECT_EQ(error.code(), 402);
    EXPECT_EQ(error.text(), "Server not responding");
  }
}

// A server that takes the connection and then says nothing useful costs the mail in hand its
// greeting time-out (30 s, no test limit here), and the mail queued behind it still goes out.
TEST(MotionMail, ASilentOrGarbageServerCostsOneMailNotTheQueue) {
  struct Case {
    const char* name;
    ScriptedMailServer::Script script;
    int security = 0;  // the mail page's list
  };
  const std::vector<Case> cases = {
      {"silent", [](MailSession& s) { s.readLine(nullptr, 50s); }},
      {"silent in the TLS handshake", [](MailSession& s) { s.readLine(nullptr, 50s); }, 1},
      {"endless continuation lines",
       [](MailSession& s) {
         const auto end = std::chrono::steady_clock::now() + 50s;
         // Paced by the client's silence, so the reply never fills the receive buffer.
         while (std::chrono::steady_clock::now() < end && s.send("220-still starting\r\n")) {
           bool ok = false;
           s.readLine(&ok, 200ms);
         }
       }},
  };
  testing::RecordingViewerUi ui;
  appState().ui.store(&ui);
  struct Run {
    std::unique_ptr<ScriptedMailServer> bad;
    std::unique_ptr<SmtpDialog> dialog;
    std::unique_ptr<ScriptedMailServer> good;
    std::unique_ptr<MailWorker> worker;
  };
  std::vector<Run> runs;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Run run;
    run.bad = std::make_unique<ScriptedMailServer>(cases[i].script);
    run.dialog = std::make_unique<SmtpDialog>();
    run.good = std::make_unique<ScriptedMailServer>(
        [dialog = run.dialog.get()](MailSession& s) { dialog->play(s); });
    run.worker = std::make_unique<MailWorker>();
    MotionMailSettings settings;
    settings.recipient[0] = "guard@site.test";
    settings.sender = "viewer@site.test";
    settings.smtpServer = "127.0.0.1";
    settings.smtpPort = run.bad->port();
    settings.smtpSslTls = cases[i].security;
    ASSERT_TRUE(run.worker->post(static_cast<int>(i), settings, "first.avi"));
    settings.smtpPort = run.good->port();
    settings.smtpSslTls = 0;
    ASSERT_TRUE(run.worker->post(static_cast<int>(i), settings, "second.avi"));
    runs.push_back(std::move(run));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_TRUE(testing::waitFor([&] { return runs[i].worker->finished() == 2; }, 90s));
    EXPECT_NE(runs[i].dialog->body().find("second.avi"), std::string::npos);
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 25s);
  EXPECT_LT(took, 60s);
  std::vector<std::string> lines;
  for (const auto& event : ui.events()) lines.push_back(event.text);
  EXPECT_EQ(lines,
            std::vector<std::string>(cases.size(), "Send Mail Error ! Server not responding"));
  appState().ui.store(nullptr);
}

}  // namespace
}  // namespace ipcam
