#include "app/advance_config_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace ipcam {
namespace {

TEST(AdvanceConfigLists, StoredValuesShowTheirEntryOrTheFallback) {
  struct Case {
    int (*show)(int);
    int (*take)(int);
    int stored;
    int index;
    int taken;
  };
  const Case cases[] = {
      {scanTimeIndex, scanTimeAt, 1, 0, 1},
      {scanTimeIndex, scanTimeAt, 10, 3, 10},
      {scanTimeIndex, scanTimeAt, 7, 1, 3},
      {scanTimeIndex, scanTimeAt, 0, 1, 3},
      {fileSizeIndex, fileSizeAt, 300, 3, 300},
      {fileSizeIndex, fileSizeAt, 150, 0, 50},
      {fileSizeIndex, fileSizeAt, 1000, 0, 50},
      {recCycleIndex, recCycleAt, 0, 0, 0},
      {recCycleIndex, recCycleAt, 1, 1, 1},
      {recCycleIndex, recCycleAt, 2, -1, 1},
      {recCycleTimeIndex, recCycleTimeAt, 14, 2, 14},
      {recCycleTimeIndex, recCycleTimeAt, 180, 5, 180},
      {recCycleTimeIndex, recCycleTimeAt, 60, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(c.show(c.stored), c.index);
    EXPECT_EQ(c.take(c.index), c.taken);
  }
  // Nothing selected takes the fallback too.
  EXPECT_EQ(scanTimeAt(-1), 3);
  EXPECT_EQ(fileSizeAt(9), 50);
}

TEST(AdvanceConfigMailRules, ProviderChoicesFillHostAndPortThePlainOnesTheStoredServer) {
  const SmtpEndpoint stored{"mail.example.net", 2525};
  EXPECT_EQ(smtpEndpointForChoice(kSecuritySslGmail, stored),
            (SmtpEndpoint{"smtp.gmail.com", 465}));
  EXPECT_EQ(smtpEndpointForChoice(kSecuritySslYahoo, stored),
            (SmtpEndpoint{"smtp.mail.yahoo.com", 465}));
  EXPECT_EQ(smtpEndpointForChoice(kSecurityTlsGmail, stored),
            (SmtpEndpoint{"smtp.gmail.com", 587}));
  EXPECT_EQ(smtpEndpointForChoice(kSecurityTlsHotmail, stored),
            (SmtpEndpoint{"smtp-mail.outlook.com", 25}));
  for (const int plain : {int{kSecurityNone}, int{kSecuritySsl}, int{kSecurityTls}, -1, 7}) {
    EXPECT_EQ(smtpEndpointForChoice(plain, stored), stored) << plain;
  }
  for (const auto& [port, shown] : {std::pair{1LL, 1},
                                    {65535LL, 65535},
                                    {0LL, 25},
                                    {65536LL, 25},
                                    {-25LL, 25},
                                    {99999999999LL, 25}}) {
    EXPECT_EQ(portOr(port, kDefaultSmtpPort), shown) << port;
  }
}

TEST(AdvanceConfigMailRules, AddressesNeedAnAtSignAndMayNotRepeatAnotherSlot) {
  Recipients list{};
  list[0] = "a@example.com";
  list[1] = "b@example.com";

  const std::pair<std::string, std::string_view> refused[] = {
      {"", kMailAddressError},
      {"   ", kMailAddressError},
      {"nobody.example.com", kMailAddressError},
      {"a@example.com", kMailAddressExisted},
      {" a@example.com ", kMailAddressExisted},
  };
  for (const auto& [address, message] : refused) {
    Recipients copy = list;
    EXPECT_EQ(storeRecipient(copy, 2, address).message, message) << address;
    EXPECT_EQ(copy, list);
  }
  // A slot keeps its own address, and an address is stored without surrounding blanks.
  EXPECT_TRUE(storeRecipient(list, 1, "b@example.com").accepted());
  EXPECT_TRUE(storeRecipient(list, 2, "  c@example.com\t").accepted());
  EXPECT_EQ(list[2], "c@example.com");
}

TEST(AdvanceConfigMailRules, ListLinesSlotsAndTheFullList) {
  Recipients list{};
  list[1] = "b@x";
  list[4] = "e@x";
  // The list shows the used slots; lines count only those.
  EXPECT_EQ(recipientSlotOfLine(list, 0), 1);
  EXPECT_EQ(recipientSlotOfLine(list, 1), 4);
  EXPECT_EQ(recipientSlotOfLine(list, 2), -1);
  EXPECT_EQ(newRecipient(list).slot, 0);
  EXPECT_EQ(editRecipient(list, 1).slot, 4);
  EXPECT_EQ(editRecipient(list, -1).message, kSelectAddressToEdit);
  EXPECT_EQ(deleteRecipient(list, -1).message, kSelectAddressToRemove);

  EXPECT_EQ(deleteRecipient(list, 0).slot, 1);
  EXPECT_EQ(list[1], "");
  EXPECT_EQ(list[3], "e@x");  // the later slots moved up

  for (int slot = 0; slot < kRecipientCount; ++slot) {
    const RecipientAnswer answer = newRecipient(list);
    ASSERT_TRUE(answer.accepted()) << slot;
    list[static_cast<std::size_t>(answer.slot)] = "r" + std::to_string(slot) + "@x";
    if (answer.slot == kRecipientCount - 1) break;
  }
  EXPECT_EQ(newRecipient(list).message, kMailListFull);
}

TEST(AdvanceConfigSecurityRules, PageChecksAndStoresOnlyTheDigest) {
  const std::string abc = "900150983cd24fb0d6963f7d28e17f72";
  EXPECT_EQ(securityDigest("abc"), abc);

  struct Case {
    bool enabled;
    std::string password;
    std::string confirmation;
    std::string stored;
    std::string_view message;
    std::string kept;  // what is stored when accepted
  };
  const std::string sixteen(16, 'x');
  const std::string seventeen(17, 'x');
  // 16 characters of two bytes each: characters count, not bytes.
  std::string sixteenUmlauts;
  for (int i = 0; i < 16; ++i) sixteenUmlauts += "\xC3\xBC";
  const Case cases[] = {
      {true, "", "", "", kPasswordError, ""},
      {true, "abc", "abd", "", kPasswordError, ""},
      {true, seventeen, seventeen, "", kPasswordTooLong, ""},
      {true, sixteen, sixteen, "", {}, securityDigest(sixteen)},
      {true, sixteenUmlauts, sixteenUmlauts, "", {}, securityDigest(sixteenUmlauts)},
      {true, "abc", "abc", "", {}, abc},
      // Untouched edits hold the 32-digit digest: kept, and not too long.
      {true, abc, abc, abc, {}, abc},
      {false, abc, abc, abc, {}, abc},
      // With the lock off nothing is checked; a typed text is still only stored as its digest.
      {false, "abc", "other", abc, {}, abc},
      {false, "", "", abc, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password + " / " + c.confirmation);
    const SecurityPageAnswer answer =
        takeSecurityPage(c.enabled, c.password, c.confirmation, c.stored);
    EXPECT_EQ(answer.message, c.message);
    if (!answer.accepted()) continue;
    EXPECT_EQ(answer.enable, c.enabled ? 1 : 0);
    EXPECT_EQ(answer.password, c.kept);
  }

  EXPECT_TRUE(securityPasswordMatches("abc", abc));
  EXPECT_FALSE(securityPasswordMatches("ABC", abc));
  EXPECT_FALSE(securityPasswordMatches("", ""));
}

}  // namespace
}  // namespace ipcam
