// The mail client's own MD5, HMAC-MD5 and Base64 against published vectors (RFC 1321, 2104,
// 2195, 4648), and what misuse of the MD5 class writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alerts/mail_base64.h"
#include "alerts/mail_md5.h"

namespace ipcam {
namespace {

std::span<const std::uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(MailMd5, KnownDigestsWholeAndInPieces) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const std::vector<Case> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // 56 and 64 bytes: the padding needs a second block, or fills one exactly.
      {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
      {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MD5::hexOf(c.input), c.digest) << c.input.size() << " bytes";
    // The same bytes handed over in uneven pieces must give the same digest.
    for (const std::size_t piece : {1u, 7u, 63u}) {
      MD5 md5;
      for (std::size_t at = 0; at < c.input.size(); at += piece) {
        md5.update(std::string_view(c.input).substr(at, piece));
      }
      md5.finalize();
      EXPECT_EQ(md5.hex_digest(), c.digest) << c.input.size() << " bytes in pieces of " << piece;
      EXPECT_EQ(hexText(md5.raw_digest()), c.digest);
    }
  }
}

TEST(MailMd5, MisuseWritesTheLineAndChangesNothing) {
  MD5 early;
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(early.raw_digest().empty());
  EXPECT_TRUE(early.hex_digest().empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "MD5::raw_digest:  Can't get digest if you haven't finalized the digest!\n"
            "MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n");

  MD5 done;
  done.update(std::string_view("abc"));
  done.finalize();
  ::testing::internal::CaptureStderr();
  done.update(std::string_view("more"));
  done.finalize();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "MD5::update:  Can't update a finalized digest!\n"
            "MD5::finalize:  Already finalized this digest!\n");
  EXPECT_EQ(done.hex_digest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MailMd5, HmacVectorsIncludingAKeyLongerThanABlock) {
  EXPECT_EQ(hexText(hmacMd5(std::string(16, '\x0b'), bytes("Hi There"))),
            "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(hexText(hmacMd5("Jefe", bytes("what do ya want for nothing?"))),
            "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(hexText(hmacMd5(std::string(80, '\xaa'),
                            bytes("Test Using Larger Than Block-Size Key - Hash Key First"))),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  // The CRAM-MD5 example exchange.
  EXPECT_EQ(
      hexText(hmacMd5("tanstaaftanstaaf", bytes("<1896.697170952@postoffice.reston.mci.net>"))),
      "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(MailBase64, RoundTripsAndRefusesBadInput) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0u\0p\xff", 5), "AHUAcP8="},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(mailBase64Encode(plain), encoded);
    EXPECT_EQ(mailBase64Decode(encoded), plain) << encoded;
  }
  EXPECT_EQ(mailBase64Decode("Zm9v\r\n"), "foo");
  for (const char* bad : {"Zm9", "Zm9v!A==", "Z===", "Zg==Zg==", "=Zm9"}) {
    EXPECT_FALSE(mailBase64Decode(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace ipcam
