#include "alerts/motion_mail.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "alerts/pop3.h"
#include "core/channel_reports.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

constexpr const char* kMotionText =
    "There is a motion happen. Please look your Tarsil Utility. Motion Record File Name is ";
constexpr const char* kNoFileText = "Data Directory. (set with the utility)";
constexpr const char* kMailError = "Send Mail Error !";
constexpr const char* kTestText =
    "This is a test e-mail from the IP camera viewer: motion alerts will reach this address.";

}  // namespace

MotionMailSettings MotionMailSettings::from(const ViewerSettings& settings) {
  MotionMailSettings mail;
  mail.recipient = settings.recipient;
  mail.subject = settings.subject;
  mail.sender = settings.sender;
  mail.smtpServer = settings.smtpServer;
  mail.smtpPort = settings.smtpPort;
  mail.smtpAuth = settings.smtpAuth;
  mail.smtpAccount = settings.smtpAccount;
  mail.smtpPassword = settings.smtpPassword;
  mail.smtpSslTls = settings.smtpSslTls;
  mail.pop3BeforeSmtp = settings.pop3BeforeSmtp;
  mail.pop3Server = settings.pop3Server;
  mail.pop3Port = settings.pop3Port;
  mail.pop3Account = settings.pop3Account;
  mail.pop3Password = settings.pop3Password;
  mail.smtpCertificatePin = settings.smtpCertificatePin;
  return mail;
}

std::string motionMailText(const std::string& fileName) {
  return std::string(kMotionText) + (fileName.empty() ? std::string(kNoFileText) : fileName);
}

SmtpSecurity motionMailSecurity(std::int32_t index) {
  if (index >= 1 && index <= 3) return SmtpSecurity::Ssl;
  if (index >= 4 && index <= 6) return SmtpSecurity::StartTls;
  return SmtpSecurity::None;
}

std::string testMailText() {
  return kTestText;
}

namespace {

void fillMail(CSmtpCtrl& client, const MotionMailSettings& settings, std::string line) {
  client.addMessageLine(std::move(line));
  client.setSubject(settings.subject);
  for (const std::string& address : settings.recipient) {
    if (!address.empty()) client.addRecipient(address);
  }
  client.setSenderAddress(settings.sender);
  // A port outside 1-65535 cannot be dialled; 0 lets the client take the system's mail port.
  const bool portValid = settings.smtpPort > 0 && settings.smtpPort <= 65535;
  client.setServer(settings.smtpServer,
                   portValid ? static_cast<std::uint16_t>(settings.smtpPort) : 0);
  client.setAuthenticate(settings.smtpAuth != 0 && settings.pop3BeforeSmtp == 0);
  client.setLogin(settings.smtpAccount);
  client.setPassword(settings.smtpPassword);
  client.setSecurity(motionMailSecurity(settings.smtpSslTls));
  client.setPinnedCertificate(settings.smtpCertificatePin);
}

MailResult sendMail(const MotionMailSettings& settings, std::string line) {
  if (settings.pop3BeforeSmtp != 0) {
    CPOP3 pop3(settings.pop3Server, settings.pop3Port, settings.pop3Account, settings.pop3Password);
    if (pop3.connect() != 0) pop3.disconnect();
    platform::trace("POP3 before SMTP: %s", pop3.errorText().c_str());
  }
  MailResult result;
  try {
    CSmtpCtrl client;
    try {
      fillMail(client, settings, std::move(line));
      client.send();
      // The QUIT comes with the client's end: a server that fumbles it after accepting the
      // message has still got the mail.
    } catch (const ECSmtp& error) {
      result.code = error.code();
      result.text = error.text();
      if (error.code() == kMailIoTls) result.detail = client.sslProblem();
      result.stopped = client.stopped();
      result.refusal = client.certificateRefusal();
      if (result.refusal != MailCertificateRefusal::None)
        result.fingerprint = client.serverFingerprint();
    }
  } catch (const ECSmtp& error) {
    result.code = error.code();
    result.text = error.text();
  }
  return result;
}

}  // namespace

void fillMotionMail(CSmtpCtrl& client, const MotionMailSettings& settings,
                    const std::string& fileName) {
  fillMail(client, settings, motionMailText(fileName));
}

MailResult sendMotionMail(const MotionMailSettings& settings, const std::string& fileName) {
  return sendMail(settings, motionMailText(fileName));
}

MailResult sendTestMail(const MotionMailSettings& settings) {
  return sendMail(settings, testMailText());
}

std::string mailErrorLogLine(const MailResult& result) {
  std::string line = std::string(kMailError) + " " + result.text;
  if (!result.detail.empty()) line += " (" + result.detail + ")";
  return line;
}

struct MailWorker::State {
  struct Job {
    int channel;
    MotionMailSettings settings;
    std::string fileName;
  };

  explicit State(Sender send) : sender(std::move(send)) {}

  const Sender sender;  // written once before the thread starts
  std::mutex mutex;
  std::condition_variable wake;  // a job arrived or the worker stops
  std::deque<Job> jobs;          // guarded by mutex
  bool stopping = false;         // guarded by mutex
  std::size_t finished = 0;      // guarded by mutex
};

MailWorker::MailWorker(Sender sender) : state_(std::make_shared<State>(std::move(sender))) {}

MailWorker::~MailWorker() {
  stop();
}

bool MailWorker::post(int channel, MotionMailSettings settings, std::string fileName) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return false;
    if (state_->jobs.size() >= kQueueLimit) {
      logChannelEvent(channel,
                      std::string(kMailError) + " Too many mails waiting; this one is dropped");
      return false;
    }
    state_->jobs.push_back({channel, std::move(settings), std::move(fileName)});
  }
  state_->wake.notify_all();
  if (slot_.running()) return true;
  // The thread holds its own share of the state: after an abandon it may outlive the worker.
  slot_.start(
      runFlag_,
      [state = state_](const platform::ThreadRun& run) {
        for (;;) {
          State::Job job;
          {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
            if (state->stopping || !run.running()) return;
            job = std::move(state->jobs.front());
            state->jobs.pop_front();
          }
          const MailResult result = state->sender(job.settings, job.fileName);
          if (result.code != 0 && !result.stopped && !run.abandoned()) {
            logChannelEvent(job.channel, mailErrorLogLine(result));
          }
          std::lock_guard lock(state->mutex);
          ++state->finished;
        }
      },
      "mail");
  return true;
}

bool MailWorker::stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->jobs.clear();
  }
  state_->wake.notify_all();
  return slot_.stop();
}

std::size_t MailWorker::finished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

MailWorker& motionMailWorker() {
  // Its thread holds its own share of the queue, so even a thread given up on at exit
  // touches nothing this destructor frees.
  static MailWorker worker;
  return worker;
}

namespace {

struct TestMailThread {
  platform::RunFlag runFlag{0};  // written by the slot only
  platform::ThreadSlot slot;
};

TestMailThread& testMailThread() {
  // Lives until exit: a test mail thread given up on may still be finishing its send.
  static auto* const thread = new TestMailThread();
  return *thread;
}

}  // namespace

void stopMotionMail() {
  motionMailWorker().stop();
  testMailThread().slot.stop();
}

bool startTestMail(MotionMailSettings settings, std::function<void(const MailResult&)> done) {
  TestMailThread& thread = testMailThread();
  if (thread.slot.running()) return false;
  return thread.slot.start(
      thread.runFlag,
      [settings = std::move(settings), done = std::move(done)](const platform::ThreadRun& run) {
        const MailResult result = sendTestMail(settings);
        if (!run.abandoned()) done(result);
      },
      "test mail");
}

void cancelTestMail() {
  TestMailThread& thread = testMailThread();
  // A mail that has already ended is only collected, which takes no time; one still on its
  // way is told to give up and left to end on its own.
  if (thread.slot.running()) {
    thread.slot.requestStop();
  } else {
    thread.slot.stop();
  }
}

}  // namespace ipcam
