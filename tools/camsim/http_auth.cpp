#include "tools/camsim/http_auth.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/base64.h"
#include "tools/camsim/md5.h"

namespace ipcam::camsim {
namespace {

std::string lowerCase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return lowerCase(a) == lowerCase(b);
}

std::string_view skipSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

// Splits "Scheme rest" of an Authorization header.
std::pair<std::string_view, std::string_view> splitScheme(std::string_view header) {
  header = skipSpace(header);
  const std::size_t space = header.find(' ');
  if (space == std::string_view::npos) return {header, {}};
  return {header.substr(0, space), skipSpace(header.substr(space + 1))};
}

bool isHexDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string quoteEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::optional<std::map<std::string, std::string>> parseAuthParameters(std::string_view text) {
  std::map<std::string, std::string> parameters;
  for (;;) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == ','))
      text.remove_prefix(1);
    if (text.empty()) return parameters;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view name = text.substr(0, equals);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (name.empty() || name.find_first_of(" \t,\"") != std::string_view::npos) return std::nullopt;
    text = skipSpace(text.substr(equals + 1));
    std::string value;
    if (!text.empty() && text.front() == '"') {
      std::size_t i = 1;
      for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value.push_back(text[i]);
      }
      if (i >= text.size()) return std::nullopt;  // no closing quote
      text.remove_prefix(i + 1);
    } else {
      const std::size_t end = text.find_first_of(", \t");
      value = text.substr(0, end);
      text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    if (!parameters.emplace(lowerCase(name), std::move(value)).second) return std::nullopt;
    text = skipSpace(text);
    if (!text.empty() && text.front() != ',') return std::nullopt;
  }
}

Authenticator::Authenticator() : random_(std::random_device{}()) {}

Authenticator::Verdict Authenticator::check(AuthMode mode, const Account& account,
                                            const HttpRequest& request) {
  if (mode == AuthMode::None) return Verdict::Accepted;
  const auto header = request.header("Authorization");
  if (!header) return Verdict::Refused;
  const auto [scheme, rest] = splitScheme(*header);
  if (mode == AuthMode::Basic) {
    if (!equalsNoCase(scheme, "Basic")) return Verdict::Refused;
    const auto decoded = base64Decode(rest);
    if (!decoded) return Verdict::Refused;
    const std::size_t colon = decoded->find(':');
    if (colon == std::string::npos) return Verdict::Refused;
    const bool match = std::string_view(*decoded).substr(0, colon) == account.user &&
                       std::string_view(*decoded).substr(colon + 1) == account.password;
    return match ? Verdict::Accepted : Verdict::Refused;
  }
  if (!equalsNoCase(scheme, "Digest")) return Verdict::Refused;
  return checkDigest(mode, account, request, rest);
}

Authenticator::Verdict Authenticator::checkDigest(AuthMode mode, const Account& account,
                                                  const HttpRequest& request,
                                                  std::string_view text) {
  const auto parameters = parseAuthParameters(text);
  if (!parameters) return Verdict::Refused;
  const auto get = [&](const char* name) -> const std::string* {
    const auto found = parameters->find(name);
    return found == parameters->end() ? nullptr : &found->second;
  };
  const std::string* user = get("username");
  const std::string* realm = get("realm");
  const std::string* nonce = get("nonce");
  const std::string* uri = get("uri");
  const std::string* response = get("response");
  const std::string* qop = get("qop");
  const std::string* count = get("nc");
  const std::string* clientNonce = get("cnonce");
  const std::string* algorithm = get("algorithm");
  if (!user || !realm || !nonce || !uri || !response) return Verdict::Refused;
  if (algorithm && !equalsNoCase(*algorithm, "MD5")) return Verdict::Refused;
  // A client must answer in the form it was asked for: with qop only when qop was offered.
  const bool withQop = mode == AuthMode::DigestQop;
  if (withQop != (qop != nullptr)) return Verdict::Refused;
  if (withQop && (!equalsNoCase(*qop, "auth") || !count || count->size() != 8 ||
                  !isHexDigits(*count) || !clientNonce || clientNonce->empty()))
    return Verdict::Refused;
  if (*user != account.user || *realm != account.realm || *uri != request.target)
    return Verdict::Refused;

  const std::string ha1 = md5Hex(account.user + ":" + account.realm + ":" + account.password);
  const std::string ha2 = md5Hex(request.method + ":" + *uri);
  const std::string expected =
      withQop
          ? md5Hex(ha1 + ":" + *nonce + ":" + *count + ":" + *clientNonce + ":" + *qop + ":" + ha2)
          : md5Hex(ha1 + ":" + *nonce + ":" + ha2);
  if (!equalsNoCase(expected, *response)) return Verdict::Refused;

  std::lock_guard lock(mutex_);
  const auto state = nonces_.find(*nonce);
  if (state == nonces_.end() ||
      std::chrono::steady_clock::now() - state->second.issued > kNonceLifetime) {
    return Verdict::Stale;  // right password, but not on a nonce this camera stands by
  }
  if (withQop) {
    const std::uint64_t value = std::stoull(*count, nullptr, 16);
    if (value <= state->second.lastCount) return Verdict::Refused;  // a replayed answer
    state->second.lastCount = value;
  }
  return Verdict::Accepted;
}

std::string Authenticator::challenge(AuthMode mode, const Account& account, bool stale) {
  const std::string realm = "realm=\"" + quoteEscaped(account.realm) + "\"";
  switch (mode) {
    case AuthMode::None:
      return {};
    case AuthMode::Basic:
      return "Basic " + realm;
    case AuthMode::Digest:
    case AuthMode::DigestQop:
      break;
  }
  std::string value = "Digest " + realm + ", nonce=\"" + newNonce() + "\", algorithm=MD5";
  if (mode == AuthMode::DigestQop) value += ", qop=\"auth\"";
  if (stale) value += ", stale=true";
  return value;
}

std::string Authenticator::newNonce() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  std::string nonce;
  for (int part = 0; part < 2; ++part) {
    std::uint64_t bits = random_();
    for (int i = 0; i < 16; ++i, bits >>= 4) nonce.push_back(kHex[bits & 0x0f]);
  }
  if (nonces_.size() >= kMaxNonces) {
    const auto oldest = std::min_element(nonces_.begin(), nonces_.end(), [](auto& a, auto& b) {
      return a.second.issued < b.second.issued;
    });
    nonces_.erase(oldest);
  }
  nonces_[nonce] = NonceState{now, 0};
  return nonce;
}

}  // namespace ipcam::camsim
