#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ipcam {

// What a camera says about itself (its firmware information).
struct FirmwareInfo {
  std::string version;
  std::uint32_t modelId = 0;   // the camera type code
  std::uint32_t vendorId = 0;  // stored as the camera's "Model"
};

// The camera's maximum and current number of viewers.
struct UserCounts {
  std::uint32_t maximum = 0;
  std::uint32_t current = 0;
};

// Result codes of fetchText.
enum FetchResult : int {
  kFetchComplete = 4,   // the final ready state: the answer is complete
  kFetchNoObject = -1,  // the request object could not be created
  kFetchOpenFailed = -2,
  kFetchHeaderFailed = -3,
  kFetchSendFailed = -4,
  kFetchNoAnswer = -5,  // no complete answer in time (or no answer at all)
  kFetchException = -6,
};

// Result codes of the camera queries.
enum QueryResult : int {
  kQueryOk = 0,
  kQueryNoAnswer = -1,
  kQueryUnauthorized = -2,
  kQueryFieldsMissing = -3,
};

// The time every camera query gives its answer.
inline constexpr int kQueryTimeoutMs = 10000;

// GET of a camera page with the channel's credentials (Basic or Digest as the camera asks),
// waiting up to timeoutMs for the whole answer. Failures of the request object itself are
// shown in a message box from the calling thread; an answer that does not come in time, or a
// camera that cannot be reached, is not.
int fetchText(const std::string& url, const std::string& user, const std::string& password,
              std::string& answer, int timeoutMs);

// The four questions a channel asks its camera; each reads the camera's address, web port and
// credentials from the live settings.
int queryPrivateVideoPort(int channel, std::uint32_t& port);
int queryFirmware(int channel, FirmwareInfo& firmware);
int queryFirmwareXml(int channel, FirmwareInfo& firmware);
int queryUserCounts(int channel, UserCounts& counts);

// How each answer is read. Out-values set before a failing step keep their values.
int parsePrivateVideoPort(std::string_view answer, std::uint32_t& port);
int parseFirmwareList(std::string_view answer, FirmwareInfo& firmware);
int parseFirmwareXml(std::string_view answer, FirmwareInfo& firmware);
int parseUserCounts(std::string_view answer, UserCounts& counts);

// The text of the element at root/a/b/c (four element names, matched exactly), searched depth
// first; false when the document does not parse or has no such element. Lookups of all
// channels take turns.
bool lookupXmlPath(std::string_view document, const std::array<std::string_view, 4>& names,
                   std::string& text);

}  // namespace ipcam
