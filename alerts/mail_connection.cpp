#include "alerts/mail_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/tcp_connect.h"
#include "platform/thread_slot.h"

namespace ipcam {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// SSL reads go in pieces of this size, as the client always read them.
constexpr std::size_t kTlsChunk = 1024;

// The calling slot thread's run flag: a stop ends every wait of the connection at once.
const platform::RunFlag* callerRunFlag() {
  const platform::ThreadRun* run = platform::currentThreadRun();
  return run != nullptr ? &run->flag() : nullptr;
}

std::string openSslErrorText() {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (error == 0) return "handshake failed";
  std::array<char, 256> text{};
  ERR_error_string_n(error, text.data(), text.size());
  return text.data();
}

std::string fingerprintOf(X509* certificate) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (certificate == nullptr ||
      X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace

std::string canonicalFingerprint(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string digits;
  for (const char c : text) {
    if (c == ':' || c == ' ') continue;
    const char up = c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    if (std::strchr(kHex, up) == nullptr || up == '\0') return {};
    digits += up;
  }
  constexpr std::size_t kSha256Digits = 64;
  if (digits.size() != kSha256Digits) return {};
  std::string canonical;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    if (i > 0) canonical += ':';
    canonical += digits.substr(i, 2);
  }
  return canonical;
}

MailTlsTrust MailTlsTrust::fromEnvironment() {
  MailTlsTrust trust;
  if (const char* file = std::getenv("IPCAM_MAIL_CA_FILE")) trust.extraCaFile = file;
  return trust;
}

void MailConnection::SslDeleter::operator()(ssl_st* ssl) const {
  SSL_free(ssl);
}

void MailConnection::ContextDeleter::operator()(ssl_ctx_st* context) const {
  SSL_CTX_free(context);
}

MailConnection::MailConnection() = default;

MailConnection::~MailConnection() {
  close();
}

void MailConnection::close() {
  if (ssl_) {
    // A quiet shutdown: the close_notify must not wait on a peer that stopped answering.
    SSL_set_quiet_shutdown(ssl_.get(), 1);
    SSL_shutdown(ssl_.get());
    ssl_.reset();
  }
  context_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Clock::time_point MailConnection::deadlineAfter(Seconds timeout) const {
  std::chrono::milliseconds limit = timeout;
  if (timeLimit_ > 0ms) limit = std::min(limit, timeLimit_);
  return Clock::now() + limit;
}

int MailConnection::waitFor(short events, Clock::time_point deadline) {
  if (platform::waitForSocket(fd_, events, callerRunFlag(), deadline)) {
    // An error or hang-up counts as ready: the following call reports what happened.
    return kMailIoOk;
  }
  if (errno == ECANCELED) {
    stopped_ = true;
    return kMailIoTimedOut;
  }
  return errno == EAGAIN ? kMailIoTimedOut : kMailIoWaitFailed;
}

int MailConnection::open(const std::string& host, std::uint16_t port, Seconds timeout) {
  close();
  stopped_ = false;
  platform::ConnectLimits limits;
  limits.deadline = deadlineAfter(timeout);
  limits.runFlag = callerRunFlag();
  limits.keepNonBlocking = true;
  const platform::Connection connection = platform::connectTcp(host, port, limits);
  fd_ = connection.fd;
  switch (connection.outcome) {
    case platform::ConnectOutcome::Connected:
      return kMailIoOk;
    case platform::ConnectOutcome::NoHost:
      return kMailIoNoHost;
    case platform::ConnectOutcome::NoSocket:
    case platform::ConnectOutcome::NotPrepared:
      return kMailIoNoSocket;
    case platform::ConnectOutcome::NoNonBlocking:
      return kMailIoNoNonBlocking;
    case platform::ConnectOutcome::Failed:
      return kMailIoConnectFailed;
    case platform::ConnectOutcome::TimedOut:
      return kMailIoConnectTimedOut;
    case platform::ConnectOutcome::Stopped:
      stopped_ = true;
      return kMailIoTimedOut;
    case platform::ConnectOutcome::Refused:
    case platform::ConnectOutcome::WaitFailed:
      // A refused or unreachable server is the exception case of the wait.
      return kMailIoWaitFailed;
  }
  return kMailIoConnectFailed;
}

int MailConnection::tlsFailure(std::string why) {
  tlsProblem_ = std::move(why);
  ssl_.reset();
  return kMailIoTls;
}

int MailConnection::verifyCertificate(int preverified, x509_store_ctx_st* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = ssl != nullptr ? static_cast<MailConnection*>(SSL_get_app_data(ssl)) : nullptr;
  if (self == nullptr) return 0;
  // Called once per certificate of the chain and per problem found; the leaf is the one shown
  // to the user and the one a pin names.
  self->serverFingerprint_ = fingerprintOf(X509_STORE_CTX_get0_cert(store));
  if (self->pin_.empty()) {
    if (preverified == 0) self->refusal_ = MailCertificateRefusal::Untrusted;
    return preverified;
  }
  if (!self->serverFingerprint_.empty() && self->serverFingerprint_ == self->pin_) {
    // The user trusted this very certificate: its signer and its name no longer matter.
    return 1;
  }
  self->refusal_ = MailCertificateRefusal::Changed;
  X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

int MailConnection::startTls(const std::string& host, const MailTlsTrust& trust, Seconds timeout) {
  if (fd_ < 0) return kMailIoNoSocket;
  tlsProblem_.clear();
  serverFingerprint_.clear();
  refusal_ = MailCertificateRefusal::None;
  pin_ = canonicalFingerprint(trust.pinnedSha256);
  ERR_clear_error();
  context_.reset(SSL_CTX_new(TLS_client_method()));
  if (!context_) return tlsFailure("cannot create the TLS context: " + openSslErrorText());
  SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION);
  // The server must prove who it is before any password goes to it.
  if (SSL_CTX_set_default_verify_paths(context_.get()) != 1) {
    return tlsFailure("cannot load the system trust store: " + openSslErrorText());
  }
  if (!trust.extraCaFile.empty() &&
      SSL_CTX_load_verify_locations(context_.get(), trust.extraCaFile.c_str(), nullptr) != 1) {
    return tlsFailure("cannot load the CA file " + trust.extraCaFile + ": " + openSslErrorText());
  }
  SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, &MailConnection::verifyCertificate);

  ssl_.reset(SSL_new(context_.get()));
  if (!ssl_) return tlsFailure("cannot create the TLS connection: " + openSslErrorText());
  SSL_set_app_data(ssl_.get(), this);
  SSL_set_fd(ssl_.get(), fd_);
  SSL_set_mode(ssl_.get(), SSL_MODE_AUTO_RETRY);
  in_addr literal{};
  if (::inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), host.c_str());
  } else {
    if (SSL_set1_host(ssl_.get(), host.c_str()) != 1 ||
        // SNI, spelled out: the library's macro for it casts in the old style.
        SSL_ctrl(ssl_.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(host.c_str())) != 1) {
      return tlsFailure("cannot set the server name " + host);
    }
  }

  const Clock::time_point deadline = deadlineAfter(timeout);
  for (;;) {
    const int result = SSL_connect(ssl_.get());
    if (result == 1) return kMailIoOk;
    const int error = SSL_get_error(ssl_.get(), result);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      const long verified = SSL_get_verify_result(ssl_.get());
      if (refusal_ == MailCertificateRefusal::Changed) {
        ERR_clear_error();
        return tlsFailure("the server's certificate has changed: SHA-256 " + serverFingerprint_);
      }
      if (verified != X509_V_OK) {
        ERR_clear_error();
        refusal_ = MailCertificateRefusal::Untrusted;
        return tlsFailure(std::string("certificate check failed: ") +
                          X509_verify_cert_error_string(verified) + "; SHA-256 " +
                          serverFingerprint_);
      }
      return tlsFailure("TLS handshake failed: " + openSslErrorText());
    }
    const int waited = waitFor(events, deadline);
    if (waited != kMailIoOk) {
      ssl_.reset();
      return waited;
    }
  }
}

int MailConnection::sendAll(std::string_view data, Seconds timeout) {
  if (fd_ < 0) return kMailIoNoSocket;
  const Clock::time_point deadline = deadlineAfter(timeout);
  while (!data.empty()) {
    const int waited = waitFor(POLLOUT, deadline);
    if (waited != kMailIoOk) return waited;
    const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX));
    if (ssl_) {
      const int written = SSL_write(ssl_.get(), data.data(), chunk);
      if (written > 0) {
        data.remove_prefix(static_cast<std::size_t>(written));
        continue;
      }
      const int error = SSL_get_error(ssl_.get(), written);
      if (error == SSL_ERROR_WANT_READ) {
        const int readable = waitFor(POLLIN, deadline);
        if (readable != kMailIoOk) return readable;
        continue;
      }
      if (error == SSL_ERROR_WANT_WRITE) continue;
      ERR_clear_error();
      return kMailIoTls;
    }
    const ssize_t sent = ::send(fd_, data.data(), static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;
    } else {
      return kMailIoSendFailed;
    }
  }
  return kMailIoOk;
}

int MailConnection::receiveSome(std::string& text, std::size_t room, Seconds timeout) {
  return receiveSomeUntil(text, room, deadlineAfter(timeout));
}

int MailConnection::receiveSomeUntil(std::string& text, std::size_t room,
                                     Clock::time_point deadline) {
  if (fd_ < 0) return kMailIoNoSocket;
  if (room == 0) return kMailIoReceiveFailed;
  if (ssl_) {
    std::size_t got = 0;
    for (;;) {
      // Data already decrypted needs no wait on the socket.
      if (SSL_pending(ssl_.get()) <= 0) {
        const int waited = waitFor(POLLIN, deadline);
        if (waited != kMailIoOk) return waited;
      }
      std::array<char, kTlsChunk> chunk{};
      const int want = static_cast<int>(std::min(chunk.size(), room - got));
      const int read = SSL_read(ssl_.get(), chunk.data(), want);
      if (read > 0) {
        text.append(chunk.data(), static_cast<std::size_t>(read));
        got += static_cast<std::size_t>(read);
        if (got >= room || SSL_pending(ssl_.get()) <= 0) return kMailIoOk;
        continue;
      }
      const int error = SSL_get_error(ssl_.get(), read);
      if (error == SSL_ERROR_ZERO_RETURN) return got > 0 ? kMailIoOk : kMailIoClosed;
      if (error == SSL_ERROR_WANT_READ) continue;
      if (error == SSL_ERROR_WANT_WRITE) {
        const int writable = waitFor(POLLOUT, deadline);
        if (writable != kMailIoOk) return writable;
        continue;
      }
      ERR_clear_error();
      // A peer that drops the connection without a close_notify is still a closed server.
      if (error == SSL_ERROR_SYSCALL && got == 0) return kMailIoClosed;
      return got > 0 ? kMailIoOk : kMailIoTls;
    }
  }
  for (;;) {
    const int waited = waitFor(POLLIN, deadline);
    if (waited != kMailIoOk) return waited;
    std::array<char, 10240> chunk{};
    const ssize_t read = ::recv(fd_, chunk.data(), std::min(chunk.size(), room), 0);
    if (read > 0) {
      text.append(chunk.data(), static_cast<std::size_t>(read));
      return kMailIoOk;
    }
    if (read == 0) return kMailIoClosed;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return kMailIoReceiveFailed;
  }
}

std::string MailConnection::peerAddress() const {
  if (fd_ < 0) return {};
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET) {
    return {};
  }
  std::array<char, INET_ADDRSTRLEN> text{};
  if (::inet_ntop(AF_INET, &peer.sin_addr, text.data(), text.size()) == nullptr) return {};
  return text.data();
}

}  // namespace ipcam
