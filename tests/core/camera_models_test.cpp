#include "core/camera_models.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace ipcam {
namespace {

// The families spelled as ranges of codes, independently of the table, so that every row is
// checked against the sets the rest of the program has always used.
using Ranges = std::vector<std::pair<int, int>>;

bool in(int type, const Ranges& ranges) {
  for (const auto& [low, high] : ranges) {
    if (type >= low && type <= high) return true;
  }
  return false;
}

bool inSetA(int type) {
  return in(type, {{19, 21}, {28, 33}, {36, 38}});
}
bool inSetB(int type) {
  return in(type, {{22, 27}, {39, 44}});
}

// Every code a one-byte field can carry, and a few no camera sends.
std::vector<int> everyCode() {
  std::vector<int> codes{-1, 1000};
  for (int type = 0; type <= 255; ++type) codes.push_back(type);
  return codes;
}

TEST(CameraModelsTest, FamiliesFollowTheDocumentedCodeSets) {
  for (const int type : everyCode()) {
    SCOPED_TRACE(type);
    const bool a = inSetA(type);
    const bool b = inSetB(type);
    const bool d = in(type, {{47, 49}});
    const bool e = in(type, {{50, 52}});
    const bool f = in(type, {{53, 55}});
    EXPECT_EQ(isPtzCameraType(type), in(type, {{9, 10}, {13, 16}, {57, 57}}) || a || d || f);
    EXPECT_EQ(hasCameraAudioType(type), in(type, {{11, 16}, {57, 57}}) || a || b || d || e || f);
    EXPECT_EQ(hasVideoFormatChoiceType(type),
              in(type, {{11, 18}, {56, 58}, {60, 60}}) || a || b || d || e);
    EXPECT_EQ(isCgiCameraType(type),
              in(type, {{11, 18}, {34, 35}, {56, 58}, {60, 60}}) || a || b || d || e || f);
    EXPECT_EQ(prefersRtspType(type), in(type, {{47, 58}, {60, 60}}));
    EXPECT_EQ(cameraModel(type).timeStamp, in(type, {{9, 10}}));
    EXPECT_EQ(cameraModel(type).longServerMessages, in(type, {{15, 16}}));
    EXPECT_EQ(cameraModel(type).home == PtzHome::kHome, prefersRtspType(type));
  }
}

TEST(CameraModelsTest, OfferedFormatsAndTheirRoads) {
  using F = StreamFormat;
  for (const int type : everyCode()) {
    SCOPED_TRACE(type);
    std::vector<F> expected{F::kMotionJpeg};
    if (in(type, {{11, 18}}) || inSetA(type) || inSetB(type)) expected.push_back(F::kMpeg4);
    if (in(type, {{19, 33}, {36, 44}, {47, 52}, {56, 58}, {60, 60}})) expected.push_back(F::kH264);
    EXPECT_EQ(offeredVideoFormats(type), expected);

    const CameraModel& model = cameraModel(type);
    // Every offered format has a road, and no road is given for a format not offered.
    for (const F format : {F::kMotionJpeg, F::kMpeg4, F::kH264}) {
      const bool offered = std::find(expected.begin(), expected.end(), format) != expected.end();
      EXPECT_EQ(roadOf(model, format) != CameraRoad::kNone, offered);
    }
    if (!isCgiCameraType(type)) {
      EXPECT_EQ(roadOf(model, F::kMotionJpeg), CameraRoad::kLegacyServer);
    }
    // MPEG-4 comes from the camera server for the first CGI generation, else over RTSP.
    if (in(type, {{11, 18}})) {
      EXPECT_EQ(model.mpeg4, CameraRoad::kMpeg4Server);
    }
    if (inSetA(type) || inSetB(type)) {
      EXPECT_EQ(model.mpeg4, CameraRoad::kRtsp);
    }
  }
}

TEST(CameraModelsTest, OlderFirmwareCodesNameTheSameCamera) {
  for (const int type : everyCode()) {
    SCOPED_TRACE(type);
    const int current = currentTypeCode(type);
    EXPECT_EQ(current, in(type, {{36, 44}}) ? type - 17 : type);
    if (current != type) {
      // The same camera: everything but the code agrees.
      const CameraModel& old = cameraModel(type);
      const CameraModel& now = cameraModel(current);
      EXPECT_EQ(old.name, now.name);
      EXPECT_EQ(offeredVideoFormats(type), offeredVideoFormats(current));
      EXPECT_EQ(old.audio, now.audio);
      EXPECT_EQ(old.panTilt, now.panTilt);
    }
  }
}

TEST(CameraModelsTest, TableIsOrderedAndEveryRowHasAName) {
  int previous = -1;
  for (const CameraModel& model : cameraModels()) {
    SCOPED_TRACE(model.type);
    EXPECT_GT(model.type, previous);
    previous = model.type;
    EXPECT_FALSE(model.name.empty());
    EXPECT_EQ(&cameraModel(model.type), &model);
  }
}

}  // namespace
}  // namespace ipcam
