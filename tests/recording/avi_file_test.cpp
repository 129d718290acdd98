#include "recording/avi_file.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

#include "recording/recorded_frames.h"
#include "recording/recording_format.h"
#include "support/avi_probe.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::test_support::TempFolder;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A Motion JPEG file as the recorder makes one: the video stream with its format record.
int openMotionJpeg(AviFile& file, const std::filesystem::path& path) {
  if (file.open(path.string()) != 0) return -1;
  const int stream = file.createStream(videoStreamHeader(fourCc("MJPG"), kWidth, kHeight));
  if (stream < 0 || !file.setFormat(stream, videoFormatRecord(fourCc("MJPG"), kWidth, kHeight))) {
    return -1;
  }
  return stream;
}

// A writer process killed with SIGKILL while it records, at a moment it does not choose:
// after it has reported `reported` frames it goes on writing until the signal comes.
TEST(AviFile, WriterKilledMidRecordingLeavesAFileThatPlays) {
  TempFolder folder;
  const std::filesystem::path path = folder.path() / "killed.avi";
  const auto jpeg = testing::jpegStream(kWidth, kHeight, 10);
  constexpr int kReported = 40;

  int progress[2];
  ASSERT_EQ(::pipe(progress), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(progress[0]);
    AviFile file;
    const int stream = openMotionJpeg(file, path);
    if (stream < 0) ::_exit(1);
    for (int i = 0;; ++i) {
      const auto& frame = jpeg.frames[static_cast<std::size_t>(i) % jpeg.frames.size()].bytes;
      if (file.write(stream, file.streamLength(stream), frame, 1, AviFile::kKeyFrame) != 0) {
        ::_exit(2);
      }
      if (i + 1 == kReported) {
        const char done = 1;
        [[maybe_unused]] const auto sent = ::write(progress[1], &done, 1);
      }
      // Paced like a camera, so the file stays small however late the signal comes.
      if (i + 1 >= kReported) std::this_thread::sleep_for(2ms);
    }
  }
  ::close(progress[1]);
  pollfd ready{progress[0], POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 60000), 1);
  char done = 0;
  ASSERT_EQ(::read(progress[0], &done, 1), 1);
  ::close(progress[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  // The index never came; FFmpeg reads the frames from 'movi' itself, every one of them.
  const auto bytes = testing::fileBytes(path);
  const auto chunks = testing::riffChunks(bytes, "00dc");
  EXPECT_TRUE(testing::riffChunks(bytes, "idx1").empty());
  EXPECT_GE(chunks.size(), static_cast<std::size_t>(kReported));
  const auto streams = testing::probeStreams(path);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].at("codec_tag_string"), "MJPG");
  EXPECT_EQ(testing::intField(streams[0], "nb_read_frames"), static_cast<int>(chunks.size()));
  EXPECT_EQ(testing::decodeComplaints(path), "");
}

// Power loss or a full disk can cut a file anywhere after its headers: at a chunk's end,
// inside its header, inside its data. The file plays up to its last whole frame.
TEST(AviFile, FileCutAnywhereAfterItsHeadersPlaysItsWholeFrames) {
  TempFolder folder;
  const std::filesystem::path path = folder.path() / "whole.avi";
  const auto jpeg = testing::jpegStream(kWidth, kHeight, 6);
  std::vector<std::uint64_t> chunkEnds;
  {
    AviFile file;
    const int stream = openMotionJpeg(file, path);
    ASSERT_GE(stream, 0);
    for (const auto& frame : jpeg.frames) {
      ASSERT_EQ(file.write(stream, file.streamLength(stream), frame.bytes, 1, AviFile::kKeyFrame),
                0);
      chunkEnds.push_back(std::filesystem::file_size(path));
    }
    // Its headers were last written with the first frame; the index comes with release.
  }
  ASSERT_EQ(std::filesystem::file_size(path), chunkEnds.back() + 8 + 6 * 16);

  // A torn frame (part of its data) reaches the decoder, which may or may not make a picture
  // of it and says so; every whole frame before it plays.
  struct Cut {
    const char* where;
    std::uint64_t size;
    int wholeFrames;
    bool torn;
  };
  const Cut cuts[] = {
      {"before any frame", AviFile::kMoviListOffset + 12, 0, false},
      {"inside the first chunk's header", AviFile::kMoviListOffset + 12 + 5, 0, false},
      {"after the third frame", chunkEnds[2], 3, false},
      {"inside the fourth chunk's header", chunkEnds[2] + 4, 3, false},
      {"inside the fourth frame's data", chunkEnds[2] + 100, 3, true},
      {"one byte short of the last frame", chunkEnds[5] - 1, 5, true},
      {"before the index", chunkEnds[5], 6, false},
      {"inside the index", chunkEnds[5] + 8 + 40, 6, false},
      {"everything", chunkEnds[5] + 8 + 6 * 16, 6, false},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.where);
    const std::filesystem::path cutPath = folder.path() / "cut.avi";
    std::filesystem::copy_file(path, cutPath, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cutPath, cut.size);
    const auto streams = testing::probeStreams(cutPath);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].at("codec_name"), "mjpeg");
    const int decoded = std::max(testing::intField(streams[0], "nb_read_frames"), 0);
    EXPECT_GE(decoded, cut.wholeFrames);
    EXPECT_LE(decoded, cut.wholeFrames + (cut.torn ? 1 : 0));
    // (With no frame at all there is nothing to decode, which ffmpeg reports as such.)
    if (!cut.torn && cut.wholeFrames > 0) {
      EXPECT_EQ(testing::decodeComplaints(cutPath), "");
    }
  }
}

TEST(AviFile, FinishedFileHasItsIndexAndHeadersThatMatchIt) {
  TempFolder folder;
  const std::filesystem::path path = folder.path() / "finished.avi";
  const auto jpeg = testing::jpegStream(kWidth, kHeight, 5);
  AviFile file;
  const int video = openMotionJpeg(file, path);
  ASSERT_GE(video, 0);
  for (const auto& frame : jpeg.frames) {
    ASSERT_EQ(file.write(video, file.streamLength(video), frame.bytes, 1, AviFile::kKeyFrame), 0);
  }
  EXPECT_EQ(file.createStream(audioStreamHeader(RecordedAudio::kALaw)), -1)
      << "streams come before the first sample";
  EXPECT_EQ(file.write(video, 0, jpeg.frames[0].bytes, 1, 0), EINVAL) << "only at the end";
  AviStreamHeader header = file.streamInfo(video);
  header.scale = 100;
  header.rate = 250;  // 2.5 frames a second
  ASSERT_TRUE(file.setStreamInfo(video, header));
  EXPECT_EQ(file.sampleToTime(video, 5), 2000);
  EXPECT_EQ(file.release(), 0);
  EXPECT_EQ(file.release(), 0);

  const auto bytes = testing::fileBytes(path);
  const auto index = testing::riffChunks(bytes, "idx1");
  ASSERT_EQ(index.size(), 1u);
  EXPECT_EQ(index[0].size(), 5u * 16);
  const auto streams = testing::probeStreams(path);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(testing::intField(streams[0], "nb_frames"), 5);
  EXPECT_EQ(testing::intField(streams[0], "nb_read_frames"), 5);
  EXPECT_EQ(streams[0].at("r_frame_rate"), "5/2");
  EXPECT_DOUBLE_EQ(testing::doubleField(streams[0], "duration"), 2.0);
  EXPECT_EQ(testing::decodeComplaints(path), "");
}

TEST(AviFile, OpenReportsWhyTheFileCannotBeCreated) {
  TempFolder folder;
  AviFile file;
  EXPECT_EQ(file.open((folder.path() / "missing" / "x.avi").string()), ENOENT);
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.createStream(videoStreamHeader(fourCc("MJPG"), kWidth, kHeight)), -1);
}

// Recordings show people: only their owner reads them, whatever the umask, until the user
// loosens them.
TEST(AviFile, TheFileIsTheUsersAloneWhateverTheUmask) {
  TempFolder folder;
  platform::test_support::ScopedUmask loose(0);
  const std::filesystem::path fresh = folder.path() / "fresh.avi";
  const std::filesystem::path reused = folder.write("reused.avi", "old");
  std::filesystem::permissions(reused, std::filesystem::perms(0644));
  for (const auto& path : {fresh, reused}) {
    AviFile file;
    EXPECT_GE(openMotionJpeg(file, path), 0) << path;
    file.release();
    EXPECT_EQ(platform::test_support::modeOf(path), 0600) << path;
  }

  // A link planted where the file goes is not followed into someone else's file.
  const std::filesystem::path victim = folder.write("victim", "keep");
  std::filesystem::create_symlink(victim, folder.path() / "link.avi");
  AviFile file;
  EXPECT_EQ(file.open((folder.path() / "link.avi").string()), ELOOP);
  EXPECT_EQ(std::filesystem::file_size(victim), 4U);
}

}  // namespace
}  // namespace ipcam
