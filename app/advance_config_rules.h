#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "alerts/motion_mail.h"
#include "core/viewer_settings.h"

namespace ipcam {

// The rules of the general options sheet that need no window: how the stored values map onto
// the drop-down lists, the mail server presets, the recipient list and the password lock. The
// pages show the controls; these decide what a choice means and what may be stored.

// --- General page lists -------------------------------------------------------------------

inline constexpr std::array<int, 4> kScanTimeChoices{1, 3, 5, 10};
inline constexpr std::array<int, 5> kFileSizeChoices{50, 100, 200, 300, 500};
inline constexpr std::array<int, 6> kRecCycleTimeChoices{0, 7, 14, 30, 90, 180};
// Keys of section "AdvanceConfigGeneral", in list order.
inline constexpr std::array<std::string_view, 2> kRecCycleOptionKeys{"Option_Disable",
                                                                     "Option_Enable"};
inline constexpr std::array<std::string_view, 6> kRecCycleTimeOptionKeys{
    "Option_AnyTime", "Option_7_days",  "Option_2_weeks",
    "Option_30_days", "Option_90_days", "Option_180_days"};

// List position that shows a stored value. A value the list does not offer shows its
// fallback: 3 s, 50 MB, "any age"; a cycle value other than 0 or 1 selects nothing (-1).
int scanTimeIndex(int seconds);
int fileSizeIndex(int megabytes);
int recCycleIndex(int value);
int recCycleTimeIndex(int days);
// The value a list position stands for; a position outside the list (nothing selected)
// gives the same fallbacks, and cycle recording counts as enabled.
int scanTimeAt(int index);
int fileSizeAt(int index);
int recCycleAt(int index);
int recCycleTimeAt(int index);

// --- E-Mail page --------------------------------------------------------------------------

inline constexpr std::string_view kMailSection = "AdvanceConfigMail";
inline constexpr std::string_view kMailAddressError = "Message_MailAddressError";
inline constexpr std::string_view kMailAddressExisted = "Message_MailAddressExisted";
inline constexpr std::string_view kMailListFull = "Message_MailListFull";
inline constexpr std::string_view kSelectAddressToEdit = "Message_SelectAddressToEdit";
inline constexpr std::string_view kSelectAddressToRemove = "Message_SelectAddressToRemove";

inline constexpr int kDefaultSmtpPort = 25;
inline constexpr int kDefaultPop3Port = 110;

// The security list, in the order "SMTP_SSL_TLS" stores.
enum SmtpSecurityChoice : int {
  kSecurityNone = 0,
  kSecuritySsl,
  kSecuritySslGmail,
  kSecuritySslYahoo,
  kSecurityTls,
  kSecurityTlsGmail,
  kSecurityTlsHotmail,
};
inline constexpr std::array<std::string_view, 7> kSmtpSecurityChoices{
    "None", "SSL", "SSL (Gmail)", "SSL (Yahoo)", "TLS", "TLS (Gmail)", "TLS (Hotmail)"};

// The providers' public submission hosts.
inline constexpr std::string_view kGmailSmtpHost = "smtp.gmail.com";
inline constexpr std::string_view kYahooSmtpHost = "smtp.mail.yahoo.com";
inline constexpr std::string_view kHotmailSmtpHost = "smtp-mail.outlook.com";

struct SmtpEndpoint {
  std::string server;
  int port = kDefaultSmtpPort;
  bool operator==(const SmtpEndpoint&) const = default;
};

// What choosing `choice` puts into the server and port fields: a provider's host and port,
// or, for the plain choices (and anything unknown), the server and port of the editing copy.
SmtpEndpoint smtpEndpointForChoice(int choice, const SmtpEndpoint& stored);

// A port the page shows and stores: `port` when it is 1..65535, else `fallback`.
int portOr(long long port, int fallback);

using Recipients = std::array<std::string, kRecipientCount>;

// A refusal (a key of section "AdvanceConfigMail"), or the slot a button works on.
struct RecipientAnswer {
  std::string_view message;  // empty when allowed
  int slot = -1;
  bool accepted() const { return message.empty(); }
};

// The list shows the non-empty slots in order; the slot behind line `line`, or -1.
int recipientSlotOfLine(const Recipients& recipients, int line);
// "New": the first empty slot. "Edit": the selected line's slot. "Delete": empties the
// selected line's slot and moves the later ones up.
RecipientAnswer newRecipient(const Recipients& recipients);
RecipientAnswer editRecipient(const Recipients& recipients, int line);
RecipientAnswer deleteRecipient(Recipients& recipients, int line);
// The address dialog's OK for `slot`: the address (without surrounding blanks) must contain
// an at sign and must not be the address of another slot. On success it is stored.
RecipientAnswer storeRecipient(Recipients& recipients, int slot, std::string_view address);

// The "Send test e-mail" button and the certificate the user may trust from the page.
inline constexpr std::string_view kSendTestMail = "Button_SendTestMail";
inline constexpr std::string_view kTrustCertificate = "Button_TrustCertificate";
inline constexpr std::string_view kTrustedCertificate = "Static_TrustedCertificate";
inline constexpr std::string_view kTestMailSending = "Message_TestMailSending";
inline constexpr std::string_view kTestMailSent = "Message_TestMailSent";
inline constexpr std::string_view kTestMailCannotConnect = "Message_TestMailCannotConnect";
inline constexpr std::string_view kTestMailTimedOut = "Message_TestMailTimedOut";
inline constexpr std::string_view kTestMailLoginRefused = "Message_TestMailLoginRefused";
inline constexpr std::string_view kTestMailRecipientRefused = "Message_TestMailRecipientRefused";
inline constexpr std::string_view kTestMailLineBreak = "Message_TestMailLineBreak";
inline constexpr std::string_view kCertificateNotTrusted = "Message_CertificateNotTrusted";
inline constexpr std::string_view kCertificateChanged = "Message_CertificateChanged";
inline constexpr std::string_view kTestMailFailed = "Message_TestMailFailed";

// What the page says about a test mail: a key of "AdvanceConfigMail", and whether it offers
// to trust the certificate the server showed (result.fingerprint).
struct TestMailAnswer {
  std::string_view key;
  bool offerTrust = false;
  bool operator==(const TestMailAnswer&) const = default;
};
TestMailAnswer testMailAnswer(const MailResult& result);

// --- Password lock ------------------------------------------------------------------------

inline constexpr std::string_view kSecuritySection = "AdvanceConfigSecurity";
inline constexpr std::string_view kPasswordError = "Message_PasswordError";
inline constexpr std::string_view kPasswordTooLong = "Message_PasswordTooLong";
inline constexpr std::size_t kMaxPasswordCharacters = 16;
inline constexpr std::string_view kPasswordIncorrectText = "Security password is incorrect.";

// 32 lower-case hex digits of the MD5 of the password's UTF-8 bytes. Only this is stored.
std::string securityDigest(std::string_view password);

// What the security page asks to store. The edits are shown filled with the stored digest,
// so an edit that still holds exactly that text was left alone and keeps it.
struct SecurityPageAnswer {
  std::string_view message;  // a refusal: nothing may be stored
  std::int32_t enable = 0;
  std::string password;  // the digest text to store
  bool accepted() const { return message.empty(); }
};
SecurityPageAnswer takeSecurityPage(bool enabled, std::string_view password,
                                    std::string_view confirmation, std::string_view storedDigest);

// The start-up prompt's check of a typed password against the stored digest.
bool securityPasswordMatches(std::string_view typed, std::string_view storedDigest);

}  // namespace ipcam
