// Challenges as a camera, a server or a relay writes them in an "Unauthorized" answer: the
// offers and the choice among them, the RTSP client's reading, and the credentials built from
// whatever was read.
#include "protocols/http_auth.h"

#include <array>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);

  const auto offers = ipcam::parseAuthOffers(answer);
  for (const auto& offer : offers) {
    (void)offer.chosenQop();
    (void)offer.plain();
  }
  (void)ipcam::strongestOffer(offers);
  (void)ipcam::parseAuthOffers(answer, "Proxy-Authenticate");

  ipcam::HttpAuthenticator authenticator;
  for (int round = 0; round < 3; ++round) {
    if (authenticator.onUnauthorized(answer) == ipcam::HttpAuthenticator::Step::Refused) break;
    (void)authenticator.header("GET", "/videostream.cgi", "admin", "secret");
  }

  ipcam::AuthChallenge challenge;
  ipcam::parseChallenge(answer, challenge);
  std::array<char, ipcam::kAuthorizationHeaderCapacity> header{};
  const int length = ipcam::BuildAuthorizationHeader(challenge.realm, challenge.nonce, "admin",
                                                     "secret", "DESCRIBE", "rtsp://127.0.0.1/live",
                                                     challenge.qop, header, challenge.kind);
  // With every field within its limit the header always fits.
  if (length == -2) __builtin_trap();
  return 0;
}
