#include "recording/snapshot.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/picture.h"
#include "core/viewer_settings.h"
#include "recording/storage.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

// A saved snapshot decoded by TurboJPEG itself into R, G, B bytes, apart from the program's
// own JPEG layer, so that a colour order mixed up both ways cannot hide.
struct DecodedJpeg {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
  std::uint32_t pixel(int x, int y) const {
    const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
    return 0xff000000u | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
  }
};

std::optional<DecodedJpeg> decodeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  tjhandle handle = tjInitDecompress();
  DecodedJpeg out;
  int sampling = 0;
  int colourSpace = 0;
  bool ok = !bytes.empty() && tjDecompressHeader3(handle, bytes.data(), bytes.size(), &out.width,
                                                  &out.height, &sampling, &colourSpace) == 0;
  if (ok) {
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    ok = tjDecompress2(handle, bytes.data(), bytes.size(), out.rgb.data(), out.width, 0, out.height,
                       TJPF_RGB, 0) == 0;
  }
  tjDestroy(handle);
  if (!ok) return std::nullopt;
  return out;
}

TEST(SnapshotName, ReplacesTheCharactersAFileNameCannotHold) {
  const struct {
    const char* name;
    const char* safe;
  } cases[] = {
      {"Front door", "Front door"},
      {"Gate: A/B.1", "Gate_ A_B_1"},
      {R"(*|:"<>?/\.)", "__________"},
      {"Café ü-2", "Café ü-2"},  // bytes of other scripts are left alone
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(snapshotSafeName(c.name), c.safe) << c.name;

  EXPECT_EQ(snapshotFileName("/rec", 2, "Gate: A/B.1", makeLocalTime(2014, 5, 1, 8, 7, 6)),
            "/rec/Data/Snapshot/Camera 3/Gate_ A_B_1_2014-05-01_08-07-06.jpg");
}

TEST(SnapshotTemplate, IsChosenByWidthAndForTwelveEightyByHeight) {
  const struct {
    int width;
    int height;
    const char* file;
  } cases[] = {
      {320, 240, "image/Snapshot_320_240.jpg"},     {640, 480, "image/Snapshot_640_480.jpg"},
      {1024, 768, "image/Snapshot_1024_768.jpg"},   {1280, 720, "image/Snapshot_1280_720.jpg"},
      {1280, 1024, "image/Snapshot_1280_1024.jpg"}, {1280, 960, "image/Snapshot_1280_1024.jpg"},
      {160, 120, "image/Snapshot_160_120.jpg"},     {176, 144, "image/Snapshot_160_120.jpg"},
      {800, 600, "image/Snapshot_160_120.jpg"},     {0, 0, "image/Snapshot_160_120.jpg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(snapshotTemplateFor(c.width, c.height), c.file) << c.width << "x" << c.height;
  }
  // Every template exists at its size.
  for (const auto& c : cases) {
    const auto canvas =
        decodeFile(fs::path(IPCAM_RESOURCE_DIR) / snapshotTemplateFor(c.width, c.height));
    ASSERT_TRUE(canvas) << c.file;
    EXPECT_EQ(std::string(c.file), "image/Snapshot_" + std::to_string(canvas->width) + "_" +
                                       std::to_string(canvas->height) + ".jpg");
  }
}

// An RGB32 picture of four coloured quarters, in the layout the decoders hand over.
struct TestPicture {
  TestPicture(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w * h)) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y * w + x)] = colourAt(x, y);
    }
  }
  std::uint32_t colourAt(int x, int y) const {
    static constexpr std::array<std::uint32_t, 4> kQuarters{0xffe02020, 0xff20c040, 0xff2040e0,
                                                            0xfff0f0f0};
    return kQuarters[static_cast<std::size_t>((x >= width / 2 ? 1 : 0) +
                                              (y >= height / 2 ? 2 : 0))];
  }
  PictureView view() const {
    PictureView v;
    v.data = reinterpret_cast<const std::uint8_t*>(pixels.data());
    v.width = width;
    v.height = height;
    v.stride = width * 4;
    v.pictureWidth = width;
    v.pictureHeight = height;
    return v;
  }
  int width;
  int height;
  std::vector<std::uint32_t> pixels;
};

bool closeColour(std::uint32_t a, std::uint32_t b, int tolerance = 24) {
  for (int shift : {0, 8, 16}) {
    const int ca = static_cast<int>((a >> shift) & 0xff);
    const int cb = static_cast<int>((b >> shift) & 0xff);
    if (std::abs(ca - cb) > tolerance) return false;
  }
  return true;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string repeatText(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

std::vector<std::string> filesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Channel 2 ("Camera 3") named "Gate: 1", a prepared recording directory as the current one,
// and the message boxes recorded.
class SnapshotTest : public ::testing::Test {
 protected:
  static constexpr int kChannel = 2;

  void SetUp() override {
    {
      std::lock_guard lock(settingsMutex());
      savedSettings_ = liveSettings();
    }
    root_ = folder_.path() / "rec";
    prepareRecordDirs({root_.string(), "", ""}, nullptr);
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().recPath = {"", root_.string(), ""};
      liveSettings().camera[kChannel].name = "Gate: 1";
    }
    appState().currentRecordDir.store(1);
    appState().ui.store(&ui_);
    record_.channel = kChannel;
  }
  void TearDown() override {
    appState().ui.store(nullptr);
    appState().currentRecordDir.store(-1);
    std::lock_guard lock(settingsMutex());
    liveSettings() = savedSettings_;
  }

  fs::path snapshotFolder() const { return root_ / "Data" / "Snapshot" / "Camera 3"; }
  std::vector<std::string> messageTexts() const {
    std::vector<std::string> texts;
    for (const auto& m : ui_.messages()) texts.push_back(m.text);
    return texts;
  }
  static std::string text(const char* section, const char* key) {
    return CMultiLanguage::instance().text(section, key);
  }

  TempFolder folder_;
  ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  fs::path root_;
  ViewerSettings savedSettings_;
  testing::RecordingViewerUi ui_;
  ChannelRecord record_;
  const LocalTime at_ = makeLocalTime(2014, 5, 1, 23, 59, 59);
};

TEST_F(SnapshotTest, MotionJpegIsWrittenUnchangedAndTheSameSecondOverwrites) {
  // Not even a JPEG: whatever the camera sent is what the file holds.
  const std::vector<std::uint8_t> first{0xff, 0xd8, 0x01, 0x02, 0x00, 0xff, 0xd9};
  const std::vector<std::uint8_t> second{0xff, 0xd8, 0x07, 0xff, 0xd9};
  EXPECT_EQ(saveJpegSnapshotAt(record_, first, at_), kSnapshotSaved);
  EXPECT_EQ(saveJpegSnapshotAt(record_, second, at_), kSnapshotSaved);

  EXPECT_EQ(filesIn(snapshotFolder()), std::vector<std::string>{"Gate_ 1_2014-05-01_23-59-59.jpg"});
  EXPECT_EQ(readFile(snapshotFolder() / "Gate_ 1_2014-05-01_23-59-59.jpg"),
            std::string(second.begin(), second.end()));
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(SnapshotTest, ConvertedPictureIsSavedOnACanvasOfItsTemplatesSize) {
  const struct {
    int width;
    int height;
    int savedWidth;
    int savedHeight;
  } cases[] = {
      {640, 480, 640, 480},
      {1280, 720, 1280, 720},
      {1280, 960, 1280, 1024},  // the taller canvas; black below the picture
      {176, 144, 176, 144},     // no template holds it: not cut to 160x120
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const TestPicture picture(c.width, c.height);
    const LocalTime at = makeLocalTime(2020, 2, 29, 12, 0, c.width % 60);
    ASSERT_EQ(savePictureSnapshotAt(record_, picture.view(), at), kSnapshotSaved);
    const auto saved = decodeFile(snapshotFileName(root_.string(), kChannel, "Gate: 1", at));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->width, c.savedWidth);
    EXPECT_EQ(saved->height, c.savedHeight);
    // The middle of each quarter, away from the edges JPEG blurs.
    for (const auto& [fx, fy] :
         {std::pair{1, 1}, std::pair{3, 1}, std::pair{1, 3}, std::pair{3, 3}}) {
      const int x = c.width * fx / 4;
      const int y = c.height * fy / 4;
      EXPECT_TRUE(closeColour(saved->pixel(x, y), picture.colourAt(x, y)))
          << std::hex << saved->pixel(x, y) << " at " << std::dec << x << "," << y;
    }
    if (c.savedHeight > c.height) {
      EXPECT_TRUE(closeColour(saved->pixel(c.width / 2, c.savedHeight - 8), 0xff000000));
    }
  }
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(SnapshotTest, AMissingTemplateIsReportedAndThePictureStillSaved) {
  ScopedEnv emptyResources{"IPCAM_RESOURCES", folder_.path().string()};
  const TestPicture picture(320, 240);
  EXPECT_EQ(savePictureSnapshotAt(record_, picture.view(), at_), kSnapshotSaved);
  EXPECT_EQ(messageTexts(), std::vector<std::string>{"CImage Load Failed"});
  const auto saved = decodeFile(snapshotFolder() / "Gate_ 1_2014-05-01_23-59-59.jpg");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->width, 320);
  EXPECT_TRUE(closeColour(saved->pixel(240, 180), picture.colourAt(240, 180)));
}

// Every camera name gives a file in the camera's folder that keeps its time and extension,
// only its owner can read, and that the name cannot lead out of; a name too long for a file
// name is cut between characters instead of failing as a path error.
TEST_F(SnapshotTest, AnyCameraNameGivesAPrivateFileInTheCamerasFolder) {
  const std::string tail = "_2014-05-01_23-59-59.jpg";
  const struct {
    const char* what;
    std::string name;
    std::string savedName;
  } cases[] = {
      {"ascii, too long", std::string(300, 'a'), std::string(255 - tail.size(), 'a')},
      {"two-byte letters, too long", repeatText("ü", 200), repeatText("ü", 115)},
      {"three-byte letters, too long", repeatText("門", 100), repeatText("門", 77)},
      {"just fits", std::string(255 - tail.size(), 'b'), std::string(255 - tail.size(), 'b')},
      {"parent folders", "../../../x", "_________x"},
  };
  const std::vector<std::uint8_t> jpeg{0xff, 0xd8, 0xff, 0xd9};
  const TestPicture picture(160, 120);
  platform::test_support::ScopedUmask loose(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().camera[kChannel].name = c.name;
    }
    const std::vector<std::string> expected{c.savedName + tail};
    EXPECT_EQ(saveJpegSnapshotAt(record_, jpeg, at_), kSnapshotSaved);
    EXPECT_EQ(filesIn(snapshotFolder()), expected);
    fs::remove(snapshotFolder() / expected[0]);
    EXPECT_EQ(savePictureSnapshotAt(record_, picture.view(), at_), kSnapshotSaved);
    EXPECT_EQ(filesIn(snapshotFolder()), expected);
    EXPECT_EQ(platform::test_support::modeOf(snapshotFolder() / expected[0]), 0600);
    fs::remove(snapshotFolder() / expected[0]);
  }
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(SnapshotTest, FailuresShowTheirMessageAndLeaveNoFile) {
  const std::vector<std::uint8_t> jpeg{0xff, 0xd8, 0xff, 0xd9};
  const TestPicture picture(160, 120);

  appState().currentRecordDir.store(-1);
  EXPECT_EQ(saveJpegSnapshotAt(record_, jpeg, at_), kSnapshotNoRecordDir);
  EXPECT_EQ(savePictureSnapshotAt(record_, picture.view(), at_), kSnapshotNoRecordDir);
  EXPECT_EQ(messageTexts(),
            std::vector<std::string>(2, text("MessageBox", "Message_RecordingSpaceFull")));
  EXPECT_TRUE(filesIn(snapshotFolder()).empty());

  // The camera's folder has gone since start-up.
  ui_.clear();
  appState().currentRecordDir.store(1);
  fs::remove_all(snapshotFolder());
  EXPECT_EQ(saveJpegSnapshotAt(record_, jpeg, at_), kSnapshotCannotCreate);
  EXPECT_EQ(savePictureSnapshotAt(record_, picture.view(), at_), kSnapshotCannotCreate);
  EXPECT_EQ(messageTexts(), std::vector<std::string>(2, text("ErrorMessage", "Path_Error")));

  // A folder where the file should go: nothing half-written stays beside it.
  ui_.clear();
  fs::create_directories(snapshotFolder() / "Gate_ 1_2014-05-01_23-59-59.jpg");
  EXPECT_EQ(saveJpegSnapshotAt(record_, jpeg, at_), kSnapshotCannotCreate);
  EXPECT_EQ(savePictureSnapshotAt(record_, picture.view(), at_), kSnapshotCannotCreate);
  EXPECT_EQ(messageTexts(), std::vector<std::string>(2, text("ErrorMessage", "Path_Error")));
  EXPECT_EQ(filesIn(snapshotFolder()), std::vector<std::string>{"Gate_ 1_2014-05-01_23-59-59.jpg"});
}

}  // namespace
}  // namespace ipcam
