#include "app/advance_config_rules.h"

#include <algorithm>

#include "platform/md5.h"

namespace ipcam {
namespace {

constexpr int kMaxPort = 65535;
constexpr int kDefaultScanTimeIndex = 1;  // 3 s
constexpr int kSslPort = 465;
constexpr int kSubmissionPort = 587;
constexpr int kHotmailPort = 25;

template <std::size_t N>
int indexOf(const std::array<int, N>& choices, int value, int fallback) {
  const auto found = std::find(choices.begin(), choices.end(), value);
  return found == choices.end() ? fallback : static_cast<int>(found - choices.begin());
}

template <std::size_t N>
int valueAt(const std::array<int, N>& choices, int index, int fallbackIndex) {
  const bool inList = index >= 0 && index < static_cast<int>(N);
  return choices[static_cast<std::size_t>(inList ? index : fallbackIndex)];
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Characters as the user typed them: UTF-8 continuation bytes do not count.
std::size_t characterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

int scanTimeIndex(int seconds) {
  // 3 is the fallback, so it needs no entry of its own.
  switch (seconds) {
    case 1:
      return 0;
    case 5:
      return 2;
    case 10:
      return 3;
    default:
      return kDefaultScanTimeIndex;
  }
}
int fileSizeIndex(int megabytes) {
  return indexOf(kFileSizeChoices, megabytes, 0);
}
int recCycleIndex(int value) {
  return value == 0 || value == 1 ? value : -1;
}
int recCycleTimeIndex(int days) {
  return indexOf(kRecCycleTimeChoices, days, 0);
}

int scanTimeAt(int index) {
  return valueAt(kScanTimeChoices, index, kDefaultScanTimeIndex);
}
int fileSizeAt(int index) {
  return valueAt(kFileSizeChoices, index, 0);
}
int recCycleAt(int index) {
  return index == 0 ? 0 : 1;
}
int recCycleTimeAt(int index) {
  return valueAt(kRecCycleTimeChoices, index, 0);
}

SmtpEndpoint smtpEndpointForChoice(int choice, const SmtpEndpoint& stored) {
  switch (choice) {
    case kSecuritySslGmail:
      return {std::string(kGmailSmtpHost), kSslPort};
    case kSecuritySslYahoo:
      return {std::string(kYahooSmtpHost), kSslPort};
    case kSecurityTlsGmail:
      return {std::string(kGmailSmtpHost), kSubmissionPort};
    case kSecurityTlsHotmail:
      return {std::string(kHotmailSmtpHost), kHotmailPort};
    default:
      return stored;
  }
}

int portOr(long long port, int fallback) {
  return port >= 1 && port <= kMaxPort ? static_cast<int>(port) : fallback;
}

int recipientSlotOfLine(const Recipients& recipients, int line) {
  if (line < 0) return -1;
  for (int slot = 0; slot < kRecipientCount; ++slot) {
    if (recipients[static_cast<std::size_t>(slot)].empty()) continue;
    if (line-- == 0) return slot;
  }
  return -1;
}

RecipientAnswer newRecipient(const Recipients& recipients) {
  const auto empty = std::find_if(recipients.begin(), recipients.end(),
                                  [](const std::string& address) { return address.empty(); });
  if (empty == recipients.end()) return {kMailListFull};
  return {{}, static_cast<int>(empty - recipients.begin())};
}

RecipientAnswer editRecipient(const Recipients& recipients, int line) {
  const int slot = recipientSlotOfLine(recipients, line);
  if (slot < 0) return {kSelectAddressToEdit};
  return {{}, slot};
}

RecipientAnswer deleteRecipient(Recipients& recipients, int line) {
  const int slot = recipientSlotOfLine(recipients, line);
  if (slot < 0) return {kSelectAddressToRemove};
  std::move(recipients.begin() + slot + 1, recipients.end(), recipients.begin() + slot);
  recipients.back().clear();
  return {{}, slot};
}

RecipientAnswer storeRecipient(Recipients& recipients, int slot, std::string_view address) {
  if (slot < 0 || slot >= kRecipientCount) return {};
  const std::string_view wanted = trimmed(address);
  if (wanted.empty() || wanted.find('@') == std::string_view::npos) return {kMailAddressError};
  for (int other = 0; other < kRecipientCount; ++other) {
    if (other != slot && recipients[static_cast<std::size_t>(other)] == wanted) {
      return {kMailAddressExisted};
    }
  }
  recipients[static_cast<std::size_t>(slot)] = std::string(wanted);
  return {{}, slot};
}

std::string securityDigest(std::string_view password) {
  return Md5::hexOf(password);
}

SecurityPageAnswer takeSecurityPage(bool enabled, std::string_view password,
                                    std::string_view confirmation, std::string_view storedDigest) {
  const bool typedNew = password != storedDigest;
  SecurityPageAnswer answer;
  if (enabled) {
    if (password.empty() || password != confirmation) {
      answer.message = kPasswordError;
      return answer;
    }
    if (typedNew && characterCount(password) > kMaxPasswordCharacters) {
      answer.message = kPasswordTooLong;
      return answer;
    }
  }
  answer.enable = enabled ? 1 : 0;
  answer.password =
      !password.empty() && typedNew ? securityDigest(password) : std::string(password);
  return answer;
}

bool securityPasswordMatches(std::string_view typed, std::string_view storedDigest) {
  return securityDigest(typed) == storedDigest;
}

TestMailAnswer testMailAnswer(const MailResult& result) {
  switch (result.code) {
    case 0:
      return {kTestMailSent};
    case 104:  // connect failed
    case 105:  // no such host
    case 106:
    case 108:
    case 109:  // refused, or the wait for it failed
    case 400:  // closed by the server
      return {kTestMailCannotConnect};
    case 402:
    case 403:
      return {kTestMailTimedOut};
    case 204:
    case 205:
    case 206:
    case 302:
    case 303:
    case 304:
    case 305:
    case 306:
    case 406:
    case 407:
    case 417:
      return {kTestMailLoginRefused};
    case 309:
      return {kTestMailRecipientRefused};
    case 210:
      return {kTestMailLineBreak};
    default:
      break;
  }
  if (result.code == kMailIoTls && !result.fingerprint.empty()) {
    if (result.refusal == MailCertificateRefusal::Changed) return {kCertificateChanged, true};
    if (result.refusal == MailCertificateRefusal::Untrusted) return {kCertificateNotTrusted, true};
  }
  return {kTestMailFailed};
}

}  // namespace ipcam
