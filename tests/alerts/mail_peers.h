#pragma once

// Real mail servers as test peers on 127.0.0.1: aiosmtpd (Debian's python3-aiosmtpd, run by
// /usr/bin/python3) and Dovecot's POP3, plus a test certificate authority made with the
// openssl command. A missing package fails the test with the package's name.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "interop/peer_process.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline int freeLoopbackPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

inline bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A CA, a server certificate for "localhost" and 127.0.0.1 signed by it, and one for another
// name signed by it too.
struct TestCertificates {
  explicit TestCertificates(const fs::path& folder) : dir(folder) {
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ok = run("openssl req -x509" + key + " -keyout " + path("ca.key") + " -out " + path("ca.pem") +
             " -days 2 -subj '/CN=Mail Test CA' -addext basicConstraints=critical,CA:TRUE"
             " -addext keyUsage=critical,keyCertSign,cRLSign") &&
         issue("server", "localhost", "DNS:localhost,IP:127.0.0.1") &&
         issue("other", "other.example", "DNS:other.example");
  }

  bool issue(const std::string& name, const std::string& commonName, const std::string& alt) {
    std::ofstream(dir / (name + ".ext"))
        << "subjectAltName=" << alt << "\nextendedKeyUsage=serverAuth\n";
    return run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
               path(name + ".key") + " -out " + path(name + ".csr") + " -subj '/CN=" + commonName +
               "'") &&
           run("openssl x509 -req -in " + path(name + ".csr") + " -CA " + path("ca.pem") +
               " -CAkey " + path("ca.key") + " -CAcreateserial -days 2 -out " +
               path(name + ".pem") + " -extfile " + path(name + ".ext"));
  }

  // A certificate that signs itself, as a private mail server has it.
  bool selfSigned(const std::string& name, const std::string& commonName) {
    return run(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
        path(name + ".key") + " -out " + path(name + ".pem") + " -days 2 -subj '/CN=" + commonName +
        "'");
  }

  // Its SHA-256 fingerprint as the openssl command prints it ("AB:CD:...").
  std::string fingerprint(const std::string& name) const {
    const std::string out = path(name + ".sha256");
    if (!run("openssl x509 -noout -fingerprint -sha256 -in " + path(name + ".pem") + " -out " +
             out)) {
      return {};
    }
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    const std::size_t equals = line.find('=');
    return equals == std::string::npos ? std::string() : line.substr(equals + 1);
  }

  std::string path(const std::string& name) const { return (dir / name).string(); }

  fs::path dir;
  bool ok = false;
};

// One received message as the peer's Python mail parser saw it.
struct ReceivedMail {
  std::string raw;                          // the data as it arrived
  std::map<std::string, std::string> info;  // from, to, login, subject, text, attachments
  fs::path stem;                            // N: N.<attachment name> holds each attachment
};

class SmtpPeer {
 public:
  // mode "plain", "starttls" or "tls"; mechanism "LOGIN", "PLAIN", "CRAM-MD5" or "" (all).
  SmtpPeer(const std::string& mode, const std::string& mechanism, const std::string& cert,
           const std::string& key) {
    EXPECT_TRUE(fs::exists("/usr/lib/python3/dist-packages/aiosmtpd"))
        << "aiosmtpd is missing: apt-get install python3-aiosmtpd";
    std::vector<std::string> arguments = {std::string(IPCAM_TESTS_DIR) + "/alerts/smtp_peer.py",
                                          "--mode", mode, "--folder", folder_.path().string()};
    if (!mechanism.empty()) arguments.insert(arguments.end(), {"--mechanism", mechanism});
    if (!cert.empty()) arguments.insert(arguments.end(), {"--cert", cert, "--key", key});
    process_.start("/usr/bin/python3", arguments);
    const std::string line =
        readUntil(process_.output(), PeerClock::now() + 30s,
                  [](const std::string& text) { return text.find('\n') != std::string::npos; });
    if (line.starts_with("PORT ")) port_ = std::stoi(line.substr(5));
    EXPECT_GT(port_, 0) << "the SMTP peer did not start: " << process_.errors(1s);
  }

  int port() const { return port_; }

  // Waits for the n-th message (1-based).
  std::optional<ReceivedMail> mail(int n, std::chrono::seconds limit = 20s) const {
    const fs::path stem = folder_.path() / std::to_string(n);
    if (!waitFor([&] { return fs::exists(stem.string() + ".info"); }, limit)) return std::nullopt;
    ReceivedMail mail;
    mail.stem = stem;
    std::ifstream raw(stem.string() + ".eml", std::ios::binary);
    mail.raw.assign(std::istreambuf_iterator<char>(raw), {});
    std::ifstream info(stem.string() + ".info");
    for (std::string line; std::getline(info, line);) {
      const std::size_t tab = line.find('\t');
      if (tab != std::string::npos) mail.info[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return mail;
  }

  bool anyMail() const { return fs::exists(folder_.path() / "1.eml"); }

 private:
  platform::test_support::TempFolder folder_;
  PeerProcess process_;
  int port_ = 0;
};

// Dovecot's POP3 with a private configuration: one passwd-file user "cam" / "secret".
class Pop3Peer {
 public:
  Pop3Peer() {
    EXPECT_TRUE(fs::exists("/usr/sbin/dovecot"))
        << "Dovecot is missing: apt-get install dovecot-core dovecot-pop3d";
    const fs::path dir = folder_.path();
    // Dovecot's unprivileged processes must reach their sockets under base_dir.
    fs::permissions(dir, fs::perms::all);
    fs::create_directories(dir / "mail");
    fs::permissions(dir / "mail", fs::perms::all);
    port_ = freeLoopbackPort();
    const bool root = ::geteuid() == 0;
    const passwd* me = ::getpwuid(::geteuid());
    const std::string self = me != nullptr ? me->pw_name : "nobody";
    // As root the login processes must run as someone else; otherwise everything runs as us.
    const std::string internalUser = root ? "dovecot" : self;
    const std::string loginUser = root ? "dovenull" : self;
    const std::string uid = root ? "65534" : std::to_string(::geteuid());
    const std::string gid = root ? "65534" : std::to_string(::getegid());
    std::ofstream(dir / "passwd") << "cam:{PLAIN}secret:" << uid << ":" << gid
                                  << "::" << (dir / "mail").string() << "::\n";
    std::ofstream(dir / "dovecot.conf")
        << "base_dir = " << (dir / "run").string() << "\n"
        << "state_dir = " << (dir / "run" / "state").string() << "\n"
        << "protocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
        << "auth_mechanisms = plain\nauth_failure_delay = 0\n"
        << "default_internal_user = " << internalUser << "\n"
        << "default_internal_group = " << (root ? "dovecot" : self) << "\n"
        << "default_login_user = " << loginUser << "\n"
        << "log_path = " << (dir / "dovecot.log").string() << "\n"
        << "mail_location = maildir:" << (dir / "mail").string() << "/%u\n"
        << "passdb {\n  driver = passwd-file\n  args = " << (dir / "passwd").string() << "\n}\n"
        << "userdb {\n  driver = static\n  args = uid=" << uid << " gid=" << gid
        << " home=" << (dir / "mail").string() << "/%u\n}\n"
        << "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = "
        << port_ << "\n  }\n  chroot =\n}\n"
        << "service anvil {\n  chroot =\n}\n"
        << "service imap-login {\n  inet_listener imap {\n    port = 0\n  }\n}\n";
    process_.start("/usr/sbin/dovecot", {"-F", "-c", (dir / "dovecot.conf").string()});
    ready_ = waitFor([this] { return greets(); }, 30s);
    EXPECT_TRUE(ready_) << "Dovecot did not start; its log:\n" << log();
  }

  ~Pop3Peer() { process_.stop(5s); }

  int port() const { return port_; }
  std::string log() const {
    std::ifstream in(folder_.path() / "dovecot.log");
    return {std::istreambuf_iterator<char>(in), {}};
  }

 private:
  bool greets() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (ok) {
      const std::string text = readUntil(fd, PeerClock::now() + 5s, [](const std::string& t) {
        return t.find('\n') != std::string::npos;
      });
      ok = text.starts_with("+OK");
      ::send(fd, "QUIT\r\n", 6, MSG_NOSIGNAL);
    }
    ::close(fd);
    return ok;
  }

  platform::test_support::TempFolder folder_;
  PeerProcess process_;
  int port_ = 0;
  bool ready_ = false;
};

}  // namespace ipcam::testing
