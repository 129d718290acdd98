#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

// What carries one picture format of a camera to us.
enum class CameraRoad {
  kNone,          // the camera does not offer the format
  kHttp,          // the camera's HTTP picture stream (with its HTTP audio stream)
  kRtsp,          // RTSP with RTP interleaved on the TCP connection
  kMpeg4Server,   // the MPEG-4 camera server behind the camera's private video port
  kLegacyServer,  // the oldest generation's binary picture-request protocol
};

// The picture formats a camera may stream.
enum class StreamFormat { kMotionJpeg, kMpeg4, kH264 };

// Where the pan/tilt home button sends the camera.
enum class PtzHome { kCenter, kHome };

// One camera model as its firmware reports it: the type code, and everything the program
// decides from that code. A model that is not in the table is an older camera of the legacy
// server road with none of the extras.
struct CameraModel {
  int type = 0;
  std::string_view name;  // the maker's name for it; "" when not known
  CameraRoad motionJpeg = CameraRoad::kLegacyServer;
  CameraRoad mpeg4 = CameraRoad::kNone;
  CameraRoad h264 = CameraRoad::kNone;
  bool audio = false;               // sends sound (HTTP audio stream, audio in recordings)
  bool panTilt = false;             // pan/tilt buttons and tile menu
  bool timeStamp = false;           // its pictures carry no time, so the tile draws one
  bool longServerMessages = false;  // the camera server's 418-byte control messages
  PtzHome home = PtzHome::kCenter;
  int sameCameraAs = 0;  // an older firmware's code: the code current firmware reports
};

// Every known model, by ascending type code.
std::span<const CameraModel> cameraModels();

// The model of a type code; an unknown code gives a legacy-road model without extras.
const CameraModel& cameraModel(int type);

// The code current firmware reports for the same camera (older firmware reports 36..44 for
// the cameras that are 19..27 now); every other code is its own.
int currentTypeCode(int type);

// The formats the camera page offers for a model, in list order; the camera's stored video
// format indexes this list. Motion JPEG always comes first.
std::vector<StreamFormat> offeredVideoFormats(int type);

// The road of one of the model's formats (kNone when it does not offer it).
CameraRoad roadOf(const CameraModel& model, StreamFormat codec);

// The camera-type families, by the type code.
bool isPtzCameraType(int type);
bool hasCameraAudioType(int type);
bool hasVideoFormatChoiceType(int type);  // offers more than Motion JPEG
bool isCgiCameraType(int type);           // any road but the legacy server
bool prefersRtspType(int type);           // Motion JPEG over RTSP too

// Whether the camera's sound is G.711 A-law, as the RTSP generations and a format-choice camera
// streaming anything but Motion JPEG send it (video format 0 is Motion JPEG); otherwise it is
// GSM 06.10.
bool sendsALawAudio(int type, int videoFormat);

// The model name shown for a camera found on the local network: the maker's name for vendor
// index 0, nothing for a partner's model (we know none of them), "UnKnown" for a code above
// 60 or a vendor index above 35.
std::string LookupModelName(int model, int vendor, int third);

}  // namespace ipcam
