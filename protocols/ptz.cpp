#include "protocols/ptz.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/camera_models.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "platform/trace.h"
#include "protocols/http_camera_client.h"

namespace ipcam {
namespace {

constexpr std::string_view kPtzPath = "camera-cgi/com/ptz.cgi?";
constexpr std::uint32_t kPtzTimeoutMs = 3000;
// The answer is not looked at; it only has to fit.
constexpr std::size_t kPtzAnswerCapacity = 1024;

// Rows top to bottom, columns left to right.
constexpr std::array<std::array<std::string_view, 3>, 3> kClickQueries{{
    {"move=upleft&ptspeed=18", "move=up&ptspeed=18", "move=upright&ptspeed=18"},
    {"move=left&ptspeed=18", "", "move=right&ptspeed=18"},
    {"move=downleft&ptspeed=18", "move=down&ptspeed=18", "move=downright&ptspeed=18"},
}};

constexpr int kFirstPtzButton = 1182;
constexpr int kHomeButton = 1186;
constexpr int kLastPtzButton = 1190;

// Which third of a side `position` falls in; the borders belong to the outer thirds.
std::size_t third(int position, int length) {
  const int oneThird = length / 3;
  if (position <= oneThird) return 0;
  if (position >= 2 * oneThird) return 2;
  return 1;
}

bool channelIsLive(int channel) {
  return channelRecord(channel).status.load() >= kStatusLive;
}

// Everything the request needs, copied, so the sending thread holds nothing of the channel.
struct PtzRequest {
  DocumentTarget target;
  std::string path;
};

void sendPtzRequest(const PtzRequest& ptz, const platform::ThreadRun& run) {
  // A camera that does not move is not worth a message: the request is fire and forget.
  std::string answer;
  if (const int result = FetchDocument(ptz.target, ptz.path, kPtzTimeoutMs, answer,
                                       kPtzAnswerCapacity, &run.flag());
      result != 0) {
    platform::trace("pan/tilt request to %s failed: %d", ptz.target.host.c_str(), result);
  }
}

}  // namespace

std::string ptzQueryForClick(int width, int height, int x, int y) {
  return std::string(kClickQueries[third(y, height)][third(x, width)]);
}

std::string ptzQueryForButton(int buttonId, int cameraType) {
  if (buttonId < kFirstPtzButton || buttonId > kLastPtzButton) return {};
  if (buttonId == kHomeButton) {
    return cameraModel(cameraType).home == PtzHome::kHome ? "move=home&ptspeed=18"
                                                          : "move=center&ptspeed=18";
  }
  const int index = buttonId - kFirstPtzButton;
  return std::string(
      kClickQueries[static_cast<std::size_t>(index / 3)][static_cast<std::size_t>(index % 3)]);
}

bool sendPtzCommand(int channel, const std::string& query) {
  if (query.empty() || channel < 0 || channel >= kChannelCount) return false;
  const CameraSettings camera = cameraSnapshot(channel);
  PtzRequest request{{camera.ip, camera.webPort, camera.login, camera.password},
                     std::string(kPtzPath) + query};
  // The channel's pan/tilt worker sends the requests in order, off the user-interface thread;
  // when clicks come faster than the camera answers, the surplus is dropped.
  return channelRecord(channel).threads.ptz.post(
      [request = std::move(request)](const platform::ThreadRun& run) {
        sendPtzRequest(request, run);
      });
}

bool sendPtzButtonCommand(int channel, int buttonId) {
  if (channel < 0 || channel >= kChannelCount) return false;
  if (!channelIsLive(channel) || !isPtzCamera(channel, false)) return false;
  return sendPtzCommand(channel, ptzQueryForButton(buttonId, cameraSnapshot(channel).type));
}

bool ptzClickToMove(int channel, int width, int height, int x, int y) {
  if (channel < 0 || channel >= kChannelCount) return false;
  const ChannelRecord& record = channelRecord(channel);
  if ((record.legacyReconnect.load() || record.mpeg4Reconnect.load()) &&
      record.threads.connect.running()) {
    platform::trace("Camera %d: pan/tilt ignored while reconnecting", channel + 1);
    return false;
  }
  if (!channelIsLive(channel) || !isPtzCamera(channel, false)) return false;
  return sendPtzCommand(channel, ptzQueryForClick(width, height, x, y));
}

}  // namespace ipcam
