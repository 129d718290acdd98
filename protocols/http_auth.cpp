#include "protocols/http_auth.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>

#include "platform/base64.h"
#include "platform/crypto_hash.h"
#include "platform/md5.h"
#include "protocols/client_io.h"

namespace ipcam {
namespace {

constexpr std::size_t kBasicCredentialsLimit = 511;
constexpr std::string_view kTokenEnd = " \t,=";

std::string_view cut(std::string_view text) {
  return limited(text, kAuthTextLimit);
}

std::string join(std::initializer_list<std::string_view> parts) {
  std::string text;
  bool first = true;
  for (const std::string_view part : parts) {
    if (!first) text += ':';
    text += part;
    first = false;
  }
  return text;
}

std::string hex(std::uint64_t value, int digits) {
  std::array<char, 24> text{};
  std::snprintf(text.data(), text.size(), "%0*llx", digits, static_cast<unsigned long long>(value));
  return text.data();
}

// A quoted-string of RFC 9110: a backslash and a double quote are escaped.
std::string quoted(std::string_view value) {
  std::string text = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + '"';
}

std::string field(std::string_view name, std::string_view value) {
  return std::string(name) + "=" + quoted(value);
}

// Reads the challenges of one header value, appending them to `offers`.
class ChallengeReader {
 public:
  explicit ChallengeReader(std::string_view text) : text_(text) {}

  void readInto(std::vector<AuthOffer>& offers) {
    AuthOffer* current = nullptr;
    for (;;) {
      skip(" \t,");
      if (at_ >= text_.size()) return;
      const std::string_view token = readToken();
      if (token.empty()) {  // a stray character: skip it rather than loop on it
        ++at_;
        continue;
      }
      skip(" \t");
      if (at_ < text_.size() && text_[at_] == '=' && current != nullptr) {
        ++at_;
        skip(" \t");
        const std::string value = readValue();
        take(*current, token, value);
        continue;
      }
      // A token without "=" starts the next challenge.
      AuthOffer& offer = offers.emplace_back();
      offer.kind = equalsNoCase(token, "Basic")    ? kAuthBasic
                   : equalsNoCase(token, "Digest") ? kAuthDigest
                                                   : kAuthUnknown;
      current = &offer;
    }
  }

 private:
  void skip(std::string_view characters) {
    while (at_ < text_.size() && characters.find(text_[at_]) != std::string_view::npos) ++at_;
  }

  std::string_view readToken() {
    const std::size_t start = at_;
    while (at_ < text_.size() && kTokenEnd.find(text_[at_]) == std::string_view::npos &&
           text_[at_] != '"') {
      ++at_;
    }
    return text_.substr(start, at_ - start);
  }

  std::string readValue() {
    std::string value;
    if (at_ < text_.size() && text_[at_] == '"') {
      for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
        if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
        value += text_[at_];
      }
      if (at_ < text_.size()) ++at_;  // the closing quote
      return value;
    }
    // A token68 value may end in "=" signs.
    value = readToken();
    while (at_ < text_.size() && text_[at_] == '=') value += text_[at_++];
    return value;
  }

  static void take(AuthOffer& offer, std::string_view name, std::string_view value) {
    if (equalsNoCase(name, "realm")) {
      offer.realm = cut(value);
    } else if (equalsNoCase(name, "nonce")) {
      offer.nonce = cut(value);
    } else if (equalsNoCase(name, "opaque")) {
      offer.opaque = cut(value);
    } else if (equalsNoCase(name, "qop")) {
      offer.qop = cut(value);
    } else if (equalsNoCase(name, "stale")) {
      offer.stale = equalsNoCase(value, "true");
    } else if (equalsNoCase(name, "algorithm")) {
      offer.algorithmName = cut(value);
      offer.algorithmKnown = true;
      if (equalsNoCase(value, "MD5")) {
        offer.algorithm = DigestAlgorithm::Md5;
      } else if (equalsNoCase(value, "MD5-sess")) {
        offer.algorithm = DigestAlgorithm::Md5Sess;
      } else if (equalsNoCase(value, "SHA-256")) {
        offer.algorithm = DigestAlgorithm::Sha256;
      } else if (equalsNoCase(value, "SHA-256-sess")) {
        offer.algorithm = DigestAlgorithm::Sha256Sess;
      } else {
        offer.algorithmKnown = false;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

int strength(const AuthOffer& offer) {
  if (!offer.usable()) return 0;
  if (offer.kind == kAuthBasic) return 1;
  const bool sha256 =
      offer.algorithm == DigestAlgorithm::Sha256 || offer.algorithm == DigestAlgorithm::Sha256Sess;
  return sha256 ? 3 : 2;
}

std::string hashHex(DigestAlgorithm algorithm, std::string_view text) {
  switch (algorithm) {
    case DigestAlgorithm::Sha256:
    case DigestAlgorithm::Sha256Sess:
      return sha256Hex(text);
    case DigestAlgorithm::Md5:
    case DigestAlgorithm::Md5Sess:
      break;
  }
  return Md5::hexOf(text);
}

std::string basicHeader(std::string_view user, std::string_view password) {
  std::string credentials = join({user, password});
  credentials.resize(std::min(credentials.size(), kBasicCredentialsLimit));
  std::vector<std::uint8_t> encoded((credentials.size() + 2) / 3 * 4 + 1);
  const int length = Base64Code(bytesOf(credentials), false, encoded);
  if (length < 0) return {};
  return "\r\nAuthorization: Basic " +
         std::string(textOf(std::span(encoded).first(static_cast<std::size_t>(length))));
}

}  // namespace

std::optional<std::string> AuthOffer::chosenQop() const {
  if (qop.empty()) return std::string();
  std::string_view rest = qop;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string_view option = rest.substr(0, comma);
    while (!option.empty() && isSpace(option.front())) option.remove_prefix(1);
    while (!option.empty() && isSpace(option.back())) option.remove_suffix(1);
    if (equalsNoCase(option, "auth")) return std::string(option);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return std::nullopt;
}

bool AuthOffer::usable() const {
  if (kind == kAuthBasic) return true;
  return kind == kAuthDigest && algorithmKnown && !nonce.empty() && chosenQop().has_value();
}

bool AuthOffer::plain() const {
  return algorithmName.empty() && opaque.empty() && qop.find(',') == std::string::npos;
}

std::vector<AuthOffer> parseAuthOffers(std::string_view headerBlock, std::string_view headerName) {
  std::vector<AuthOffer> offers;
  for (auto line = findHeaderField(headerBlock, headerName); line;
       line = findHeaderField(headerBlock, headerName, line->nextLine)) {
    ChallengeReader(line->value).readInto(offers);
  }
  return offers;
}

std::optional<AuthOffer> strongestOffer(const std::vector<AuthOffer>& offers) {
  const AuthOffer* best = nullptr;
  for (const AuthOffer& offer : offers) {
    if (strength(offer) > (best != nullptr ? strength(*best) : 0)) best = &offer;
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

std::string digestResponse(const DigestInput& in) {
  const DigestAlgorithm algorithm = in.algorithm;
  std::string ha1 = hashHex(algorithm, join({in.user, in.realm, in.password}));
  if (algorithm == DigestAlgorithm::Md5Sess || algorithm == DigestAlgorithm::Sha256Sess) {
    ha1 = hashHex(algorithm, join({ha1, in.nonce, in.cnonce}));
  }
  const std::string ha2 = hashHex(algorithm, join({in.method, in.uri}));
  if (in.qop.empty()) return hashHex(algorithm, join({ha1, in.nonce, ha2}));
  return hashHex(algorithm, join({ha1, in.nonce, in.nc, in.cnonce, in.qop, ha2}));
}

std::string newClientNonce() {
  std::array<std::uint8_t, 8> bytes{};
  std::uint64_t value = 0;
  if (fillRandom(bytes)) {
    for (const std::uint8_t byte : bytes) value = value << 8 | byte;
  } else {
    // No random source: still not the bare tick count a listener could guess.
    value = static_cast<std::uint64_t>(IoClock::now().time_since_epoch().count()) *
            0x9e3779b97f4a7c15ULL;
  }
  return hex(value, 16);
}

void parseChallenge(std::string_view response, AuthChallenge& challenge) {
  // Each value is what stands between the first two double quotes after its key.
  const auto quotedValue = [response](std::string_view key, std::string& field) {
    const std::size_t keyAt = findNoCase(response, key);
    if (keyAt == std::string_view::npos) return;
    const std::size_t open = response.find('"', keyAt);
    if (open == std::string_view::npos) return;
    std::string_view value = response.substr(open + 1);
    value = value.substr(0, value.find('"'));
    if (!value.empty()) field = cut(value);
  };
  quotedValue("realm=", challenge.realm);
  quotedValue("nonce=", challenge.nonce);
  quotedValue("qop=", challenge.qop);
  bool basic = false;
  bool digest = false;
  for (const AuthOffer& offer : parseAuthOffers(response)) {
    basic = basic || offer.kind == kAuthBasic;
    digest = digest || offer.kind == kAuthDigest;
  }
  if (basic) challenge.kind = kAuthBasic;
  if (digest) challenge.kind = kAuthDigest;
}

int BuildAuthorizationHeader(std::string_view realm, std::string_view nonce, std::string_view user,
                             std::string_view password, std::string_view method,
                             std::string_view uri, std::string_view qop, std::span<char> output,
                             int kind) {
  if (output.empty()) return -1;
  output[0] = '\0';
  if (user.empty() || password.empty()) return -1;

  std::string header;
  if (kind == kAuthBasic) {
    header = basicHeader(user, password);
    if (header.empty()) return -2;
  } else if (kind == kAuthDigest) {
    if (method.empty() || uri.empty() || realm.empty() || nonce.empty()) return -1;
    header = "\r\nAuthorization: Digest " + field("username", user) + ", " + field("realm", realm) +
             ", " + field("nonce", nonce) + ", " + field("uri", uri) + ", ";
    DigestInput input{DigestAlgorithm::Md5, user, realm, password, nonce, {}, {}, {}, method, uri};
    if (!qop.empty()) {
      const std::string nc = hex(tickMs(), 8);
      const std::string cnonce = newClientNonce();
      input.nc = nc;
      input.cnonce = cnonce;
      input.qop = qop;
      header += field("qop", qop) + ", " + field("nc", nc) + ", " + field("cnonce", cnonce) + ", " +
                field("response", digestResponse(input));
    } else {
      header += field("response", digestResponse(input));
    }
  } else {
    return -1;
  }
  if (header.size() + 1 > output.size()) return -2;
  std::copy(header.begin(), header.end(), output.begin());
  output[header.size()] = '\0';
  return static_cast<int>(header.size());
}

HttpAuthenticator::Step HttpAuthenticator::onUnauthorized(std::string_view answer) {
  if (!challenged_) {
    challenged_ = true;
    offer_ = strongestOffer(parseAuthOffers(answer));
    nonceCount_ = 0;
    return Step::Retry;
  }
  // A stale nonce is the server's clock, not our password: answer the fresh one.
  if (offer_ && offer_->kind == kAuthDigest && staleRenewals_ < kStaleRenewals) {
    std::vector<AuthOffer> fresh = parseAuthOffers(answer);
    std::erase_if(fresh, [](const AuthOffer& offer) { return !offer.stale; });
    if (auto renewed = strongestOffer(fresh); renewed && renewed->kind == kAuthDigest) {
      ++staleRenewals_;
      offer_ = std::move(renewed);
      nonceCount_ = 0;
      return Step::Retry;
    }
  }
  return Step::Refused;
}

std::string HttpAuthenticator::header(std::string_view method, std::string_view uri,
                                      std::string_view user, std::string_view password) {
  if (!offer_ || user.empty() || password.empty()) return {};
  const AuthOffer& offer = *offer_;
  if (offer.kind == kAuthBasic) return basicHeader(user, password);
  if (method.empty() || uri.empty() || offer.nonce.empty()) return {};

  const std::string qop = offer.chosenQop().value_or("");
  const std::string nc = hex(++nonceCount_, 8);
  const std::string cnonce = newClientNonce();
  DigestInput input{offer.algorithm, user, offer.realm, password, offer.nonce, {}, {}, {},
                    method,          uri};
  // A -sess HA1 takes the client nonce even where an old server names no qop.
  input.cnonce = cnonce;
  if (!qop.empty()) {
    input.nc = nc;
    input.qop = qop;
  }
  std::string header = "\r\nAuthorization: Digest " + field("username", user) + ", " +
                       field("realm", offer.realm) + ", " + field("nonce", offer.nonce) + ", " +
                       field("uri", uri) + ", ";
  if (offer.plain()) {
    // The form the cameras of our own line expect: qop and nc in quotes.
    if (!qop.empty()) {
      header +=
          field("qop", offer.qop) + ", " + field("nc", nc) + ", " + field("cnonce", cnonce) + ", ";
      input.qop = offer.qop;
    }
    return header + field("response", digestResponse(input));
  }
  if (!offer.algorithmName.empty()) header += "algorithm=" + offer.algorithmName + ", ";
  const bool session =
      offer.algorithm == DigestAlgorithm::Md5Sess || offer.algorithm == DigestAlgorithm::Sha256Sess;
  if (!qop.empty()) {
    header += "qop=" + qop + ", nc=" + nc + ", " + field("cnonce", cnonce) + ", ";
  } else if (session) {
    header += field("cnonce", cnonce) + ", ";
  }
  header += field("response", digestResponse(input));
  if (!offer.opaque.empty()) header += ", " + field("opaque", offer.opaque);
  return header;
}

}  // namespace ipcam
