#pragma once

// HTTP authentication as cameras, servers and relays ask for it: the challenges of a
// WWW-Authenticate answer, the choice among them, and the Basic and Digest (MD5, MD5-sess,
// SHA-256, SHA-256-sess) credentials that answer them. The RTSP client shares it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

// The longest realm, nonce, qop or opaque value that is kept; longer ones are cut. Servers
// and relays use nonces of a few hundred characters, and a cut nonce is a log-in that can never
// succeed, so the limit only guards memory.
inline constexpr std::size_t kAuthTextLimit = 1023;

// The authentication schemes a camera may ask for.
enum AuthKind : int { kAuthNotChallenged = -1, kAuthUnknown = 0, kAuthBasic = 1, kAuthDigest = 2 };

// What a camera's "Unauthorized" answer offers, as the RTSP client reads it.
struct AuthChallenge {
  int kind = kAuthNotChallenged;
  std::string realm;  // each at most kAuthTextLimit characters
  std::string nonce;
  std::string qop;
};

// Reads realm, nonce, qop and the scheme (Digest wins over Basic) from an "Unauthorized"
// answer; values that are not found stay as they were.
void parseChallenge(std::string_view response, AuthChallenge& challenge);

// Writes "\r\nAuthorization: ..." (Basic for kind 1, Digest MD5 for kind 2) with a closing NUL
// into `output`. The length written, -1 for missing input (an empty user or password among
// them) or another kind, -2 when the header does not fit. With a qop the nonce count is the
// millisecond tick count, so that the several requests of one RTSP session that share a nonce
// count upwards.
int BuildAuthorizationHeader(std::string_view realm, std::string_view nonce, std::string_view user,
                             std::string_view password, std::string_view method,
                             std::string_view uri, std::string_view qop, std::span<char> output,
                             int kind);

// The room a header needs with every field at its limit.
inline constexpr std::size_t kAuthorizationHeaderCapacity = 1024;

enum class DigestAlgorithm { Md5, Md5Sess, Sha256, Sha256Sess };

// One challenge of a WWW-Authenticate answer.
struct AuthOffer {
  int kind = kAuthUnknown;  // kAuthBasic, kAuthDigest, or kAuthUnknown for another scheme
  std::string realm;
  std::string nonce;
  std::string opaque;
  std::string algorithmName;  // as the server wrote it; empty when it named none
  std::string qop;            // the whole qop value as received, e.g. "auth,auth-int"
  DigestAlgorithm algorithm = DigestAlgorithm::Md5;
  bool algorithmKnown = true;  // false for an algorithm we do not speak (SHA-512-256, ...)
  bool stale = false;

  // The qop this client answers with: "auth" when the server offers it, empty when the
  // server named no qop.
  std::optional<std::string> chosenQop() const;
  // A challenge this client can answer.
  bool usable() const;
  // The challenge the cameras of our own line send: no algorithm, no opaque, one qop at most.
  bool plain() const;
};

// Every challenge of every `headerName` line of an answer's header block, in order. A line may
// hold several challenges; quoted values may hold commas and escaped quotes.
std::vector<AuthOffer> parseAuthOffers(std::string_view headerBlock,
                                       std::string_view headerName = "WWW-Authenticate");

// The strongest challenge we can answer: Digest SHA-256 over Digest MD5 over Basic; the first
// of equals. Nothing when none is usable.
std::optional<AuthOffer> strongestOffer(const std::vector<AuthOffer>& offers);

// The inputs of one Digest response value.
struct DigestInput {
  DigestAlgorithm algorithm = DigestAlgorithm::Md5;
  std::string_view user, realm, password, nonce, cnonce, nc, qop, method, uri;
};

// The hex response value of RFC 7616 (and RFC 2617 without qop).
std::string digestResponse(const DigestInput& input);

// A fresh client nonce: 16 hex digits from the system's random source.
std::string newClientNonce();

// The credentials of one request target (a stream's path, a session) across its challenges.
// Counts the uses of each nonce (nc 00000001 upwards) and lets a stale nonce be replaced
// without taking it for a refused log-in.
class HttpAuthenticator {
 public:
  enum class Step {
    Retry,    // send the request again (on a new connection) with the credentials it now has
    Refused,  // the credentials were refused: a wrong user name or password
  };

  // The answer to an "Unauthorized" answer whose header block is `answer`.
  Step onUnauthorized(std::string_view answer);

  // "\r\nAuthorization: ..." for the next request, or empty when there are no credentials to
  // send (not challenged yet, an unknown scheme, an empty user name or password).
  std::string header(std::string_view method, std::string_view uri, std::string_view user,
                     std::string_view password);

  int kind() const {
    return offer_ ? offer_->kind : challenged_ ? kAuthUnknown : kAuthNotChallenged;
  }
  const std::optional<AuthOffer>& offer() const { return offer_; }

  // How often a stale nonce is replaced before the server is taken to refuse us.
  static constexpr int kStaleRenewals = 3;

 private:
  bool challenged_ = false;
  std::optional<AuthOffer> offer_;
  std::uint32_t nonceCount_ = 0;  // uses of offer_->nonce so far
  int staleRenewals_ = 0;
};

}  // namespace ipcam
