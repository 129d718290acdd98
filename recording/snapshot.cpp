#include "recording/snapshot.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/picture.h"
#include "core/viewer_settings.h"
#include "core/viewer_ui.h"
#include "platform/jpeg_image.h"
#include "platform/private_files.h"
#include "platform/resources.h"
#include "platform/trace.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUnsafeNameCharacters = "*|:\"<>?/\\.";
// What one path component may hold. A camera name may be far longer in UTF-8 (254 wide
// characters of another script); the time and the extension must survive whole.
constexpr std::size_t kMaxFileNameBytes = NAME_MAX;
constexpr const char* kTemplateLoadFailedText = "CImage Load Failed";

struct TemplateSize {
  int width;
  int height;
  std::string_view file;
};
constexpr TemplateSize kTemplates[] = {
    {320, 240, "image/Snapshot_320_240.jpg"},     {640, 480, "image/Snapshot_640_480.jpg"},
    {1024, 768, "image/Snapshot_1024_768.jpg"},   {1280, 720, "image/Snapshot_1280_720.jpg"},
    {1280, 1024, "image/Snapshot_1280_1024.jpg"},
};
constexpr std::string_view kFallbackTemplate = "image/Snapshot_160_120.jpg";

// Never inside a character: a byte that continues a UTF-8 sequence goes with it.
std::string cutToBytes(std::string text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

void showMessage(const std::string& text) {
  if (ViewerUi* ui = appState().ui.load()) ui->postMessage(text, kDefaultMessageTitle);
}

void showLanguageMessage(const char* section, const char* key) {
  showMessage(CMultiLanguage::instance().text(section, key));
}

// The directory new recordings and snapshots go to, or nothing when every one is full.
std::optional<std::string> currentRecordDir() {
  const int index = appState().currentRecordDir.load();
  std::lock_guard lock(settingsMutex());
  const auto& dirs = liveSettings().recPath;
  if (index < 0 || index >= static_cast<int>(dirs.size())) return std::nullopt;
  const std::string& dir = dirs[static_cast<std::size_t>(index)];
  if (dir.empty()) return std::nullopt;
  return dir;
}

std::optional<std::string> snapshotFileFor(const ChannelRecord& record, const LocalTime& at) {
  std::optional<std::string> dir = currentRecordDir();
  if (!dir) return std::nullopt;
  return snapshotFileName(*dir, record.channel, cameraSnapshot(record.channel).name, at);
}

// A snapshot that fails half way never leaves a file that looks like a good one. A snapshot of
// the same second replaces the earlier file. Like recordings, snapshots are the user's alone.
int writeWholeFile(const fs::path& target, std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  switch (platform::replaceFilePrivately(target, text, false)) {
    case platform::ReplaceResult::Written:
      return kSnapshotSaved;
    case platform::ReplaceResult::WriteFailed:
      return kSnapshotWriteFailed;
    case platform::ReplaceResult::CannotCreate:
      break;
  }
  return kSnapshotCannotCreate;
}

// The template's canvas with the picture over its top left corner. A canvas that cannot hold
// the whole picture (a picture size without a template of its own) would cut it, so such a
// picture gets a canvas of its own size instead.
platform::RgbImage composeOnTemplate(const PictureView& picture) {
  const std::string_view templateFile = snapshotTemplateFor(picture.width, picture.height);
  std::optional<platform::RgbImage> canvas =
      platform::loadJpegFile(platform::resourcePath(templateFile));
  if (!canvas) {
    showMessage(kTemplateLoadFailedText);
  } else if (canvas->width < picture.width || canvas->height < picture.height) {
    platform::trace("Snapshot: a %dx%d picture does not fit %.*s; saved at its own size",
                    picture.width, picture.height, static_cast<int>(templateFile.size()),
                    templateFile.data());
    canvas.reset();
  }
  if (!canvas) canvas.emplace(picture.width, picture.height);

  const int rows = std::min(picture.height, canvas->height);
  const std::size_t rowBytes = static_cast<std::size_t>(std::min(picture.width, canvas->width)) * 4;
  for (int y = 0; y < rows; ++y) {
    std::copy_n(picture.data + static_cast<std::ptrdiff_t>(y) * picture.stride, rowBytes,
                canvas->pixels.begin() + static_cast<std::ptrdiff_t>(y) * canvas->stride());
  }
  return std::move(*canvas);
}

}  // namespace

std::string snapshotSafeName(std::string_view cameraName) {
  std::string safe(cameraName);
  std::replace_if(
      safe.begin(), safe.end(),
      [](char c) { return kUnsafeNameCharacters.find(c) != std::string_view::npos; }, '_');
  return safe;
}

std::string snapshotFileName(std::string_view recordDir, int channel, std::string_view cameraName,
                             const LocalTime& at) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "_%d-%02d-%02d_%02d-%02d-%02d.jpg", at.year, at.month, at.day,
                at.hour, at.minute, at.second);
  const std::string_view tailText(tail);
  return std::string(recordDir) + "/Data/Snapshot/Camera " + std::to_string(channel + 1) + "/" +
         cutToBytes(snapshotSafeName(cameraName), kMaxFileNameBytes - tailText.size()) +
         std::string(tailText);
}

std::string_view snapshotTemplateFor(int width, int height) {
  for (const TemplateSize& t : kTemplates) {
    // 1280 pictures are either 720 lines high or take the 1024-line canvas.
    if (t.width == width && (width != 1280 || (t.height == 720) == (height == 720))) return t.file;
  }
  return kFallbackTemplate;
}

int saveJpegSnapshot(ChannelRecord& record, std::span<const std::uint8_t> jpeg) {
  return saveJpegSnapshotAt(record, jpeg, localTimeNow());
}

int savePictureSnapshot(ChannelRecord& record, const PictureView& picture) {
  return savePictureSnapshotAt(record, picture, localTimeNow());
}

int saveJpegSnapshotAt(ChannelRecord& record, std::span<const std::uint8_t> jpeg,
                       const LocalTime& at) {
  const std::optional<std::string> file = snapshotFileFor(record, at);
  if (!file) {
    showLanguageMessage("MessageBox", "Message_RecordingSpaceFull");
    return kSnapshotNoRecordDir;
  }
  const int result = writeWholeFile(*file, jpeg);
  if (result == kSnapshotCannotCreate) showLanguageMessage("ErrorMessage", "Path_Error");
  return result;
}

int savePictureSnapshotAt(ChannelRecord& record, const PictureView& picture, const LocalTime& at) {
  if (!snapshotFileFor(record, at)) {
    showLanguageMessage("MessageBox", "Message_RecordingSpaceFull");
    return kSnapshotNoRecordDir;
  }
  const bool readable = picture.data != nullptr && picture.width > 0 && picture.height > 0 &&
                        picture.stride >= picture.width * 4;
  std::optional<std::vector<std::uint8_t>> jpeg;
  if (readable) jpeg = platform::encodeJpeg(composeOnTemplate(picture));
  // Named only now: a template box may have held this thread for long, and the directory
  // may have changed meanwhile.
  const std::optional<std::string> file = snapshotFileFor(record, at);
  if (!jpeg || !file || writeWholeFile(*file, *jpeg) != kSnapshotSaved) {
    showLanguageMessage("ErrorMessage", "Path_Error");
    return kSnapshotCannotCreate;
  }
  return kSnapshotSaved;
}

}  // namespace ipcam
