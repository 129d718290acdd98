#include "core/camera_models.h"

#include <algorithm>
#include <array>

namespace ipcam {
namespace {

using R = CameraRoad;

// What one firmware generation offers, whatever the model: the roads of its picture formats
// and its pan/tilt home position.
struct Generation {
  CameraRoad motionJpeg;
  CameraRoad mpeg4;
  CameraRoad h264;
  PtzHome home;
};

// The picture servers of the oldest cameras.
constexpr Generation kPictureServer{R::kLegacyServer, R::kNone, R::kNone, PtzHome::kCenter};
// The first CGI cameras: Motion JPEG over HTTP, MPEG-4 from the camera server.
constexpr Generation kCgiWithServer{R::kHttp, R::kMpeg4Server, R::kNone, PtzHome::kCenter};
// CGI cameras that stream MPEG-4 and H.264 over RTSP but Motion JPEG over HTTP.
constexpr Generation kCgiWithRtsp{R::kHttp, R::kRtsp, R::kRtsp, PtzHome::kCenter};
// CGI cameras with Motion JPEG only.
constexpr Generation kCgiMotionJpeg{R::kHttp, R::kNone, R::kNone, PtzHome::kCenter};
// RTSP cameras: every format over RTSP.
constexpr Generation kRtspH264{R::kRtsp, R::kNone, R::kRtsp, PtzHome::kHome};
constexpr Generation kRtspMotionJpeg{R::kRtsp, R::kNone, R::kNone, PtzHome::kHome};

enum Extra : unsigned {
  kNoExtras = 0,
  kAudio = 1,
  kPanTilt = 2,
  kTimeStamp = 4,
  kLongServerMessages = 8,
};

constexpr CameraModel model(int type, std::string_view name, const Generation& generation,
                            unsigned extras, int sameCameraAs = 0) {
  CameraModel m;
  m.type = type;
  m.name = name;
  m.motionJpeg = generation.motionJpeg;
  m.mpeg4 = generation.mpeg4;
  m.h264 = generation.h264;
  m.home = generation.home;
  m.audio = (extras & kAudio) != 0;
  m.panTilt = (extras & kPanTilt) != 0;
  m.timeStamp = (extras & kTimeStamp) != 0;
  m.longServerMessages = (extras & kLongServerMessages) != 0;
  m.sameCameraAs = sameCameraAs;
  return m;
}

constexpr unsigned kAudioPanTilt = kAudio | kPanTilt;

// The maker's product list. Codes 36 to 44 are the cameras 19 to 27 as an older firmware
// reports them. Codes 0 to 8, 45, 46 and 59 are cameras we have no row for: they take the
// legacy road like any unknown code.
constexpr std::array kModels{
    model(9, "Corvel_RX27PT", kPictureServer, kPanTilt | kTimeStamp),
    model(10, "Corvel_RX27PTW", kPictureServer, kPanTilt | kTimeStamp),
    model(11, "Corvel_RX52", kCgiWithServer, kAudio),
    model(12, "Corvel_RX52W", kCgiWithServer, kAudio),
    model(13, "Corvel_RX53", kCgiWithServer, kAudioPanTilt),
    model(14, "Corvel_RX53W", kCgiWithServer, kAudioPanTilt),
    model(15, "Corvel_RX54", kCgiWithServer, kAudioPanTilt | kLongServerMessages),
    model(16, "Corvel_RX54W", kCgiWithServer, kAudioPanTilt | kLongServerMessages),
    model(17, "Corvel_RX56", kCgiWithServer, kNoExtras),
    model(18, "Corvel_RX56W", kCgiWithServer, kNoExtras),
    model(19, "Corvel_RX62", kCgiWithRtsp, kAudioPanTilt),
    model(20, "Corvel_RX62W", kCgiWithRtsp, kAudioPanTilt),
    model(21, "Corvel_RX62P", kCgiWithRtsp, kAudioPanTilt),
    model(22, "Corvel_RX42", kCgiWithRtsp, kAudio),
    model(23, "Corvel_RX42W", kCgiWithRtsp, kAudio),
    model(24, "Corvel_RX42P", kCgiWithRtsp, kAudio),
    model(25, "Corvel_RX46", kCgiWithRtsp, kAudio),
    model(26, "Corvel_RX46W", kCgiWithRtsp, kAudio),
    model(27, "Corvel_RX46P", kCgiWithRtsp, kAudio),
    model(28, "Corvel_RX64", kCgiWithRtsp, kAudioPanTilt),
    model(29, "Corvel_RX64W", kCgiWithRtsp, kAudioPanTilt),
    model(30, "Corvel_RX64P", kCgiWithRtsp, kAudioPanTilt),
    model(31, "Corvel_RX66", kCgiWithRtsp, kAudioPanTilt),
    model(32, "Corvel_RX66W", kCgiWithRtsp, kAudioPanTilt),
    model(33, "Corvel_RX66P", kCgiWithRtsp, kAudioPanTilt),
    model(34, "Corvel_RX48", kCgiMotionJpeg, kNoExtras),
    model(35, "Corvel_RX48W", kCgiMotionJpeg, kNoExtras),
    model(36, "Corvel_RX62", kCgiWithRtsp, kAudioPanTilt, 19),
    model(37, "Corvel_RX62W", kCgiWithRtsp, kAudioPanTilt, 20),
    model(38, "Corvel_RX62P", kCgiWithRtsp, kAudioPanTilt, 21),
    model(39, "Corvel_RX42", kCgiWithRtsp, kAudio, 22),
    model(40, "Corvel_RX42W", kCgiWithRtsp, kAudio, 23),
    model(41, "Corvel_RX42P", kCgiWithRtsp, kAudio, 24),
    model(42, "Corvel_RX46", kCgiWithRtsp, kAudio, 25),
    model(43, "Corvel_RX46W", kCgiWithRtsp, kAudio, 26),
    model(44, "Corvel_RX46P", kCgiWithRtsp, kAudio, 27),
    model(47, "Corvel_RX82", kRtspH264, kAudioPanTilt),
    model(48, "Corvel_RX82W", kRtspH264, kAudioPanTilt),
    model(49, "Corvel_RX82P", kRtspH264, kAudioPanTilt),
    model(50, "Corvel_RX72", kRtspH264, kAudio),
    model(51, "Corvel_RX72W", kRtspH264, kAudio),
    model(52, "Corvel_RX72P", kRtspH264, kAudio),
    model(53, "Corvel_RX86", kRtspMotionJpeg, kAudioPanTilt),
    model(54, "Corvel_RX86W", kRtspMotionJpeg, kAudioPanTilt),
    model(55, "Corvel_RX86P", kRtspMotionJpeg, kAudioPanTilt),
    model(56, "Corvel_RX92", kRtspH264, kNoExtras),
    model(57, "Corvel_RX92PT", kRtspH264, kAudioPanTilt),
    model(58, "Corvel_RX92W", kRtspH264, kNoExtras),
    model(60, "Corvel_RX96", kRtspH264, kNoExtras),
};

static_assert(std::is_sorted(kModels.begin(), kModels.end(),
                             [](const CameraModel& a, const CameraModel& b) {
                               return a.type <= b.type;
                             }),
              "the models are kept by ascending, distinct type code");

constexpr CameraModel kUnknownModel{};

// The discovery answer's one-byte fields bound the model-name lookup.
constexpr int kHighestNamedCode = 60;
constexpr int kHighestVendor = 35;
constexpr int kMakerVendor = 0;
constexpr std::string_view kUnknownName = "UnKnown";

}  // namespace

std::span<const CameraModel> cameraModels() {
  return kModels;
}

const CameraModel& cameraModel(int type) {
  const auto found =
      std::lower_bound(kModels.begin(), kModels.end(), type,
                       [](const CameraModel& model, int code) { return model.type < code; });
  return found != kModels.end() && found->type == type ? *found : kUnknownModel;
}

int currentTypeCode(int type) {
  const int same = cameraModel(type).sameCameraAs;
  return same != 0 ? same : type;
}

std::vector<StreamFormat> offeredVideoFormats(int type) {
  const CameraModel& model = cameraModel(type);
  std::vector<StreamFormat> formats{StreamFormat::kMotionJpeg};
  if (model.mpeg4 != CameraRoad::kNone) formats.push_back(StreamFormat::kMpeg4);
  if (model.h264 != CameraRoad::kNone) formats.push_back(StreamFormat::kH264);
  return formats;
}

CameraRoad roadOf(const CameraModel& model, StreamFormat codec) {
  switch (codec) {
    case StreamFormat::kMotionJpeg:
      return model.motionJpeg;
    case StreamFormat::kMpeg4:
      return model.mpeg4;
    case StreamFormat::kH264:
      return model.h264;
  }
  return CameraRoad::kNone;
}

bool isPtzCameraType(int type) {
  return cameraModel(type).panTilt;
}

bool hasCameraAudioType(int type) {
  return cameraModel(type).audio;
}

bool hasVideoFormatChoiceType(int type) {
  const CameraModel& model = cameraModel(type);
  return model.mpeg4 != CameraRoad::kNone || model.h264 != CameraRoad::kNone;
}

bool isCgiCameraType(int type) {
  return cameraModel(type).motionJpeg != CameraRoad::kLegacyServer;
}

bool prefersRtspType(int type) {
  return cameraModel(type).motionJpeg == CameraRoad::kRtsp;
}

bool sendsALawAudio(int type, int videoFormat) {
  return prefersRtspType(type) || (hasVideoFormatChoiceType(type) && videoFormat != 0);
}

std::string LookupModelName(int model, int vendor, int third) {
  // The third value once picked the names printed on the current boxes; they are the product
  // list's names, so it no longer changes the answer.
  static_cast<void>(third);
  if (model < 0 || model > kHighestNamedCode || vendor < 0 || vendor > kHighestVendor) {
    return std::string(kUnknownName);
  }
  if (vendor != kMakerVendor) return {};
  return std::string(cameraModel(model).name);
}

}  // namespace ipcam
