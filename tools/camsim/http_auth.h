#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tools/camsim/http_server.h"

namespace ipcam::camsim {

enum class AuthMode { None, Basic, Digest, DigestQop };

struct Account {
  std::string user;
  std::string password;
  std::string realm;
};

// The name=value list of an Authorization header after its scheme: names lower-cased,
// quoted values unescaped. nullopt when the list is malformed or names a parameter twice.
std::optional<std::map<std::string, std::string>> parseAuthParameters(std::string_view text);

// Checks the credentials of requests and writes the challenges that ask for them. Digest
// nonces are random, expire, and each nonce count is accepted once. The Digest check (its
// parameter parsing and its MD5) is the camera's own on purpose: it judges what the viewer's
// Digest code computed, and sharing that code would let one misreading pass on both sides.
class Authenticator {
 public:
  enum class Verdict { Accepted, Refused, Stale };

  static constexpr std::chrono::seconds kNonceLifetime{300};
  static constexpr std::size_t kMaxNonces = 1024;

  Authenticator();

  Verdict check(AuthMode mode, const Account& account, const HttpRequest& request);
  // The value of a WWW-Authenticate header for `mode` (empty for AuthMode::None).
  std::string challenge(AuthMode mode, const Account& account, bool stale);

 private:
  struct NonceState {
    std::chrono::steady_clock::time_point issued;
    std::uint64_t lastCount = 0;  // the highest nonce count accepted so far
  };

  Verdict checkDigest(AuthMode mode, const Account& account, const HttpRequest& request,
                      std::string_view parameters);
  std::string newNonce();

  std::mutex mutex_;
  std::mt19937_64 random_;                              // guarded by mutex_
  std::unordered_map<std::string, NonceState> nonces_;  // guarded by mutex_
};

}  // namespace ipcam::camsim
