#include "protocols/camera_queries.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "core/app_state.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/thread_slot.h"
#include "platform/trace.h"
#include "platform/xml_document.h"
#include "platform/xml_http_request.h"

namespace ipcam {
namespace {

constexpr std::string_view kUnauthorized = "Unauthorized";
constexpr std::string_view kPrivateVideoPortKey = "System.PrivateVideoPort=";
constexpr std::string_view kVersionKey = "Properties.Firmware.Version=";
constexpr std::string_view kModelIdKey = "Properties.Firmware.ModelID=";
constexpr std::string_view kVendorIdKey = "Properties.Firmware.VendorID=";
constexpr std::string_view kMaxUsersKey = "Properties.VideoServer.MaxUsers";

constexpr std::string_view kPrivateVideoPortPage =
    "/camera-cgi/admin/param.cgi?action=list&group=System.PrivateVideoPort";
constexpr std::string_view kFirmwarePage =
    "/camera-cgi/admin/param.cgi?action=list&group=Properties.Firmware";
constexpr std::string_view kAnonymousPage = "/camera-cgi/public/anonymous.cgi";
constexpr std::string_view kVideoServerPage =
    "/camera-cgi/admin/param.cgi?action=list&group=Properties.VideoServer";

// The unsigned decimal number at the start of `text`; reading stops at the first non-digit,
// so text gives 0. Values past 32 bits stay at the largest one.
std::uint32_t decimalAt(std::string_view text) {
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(c - '0'), UINT32_MAX);
  }
  return static_cast<std::uint32_t>(value);
}

std::string_view from(std::string_view text, std::size_t position) {
  return position <= text.size() ? text.substr(position) : std::string_view();
}

void fetchFailure(const char* text) {
  if (ViewerUi* ui = appState().ui.load()) ui->postMessage(text, "Error");
}

// The common frame of the four queries: the camera page with the channel's credentials.
// kQueryOk with the answer, or the query's failure code.
int fetchCameraPage(int channel, std::string_view page, std::string& answer) {
  const CameraSettings camera = cameraSnapshot(channel);
  const std::string url =
      "http://" + camera.ip + ":" + std::to_string(camera.webPort) + std::string(page);
  if (fetchText(url, camera.login, camera.password, answer, kQueryTimeoutMs) < 0) {
    return kQueryNoAnswer;
  }
  if (answer.find(kUnauthorized) != std::string::npos) return kQueryUnauthorized;
  return kQueryOk;
}

}  // namespace

int fetchText(const std::string& url, const std::string& user, const std::string& password,
              std::string& answer, int timeoutMs) {
  using platform::XmlHttpResult;
  try {
    platform::XmlHttpRequest request;
    const std::chrono::milliseconds timeout(std::max(timeoutMs, 0));
    request.setTimeouts(timeout, timeout);
    if (request.open("GET", url, true, user, password) != XmlHttpResult::Ok) {
      fetchFailure("Failed to open http request!");
      return kFetchOpenFailed;
    }
    // No cached answer: the camera's state is wanted as it is now.
    if (request.setRequestHeader("If-Modified-Since", "0") != XmlHttpResult::Ok) {
      fetchFailure("Failed to set request header!");
      return kFetchHeaderFailed;
    }
    if (request.send() != XmlHttpResult::Ok) {
      fetchFailure("Failed to send http request!");
      return kFetchSendFailed;
    }
    // A worker that is told to stop does not sit out the camera's silence.
    const platform::ThreadRun* run = platform::currentThreadRun();
    if (platform::waitForCompletion(request, timeout, run != nullptr ? &run->flag() : nullptr) !=
        platform::WaitOutcome::Completed) {
      request.abort();
      return kFetchNoAnswer;
    }
    // A camera that cannot be reached, or that breaks off or overflows its answer, has given
    // no complete answer either.
    if (request.result() != XmlHttpResult::Ok) {
      platform::trace("GET %s: %s", url.c_str(),
                      std::string(platform::describe(request.result())).c_str());
      request.abort();
      return kFetchNoAnswer;
    }
    answer = request.responseText();
    request.abort();
    return kFetchComplete;
  } catch (const std::exception& error) {
    platform::trace("GET %s raised: %s", url.c_str(), error.what());
    return kFetchException;
  }
}

int queryPrivateVideoPort(int channel, std::uint32_t& port) {
  std::string answer;
  const int result = fetchCameraPage(channel, kPrivateVideoPortPage, answer);
  return result != kQueryOk ? result : parsePrivateVideoPort(answer, port);
}

int queryFirmware(int channel, FirmwareInfo& firmware) {
  std::string answer;
  const int result = fetchCameraPage(channel, kFirmwarePage, answer);
  return result != kQueryOk ? result : parseFirmwareList(answer, firmware);
}

int queryFirmwareXml(int channel, FirmwareInfo& firmware) {
  std::string answer;
  const int result = fetchCameraPage(channel, kAnonymousPage, answer);
  return result != kQueryOk ? result : parseFirmwareXml(answer, firmware);
}

int queryUserCounts(int channel, UserCounts& counts) {
  std::string answer;
  const int result = fetchCameraPage(channel, kVideoServerPage, answer);
  return result != kQueryOk ? result : parseUserCounts(answer, counts);
}

bool lookupXmlPath(std::string_view document, const std::array<std::string_view, 4>& names,
                   std::string& text) {
  // One lookup at a time, process-wide, as the camera pages of all channels share it.
  static std::mutex* const lookupMutex = new std::mutex();
  std::lock_guard lock(*lookupMutex);
  text.clear();
  platform::XmlDocument xml;
  if (xml.load(document) != platform::XmlError::None) return false;
  const std::optional<std::string> found = xml.findText(names);
  if (!found) return false;
  text = *found;
  return true;
}

int parsePrivateVideoPort(std::string_view answer, std::uint32_t& port) {
  if (answer.find(kPrivateVideoPortKey) == std::string_view::npos) return kQueryFieldsMissing;
  // The camera's answer starts with the key, so the number follows its 24 characters.
  port = decimalAt(from(answer, kPrivateVideoPortKey.size()));
  return kQueryOk;
}

int parseFirmwareList(std::string_view answer, FirmwareInfo& firmware) {
  // The three keys stand on the first three lines, in this order; each value runs to the end
  // of its own line. A key on another line makes its value end before it begins: refused.
  const std::size_t versionKey = answer.find(kVersionKey);
  const std::size_t firstLine = answer.find('\n');
  if (versionKey == std::string_view::npos || firstLine == std::string_view::npos ||
      firstLine <= 1 || firstLine < versionKey + kVersionKey.size()) {
    return kQueryFieldsMissing;
  }
  const std::size_t versionStart = versionKey + kVersionKey.size();
  firmware.version = std::string(answer.substr(versionStart, firstLine - versionStart));

  const std::size_t modelKey = answer.find(kModelIdKey);
  const std::size_t secondLine = answer.find('\n', firstLine + 1);
  if (modelKey == std::string_view::npos || secondLine == std::string_view::npos ||
      secondLine < modelKey + kModelIdKey.size()) {
    return kQueryFieldsMissing;
  }
  firmware.modelId = decimalAt(answer.substr(modelKey + kModelIdKey.size()));

  const std::size_t vendorKey = answer.find(kVendorIdKey);
  const std::size_t thirdLine = answer.find('\n', secondLine + 1);
  if (vendorKey == std::string_view::npos || thirdLine == std::string_view::npos ||
      thirdLine < vendorKey + kVendorIdKey.size()) {
    return kQueryFieldsMissing;
  }
  firmware.vendorId = decimalAt(answer.substr(vendorKey + kVendorIdKey.size()));
  return kQueryOk;
}

int parseFirmwareXml(std::string_view answer, FirmwareInfo& firmware) {
  std::string text;
  if (!lookupXmlPath(answer, {"root", "SystemInfo", "Firmware", "Version"}, text)) {
    return kQueryFieldsMissing;
  }
  firmware.version = text;
  if (!lookupXmlPath(answer, {"root", "SystemInfo", "Firmware", "modelID"}, text)) {
    return kQueryFieldsMissing;
  }
  firmware.modelId = decimalAt(text);
  if (!lookupXmlPath(answer, {"root", "SystemInfo", "Firmware", "vendorID"}, text)) {
    return kQueryFieldsMissing;
  }
  firmware.vendorId = decimalAt(text);
  return kQueryOk;
}

int parseUserCounts(std::string_view answer, UserCounts& counts) {
  if (answer.find(kMaxUsersKey) == std::string_view::npos) return kQueryFieldsMissing;
  // "...MaxUsers=<maximum>\n<another key>=<current>": the values after the first two "=".
  const std::size_t firstEquals = answer.find('=');
  const std::size_t secondEquals =
      firstEquals == std::string_view::npos ? firstEquals : answer.find('=', firstEquals + 1);
  if (secondEquals == std::string_view::npos) return kQueryFieldsMissing;
  counts.maximum = decimalAt(answer.substr(firstEquals + 1));
  counts.current = decimalAt(answer.substr(secondEquals + 1));
  return kQueryOk;
}

}  // namespace ipcam
