// Snapshots from end to end: simulated cameras on 127.0.0.1, the channel's own decoding
// thread serving the request, and the files in the recording directory.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "app/connection_worker.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "recording/storage.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The single file in `folder` once it is written whole: while a snapshot is written it sits
// under a hidden name of its own, renamed when complete.
std::optional<fs::path> onlyFile(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    files.push_back(it->path());
  }
  if (files.size() != 1 || files.front().filename().string().starts_with('.')) return std::nullopt;
  return files.front();
}

// Width and height of a JPEG file as TurboJPEG reads it whole; nothing when it does not decode.
std::optional<std::pair<int, int>> jpegSize(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  tjhandle handle = tjInitDecompress();
  int width = 0;
  int height = 0;
  int sampling = 0;
  int colourSpace = 0;
  bool ok = !bytes.empty() && tjDecompressHeader3(handle, bytes.data(), bytes.size(), &width,
                                                  &height, &sampling, &colourSpace) == 0;
  if (ok) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    ok = tjDecompress2(handle, bytes.data(), bytes.size(), rgb.data(), width, 0, height, TJPF_RGB,
                       0) == 0;
  }
  tjDestroy(handle);
  if (!ok) return std::nullopt;
  return std::pair{width, height};
}

TEST(SnapshotLive, MotionJpegAndH264CamerasSaveTheirNextPicture) {
  platform::test_support::TempFolder home;
  platform::test_support::ScopedEnv homeEnv("HOME", home.path().string());
  platform::test_support::ScopedEnv resources("IPCAM_RESOURCES", IPCAM_RESOURCE_DIR);
  setSoundDeviceProbe([] { return true; });
  const ConnectionServices saved = connectionServices();
  wireProgram();

  // Channel 1: Motion JPEG over HTTP; channel 2: H.264 over RTSP.
  struct Case {
    std::uint32_t model;
    int videoFormat;
  };
  const Case cases[] = {{12, 0}, {20, 2}};
  const fs::path recordDir = home.path() / "rec";
  std::vector<std::unique_ptr<camsim::Server>> cameras;
  {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
    liveSettings().recPath = {recordDir.string(), "", ""};
  }
  prepareRecordDirs({recordDir.string(), "", ""}, nullptr);
  appState().currentRecordDir.store(0);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    camsim::Options options;
    options.modelId = cases[i].model;
    options.pictureWidth = 320;
    options.pictureHeight = 240;
    auto& camera = cameras.emplace_back(std::make_unique<camsim::Server>(options));
    ASSERT_TRUE(camera->start()) << camera->lastError();
    std::lock_guard lock(settingsMutex());
    CameraSettings& settings = liveSettings().camera[i];
    settings.name = "Hall/" + std::to_string(i + 1);
    settings.ip = "127.0.0.1";
    settings.webPort = camera->port();
    settings.login = options.user;
    settings.password = options.password;
    settings.videoFormat = cases[i].videoFormat;
  }

  testing::RecordingViewerUi ui;
  attachUi(&ui);
  createChannelObjects(ui);
  startChannels(ui);

  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE("channel " + std::to_string(channel + 1));
    ChannelRecord& record = channelRecord(channel);
    ASSERT_TRUE(testing::waitFor([&] { return record.status.load() == kStatusLive; }, 30s));
    record.snapshotRequest.store(1);
    const fs::path folder =
        recordDir / "Data" / "Snapshot" / ("Camera " + std::to_string(channel + 1));
    ASSERT_TRUE(testing::waitFor([&] { return onlyFile(folder).has_value(); }, 30s));
    EXPECT_EQ(record.snapshotRequest.load(), 0);
    const fs::path file = *onlyFile(folder);
    EXPECT_TRUE(file.filename().string().starts_with("Hall_" + std::to_string(channel + 1) + "_"))
        << file;
    EXPECT_EQ(file.extension(), ".jpg");
    EXPECT_EQ(jpegSize(file), (std::pair{320, 240}));
  }
  EXPECT_TRUE(ui.messages().empty());

  shutdownCore();
  appState().currentRecordDir.store(-1);
  cameras.clear();
  connectionServices() = saved;
  setSoundDeviceProbe(nullptr);
}

}  // namespace
}  // namespace ipcam
