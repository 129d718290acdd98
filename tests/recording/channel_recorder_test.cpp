#include "recording/channel_recorder.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/multi_language.h"
#include "core/recording_wake.h"
#include "core/viewer_settings.h"
#include "recording/record_names.h"
#include "recording/recorded_frames.h"
#include "recording/recording_format.h"
#include "recording/recording_threads.h"
#include "support/avi_probe.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::test_support::TempFolder;
using testing::EncodedStream;
using testing::probeStreams;

constexpr int kChannel = 4;
// Camera types by family: RTSP-first with audio; video format choice with audio; video format
// choice without audio.
constexpr int kRtspAudioCamera = 57;
constexpr int kChoiceAudioCamera = 20;
constexpr int kChoiceSilentCamera = 17;

std::uint32_t handlerCode(const char* name) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[3])) << 24;
}

// When the writes of a file happened, as the test saw them: the recorder's own clock reading
// lies between the inner and the outer span.
struct WriteTimes {
  std::chrono::steady_clock::time_point beforeFirst, afterFirst, beforeLast, afterLast;
  double innerSeconds() const {
    return std::chrono::duration<double>(beforeLast - afterFirst).count();
  }
  double outerSeconds() const {
    return std::chrono::duration<double>(afterLast - beforeFirst).count();
  }
};

// A recorder's channel as the program has it (three recorders, a live status, a picture
// size), recording into a fresh directory with its folder tree.
class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    std::filesystem::create_directories(cameraFolder());
    setCamera(kChoiceAudioCamera, 0, 0);
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().recPath = {folder_.path().string(), "", ""};
      liveSettings().fileSize = 50;
    }
    AppState& state = appState();
    state.ui.store(&ui_);
    state.currentRecordDir.store(0);
    state.recorderSpaceFullShown.store(false);
    state.recorderPathErrorShown.store(false);
    state.recordingOn.store(false);
    record_.status.store(kStatusLive);
    record_.pictureWidth.store(320);
    record_.pictureHeight.store(240);
    record_.manualRecorder = std::make_shared<ChannelRecorder>(kChannel, "Manual");
    record_.motionRecorder = std::make_shared<ChannelRecorder>(kChannel, "Motion");
    record_.scheduleRecorder = std::make_shared<ChannelRecorder>(kChannel, "Schedule");
  }
  void TearDown() override {
    // A test that failed while boxes were held must not leave a recording thread in one.
    ui_.releaseBoxes();
    record_.threads.manualRecord.stop();
    record_.manualRecord.store(0);
    for (const auto& sink :
         {record_.manualRecorder, record_.motionRecorder, record_.scheduleRecorder}) {
      sink->close();
    }
    appState().ui.store(nullptr);
    appState().currentRecordDir.store(-1);
    appState().recordingOn.store(false);
  }

  static void setCamera(int type, int videoFormat, int onlyVideo) {
    std::lock_guard lock(settingsMutex());
    CameraSettings& camera = liveSettings().camera[kChannel];
    camera = CameraSettings{};
    camera.type = type;
    camera.videoFormat = videoFormat;
    camera.onlyVideo = onlyVideo;
  }
  std::filesystem::path cameraFolder() const {
    return folder_.path() / "Data" / "Record" / ("Camera " + std::to_string(kChannel + 1));
  }
  std::vector<std::filesystem::path> files() const {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(cameraFolder())) {
      found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  ChannelRecorder& manual() { return *asRecorder(record_.manualRecorder); }
  ChannelRecorder& motion() { return *asRecorder(record_.motionRecorder); }

  // Hands frames [from, to) to the recorder as the decode thread does, one every 10 ms, so
  // that the file's rate has a span to follow.
  static WriteTimes feed(ChannelRecorder& recorder, const EncodedStream& stream, std::size_t from,
                         std::size_t to) {
    WriteTimes times;
    for (std::size_t i = from; i < to; ++i) {
      if (i != from) std::this_thread::sleep_for(10ms);
      const auto before = std::chrono::steady_clock::now();
      recorder.writeFrame(stream.frames[i].bytes, stream.frames[i].key, stream.parameterSets);
      const auto after = std::chrono::steady_clock::now();
      if (i == from) {
        times.beforeFirst = before;
        times.afterFirst = after;
      }
      times.beforeLast = before;
      times.afterLast = after;
    }
    return times;
  }

  std::vector<std::string> eventTexts() const {
    std::vector<std::string> texts;
    for (const auto& event : ui_.events()) {
      if (event.channel == kChannel) texts.push_back(event.text);
    }
    return texts;
  }

  // The file plays in FFmpeg: ffprobe finds `streams` streams, the video stream with its
  // tag and `frames` decoded frames over a duration the recorder's clock gave it (or, once
  // audio was recorded, the audio's length), and decoding all of it draws no complaint.
  static void expectPlays(const std::filesystem::path& file, std::size_t streams,
                          const std::string& tag, int frames, const WriteTimes& times,
                          std::optional<double> audioSeconds = std::nullopt) {
    SCOPED_TRACE(file.string());
    const auto probed = probeStreams(file);
    ASSERT_EQ(probed.size(), streams);
    const testing::ProbedStream& video = probed[0];
    EXPECT_EQ(video.at("codec_type"), "video");
    EXPECT_EQ(video.at("codec_tag_string"), tag);
    EXPECT_EQ(testing::intField(video, "nb_read_frames"), frames);
    if (audioSeconds) {
      EXPECT_NEAR(testing::doubleField(video, "duration"), *audioSeconds, 0.005);
    } else if (frames > 1) {
      // The rate follows the clock in hundredths of a frame per second; a frame's worth of
      // slack either way.
      const double duration = testing::doubleField(video, "duration");
      const double frameSeconds = times.outerSeconds() / (frames - 1);
      EXPECT_GE(duration, times.innerSeconds() - frameSeconds);
      EXPECT_LE(duration, times.outerSeconds() + 2 * frameSeconds);
    }
    EXPECT_EQ(testing::decodeComplaints(file), "");
  }

  TempFolder folder_;
  testing::RecordingViewerUi ui_;
  ChannelRecord& record_ = channelRecord(kChannel);
};

TEST(RecordingFileName, DirectoryChannelModeAndLocalTime) {
  struct Row {
    const char* dir;
    int channel;
    const char* mode;
    int year, month, day, hour, minute, second;
    const char* expected;
  };
  const Row rows[] = {
      {"/video", 2, "Motion", 2014, 5, 1, 8, 7, 6,
       "/video/Data/Record/Camera 3/Motion_2014-05-01_08-07-06.avi"},
      {"/video/", 0, "Manual", 999, 12, 31, 23, 59, 59,
       "/video/Data/Record/Camera 1/Manual_999-12-31_23-59-59.avi"},
      {"/srv/a b//", 15, "Schedule", 2031, 1, 9, 0, 0, 0,
       "/srv/a b/Data/Record/Camera 16/Schedule_2031-01-09_00-00-00.avi"},
  };
  for (const Row& row : rows) {
    std::tm when{};
    when.tm_year = row.year - 1900;
    when.tm_mon = row.month - 1;
    when.tm_mday = row.day;
    when.tm_hour = row.hour;
    when.tm_min = row.minute;
    when.tm_sec = row.second;
    EXPECT_EQ(recordingFileName(row.dir, row.channel, row.mode, when), row.expected);
  }
}

TEST_F(RecorderTest, StreamsAndFormatsFollowTheCamera) {
  const std::vector<std::uint8_t> alaw = {6, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x40, 0x1f,
                                          0, 0, 1, 0, 8,    0,    0, 0, 160,  0};
  const std::vector<std::uint8_t> gsm = {49, 0, 1,  0, 0x40, 0x1f, 0, 0, 0x59, 0x06,
                                         0,  0, 65, 0, 0,    0,    2, 0, 0x40, 0x01};
  const EncodedStream jpeg = testing::jpegStream(320, 240, 3);
  const EncodedStream mpeg4 = testing::mpeg4Stream(320, 240, 3, 3);
  const EncodedStream h264 = testing::h264Stream(320, 240, 3, 3);
  ASSERT_EQ(mpeg4.frames.size(), 3u);
  ASSERT_EQ(h264.frames.size(), 3u);
  struct Row {
    const char* what;
    int type, videoFormat, onlyVideo;
    const EncodedStream& frames;
    const char* handler;
    const std::vector<std::uint8_t>* audio;  // the 20-byte format record, null: no stream
  };
  const Row rows[] = {
      {"RTSP camera, Motion JPEG", kRtspAudioCamera, 0, 0, jpeg, "MJPG", &alaw},
      {"RTSP camera, H.264", kRtspAudioCamera, 2, 0, h264, "H264", &alaw},
      {"RTSP camera, H.264, video only", kRtspAudioCamera, 2, 1, h264, "H264", nullptr},
      {"format choice, MPEG-4", kChoiceAudioCamera, 1, 0, mpeg4, "XVID", &alaw},
      {"format choice, H.264", kChoiceAudioCamera, 2, 0, h264, "H264", &alaw},
      {"format choice, Motion JPEG", kChoiceAudioCamera, 0, 0, jpeg, "MJPG", &gsm},
      {"no audio family", kChoiceSilentCamera, 0, 0, jpeg, "MJPG", nullptr},
      // The settings name H.264, but such a camera streams Motion JPEG: the file is tagged
      // with what it holds, or no player could open it.
      {"settings and stream disagree", kChoiceSilentCamera, 2, 0, jpeg, "MJPG", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    setCamera(row.type, row.videoFormat, row.onlyVideo);
    ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
    const std::filesystem::path file = manual().currentFile();
    const std::vector<std::uint8_t> block(row.audio == &gsm ? kGsmBlockBytes : 320, 0xD5);
    const int audioBeforeKey = manual().writeSample(block, true, false);
    const WriteTimes times = feed(manual(), row.frames, 0, row.frames.frames.size());
    const int audioAfterKey = manual().writeSample(block, true, false);
    manual().stopRecording();

    const std::vector<std::uint8_t> bytes = testing::fileBytes(file);
    const auto headers = testing::riffChunks(bytes, "strh");
    const auto formats = testing::riffChunks(bytes, "strf");
    ASSERT_EQ(headers.size(), row.audio != nullptr ? 2u : 1u);
    ASSERT_EQ(formats.size(), headers.size());
    const auto bitmapInfo = videoFormatRecord(handlerCode(row.handler), 320, 240);
    EXPECT_EQ(formats[0], std::vector<std::uint8_t>(bitmapInfo.begin(), bitmapInfo.end()));
    // 40 bytes: size, width, height, one plane, 24 bits, the handler; the rest 0.
    EXPECT_EQ(formats[0][0], 40);
    EXPECT_EQ(formats[0][4] | formats[0][5] << 8, 320);
    EXPECT_EQ(formats[0][8] | formats[0][9] << 8, 240);
    EXPECT_EQ(formats[0][12], 1);
    EXPECT_EQ(formats[0][14], 24);
    EXPECT_EQ(std::string(formats[0].begin() + 16, formats[0].begin() + 20), row.handler);
    EXPECT_EQ(std::string(headers[0].begin(), headers[0].begin() + 8),
              std::string("vids") + row.handler);
    const std::size_t streams = row.audio != nullptr ? 2 : 1;
    if (row.audio != nullptr) {
      EXPECT_EQ(formats[1], *row.audio);
      // type, handler, flags, priority+language, initial frames, then scale, rate; quality
      // and sample size further on.
      const std::vector<std::uint8_t>& strh = headers[1];
      const bool isGsm = row.audio == &gsm;
      const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(strh[at] | strh[at + 1] << 8 | strh[at + 2] << 16 |
                                          strh[at + 3] << 24);
      };
      EXPECT_EQ(std::string(strh.begin(), strh.begin() + 4), "auds");
      EXPECT_EQ(u32(20), isGsm ? 65u : 1u);       // scale
      EXPECT_EQ(u32(24), isGsm ? 1625u : 8000u);  // rate
      EXPECT_EQ(u32(40), 0xFFFFFFFFu);            // quality
      EXPECT_EQ(u32(44), isGsm ? 65u : 1u);       // sample size
      EXPECT_EQ(u32(32), isGsm ? 1u : 320u);      // length: one block after the key frame
      EXPECT_EQ(audioAfterKey, ChannelRecorder::kWritten);
    } else {
      EXPECT_EQ(audioAfterKey, ChannelRecorder::kWriteFailed);
    }
    // Nothing before the file's first key frame, not even audio.
    EXPECT_NE(audioBeforeKey, ChannelRecorder::kWritten);
    // One block of audio: 320 A-law samples or one GSM block, 40 ms either way.
    expectPlays(file, streams, row.handler, 3, times,
                row.audio != nullptr ? std::optional(0.04) : std::nullopt);
    EXPECT_EQ(testing::riffChunks(bytes, "00dc").size(), 3u);
    if (!HasFailure()) std::filesystem::remove(file);
  }
}

TEST_F(RecorderTest, H264StartedMidGopBeginsAtTheIdrWithTheParameterSetsInFront) {
  setCamera(kRtspAudioCamera, 2, 0);
  const EncodedStream h264 = testing::h264Stream(320, 240, 25, 10);
  ASSERT_EQ(h264.frames.size(), 25u);
  ASSERT_TRUE(h264.frames[10].key);
  ASSERT_FALSE(h264.frames[9].key);

  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  const std::filesystem::path file = manual().currentFile();
  feed(manual(), h264, 3, 10);  // the end of a GOP whose key frame the file never saw
  const std::vector<std::uint8_t> block(160, 0xD5);
  EXPECT_EQ(manual().writeSample(block, true, false), ChannelRecorder::kIdleOrEmpty);
  const WriteTimes times = feed(manual(), h264, 10, 25);
  EXPECT_EQ(manual().writeSample(block, true, false), ChannelRecorder::kWritten);
  manual().stopRecording();

  // The file opens with the parameter sets, in front of the IDR picture.
  const auto video = testing::riffChunks(testing::fileBytes(file), "00dc");
  ASSERT_EQ(video.size(), 15u);
  std::string first = h264.parameterSets;
  first.append(h264.frames[10].bytes.begin(), h264.frames[10].bytes.end());
  EXPECT_EQ(std::string(video[0].begin(), video[0].end()), first);
  EXPECT_EQ(video[1], h264.frames[11].bytes);
  EXPECT_EQ(testing::riffChunks(testing::fileBytes(file), "01wb").size(), 1u);
  expectPlays(file, 2, "H264", 15, times, 0.02);  // 160 A-law samples
}

TEST_F(RecorderTest, StatusStaysRecordingWhileAnotherRecorderOfTheChannelRecords) {
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  EXPECT_EQ(record_.status.load(), kStatusRecording);
  ASSERT_EQ(motion().startRecording(), ChannelRecorder::kStarted);
  motion().stopRecording();
  EXPECT_EQ(record_.status.load(), kStatusRecording);
  manual().stopRecording();
  EXPECT_EQ(record_.status.load(), kStatusLive);
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{"Start Manual", "Start Motion", "Stop Motion",
                                                    "Stop Manual"}));
  // Only the manual recorder moves the record buttons: on with its start, off with its stop.
  EXPECT_FALSE(appState().recordingOn.load());
  for (const auto& file : files()) EXPECT_EQ(testing::probeStreams(file).size(), 2u) << file;
}

TEST_F(RecorderTest, StatusNeverClaimsALiveCameraThatIsGone) {
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  // The stream comes back while the file is still open: live and recording.
  setChannelStatus(kChannel, kStatusLive, nullptr);
  EXPECT_EQ(record_.status.load(), kStatusRecording);
  // The camera is lost; stopping the recording afterwards must not make it look live.
  setChannelStatus(kChannel, kStatusDisconnected, nullptr);
  manual().stopRecording();
  EXPECT_EQ(record_.status.load(), kStatusDisconnected);
}

// Two starts in one second name one file: the second start makes it anew. A start in the
// next second names a file of its own.
TEST_F(RecorderTest, SecondStartWithinTheSameSecondRecreatesTheFile) {
  const EncodedStream jpeg = testing::jpegStream(320, 240, 6);
  std::time_t second = std::time(nullptr);
  manual().setWallClock([&second] { return second; });
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  const std::string first = manual().currentFile();
  feed(manual(), jpeg, 0, 3);
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  ASSERT_EQ(manual().currentFile(), first);
  const WriteTimes times = feed(manual(), jpeg, 3, 5);
  manual().stopRecording();
  ASSERT_EQ(files().size(), 1u);
  expectPlays(first, 2, "MJPG", 2, times);

  ++second;
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  EXPECT_NE(manual().currentFile(), first);
  feed(manual(), jpeg, 5, 6);
  manual().stopRecording();
  EXPECT_EQ(files().size(), 2u);
}

TEST_F(RecorderTest, FramesBeyondTheLargestAreRefusedAndTheFileGoesOn) {
  const EncodedStream jpeg = testing::jpegStream(320, 240, 2);
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  const std::filesystem::path file = manual().currentFile();
  WriteTimes times = feed(manual(), jpeg, 0, 1);
  std::vector<std::uint8_t> huge(kLargestFrameBytes + 1, 0);
  std::copy(jpeg.frames[1].bytes.begin(), jpeg.frames[1].bytes.end(), huge.begin());
  EXPECT_EQ(manual().writeSample(huge, false, true), ChannelRecorder::kWriteFailed);
  EXPECT_TRUE(manual().recording());
  std::this_thread::sleep_for(10ms);
  times.beforeLast = std::chrono::steady_clock::now();
  EXPECT_EQ(manual().writeSample(jpeg.frames[1].bytes, false, true), ChannelRecorder::kWritten);
  times.afterLast = std::chrono::steady_clock::now();
  manual().stopRecording();
  expectPlays(file, 2, "MJPG", 2, times);
}

TEST_F(RecorderTest, WrittenBytesCountChunkHeaderIndexAndPadding) {
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  std::vector<std::uint8_t> even = testing::jpegStream(320, 240, 1).frames[0].bytes;
  if (even.size() % 2 != 0) even.push_back(0);
  std::vector<std::uint8_t> odd = even;
  odd.push_back(0);
  ASSERT_EQ(manual().writeSample(even, false, true), ChannelRecorder::kWritten);
  ASSERT_EQ(manual().writeSample(odd, false, true), ChannelRecorder::kWritten);
  const auto estimate = [](std::size_t length) { return length + 24 + (length % 2); };
  EXPECT_EQ(manual().writtenBytes(), estimate(even.size()) + estimate(odd.size()));
  const std::filesystem::path file = manual().currentFile();
  manual().stopRecording();
  EXPECT_EQ(manual().writtenBytes(), 0u);
  // The estimate is the file's own growth past its headers, index included.
  EXPECT_EQ(std::filesystem::file_size(file),
            AviFile::kMoviListOffset + 12 + 8 + estimate(even.size()) + estimate(odd.size()));
  EXPECT_EQ(testing::intField(probeStreams(file).at(0), "nb_read_frames"), 2);
  EXPECT_EQ(testing::decodeComplaints(file), "");
}

// The recording threads sleep until the file reaches "FileSize": the one write that brings it
// there wakes them, once per file.
TEST_F(RecorderTest, TheWriteThatReachesTheSplitSizeWakesTheRecordingThreads) {
  const std::vector<std::uint8_t> frame = testing::jpegStream(320, 240, 1).frames[0].bytes;
  const std::uint64_t perFrame = frame.size() + 24 + (frame.size() % 2);
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  manual().watchSplit(2 * perFrame + 1);
  RecordingWake& wake = recordingWake();
  std::vector<std::uint64_t> wakes;
  for (int i = 0; i < 5; ++i) {
    const std::uint64_t before = wake.generation();
    ASSERT_EQ(manual().writeSample(frame, false, true), ChannelRecorder::kWritten);
    wakes.push_back(wake.generation() - before);
  }
  EXPECT_EQ(wakes, (std::vector<std::uint64_t>{0, 0, 1, 0, 0}));

  // A new file counts afresh.
  manual().stopRecording();
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  std::uint64_t before = wake.generation();
  ASSERT_EQ(manual().writeSample(frame, false, true), ChannelRecorder::kWritten);
  ASSERT_EQ(manual().writeSample(frame, false, true), ChannelRecorder::kWritten);
  EXPECT_EQ(wake.generation(), before);
  ASSERT_EQ(manual().writeSample(frame, false, true), ChannelRecorder::kWritten);
  EXPECT_EQ(wake.generation(), before + 1);
  manual().watchSplit(0);
  manual().stopRecording();
}

TEST_F(RecorderTest, NoDirectoryAndUncreatableFileAreToldOnceEach) {
  const std::string spaceFull =
      CMultiLanguage::instance().text("MessageBox", "Message_RecordingSpaceFull");
  const std::string pathError = CMultiLanguage::instance().text("ErrorMessage", "Path_Error");
  const auto messages = [this] {
    std::vector<std::string> texts;
    for (const auto& message : ui_.messages()) texts.push_back(message.text);
    return texts;
  };

  appState().currentRecordDir.store(-1);
  EXPECT_EQ(manual().startRecording(), ChannelRecorder::kNoRecordDir);
  EXPECT_EQ(motion().startRecording(), ChannelRecorder::kNoRecordDir);
  EXPECT_EQ(messages(), std::vector<std::string>{spaceFull});
  rearmRecordingSpaceFullMessage();  // the general settings were confirmed
  EXPECT_EQ(manual().startRecording(), ChannelRecorder::kNoRecordDir);
  EXPECT_EQ(messages(), (std::vector<std::string>{spaceFull, spaceFull}));

  // The directory's folder tree went away: the file cannot be created.
  appState().currentRecordDir.store(0);
  std::filesystem::remove_all(folder_.path() / "Data");
  EXPECT_EQ(manual().startRecording(), ChannelRecorder::kCannotCreateFile);
  EXPECT_EQ(motion().startRecording(), ChannelRecorder::kCannotCreateFile);
  EXPECT_EQ(messages(), (std::vector<std::string>{spaceFull, spaceFull, pathError}));
  EXPECT_FALSE(manual().recording());
  EXPECT_EQ(record_.status.load(), kStatusLive);
  // Each recorder says each kind of failure once in the event log, with the file it wanted.
  const auto events = eventTexts();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], "Manual recording could not start: no recording directory has room");
  EXPECT_EQ(events[1], "Motion recording could not start: no recording directory has room");
  const std::string wanted = (cameraFolder() / "Manual_").string();
  EXPECT_EQ(events[2].rfind("Manual recording could not start: " + wanted, 0), 0u) << events[2];
  EXPECT_TRUE(events[2].ends_with(".avi: No such file or directory")) << events[2];
  EXPECT_EQ(events[3].rfind("Motion recording could not start: ", 0), 0u) << events[3];
  for (const auto& message : ui_.messages()) EXPECT_TRUE(message.posted) << message.text;
}

// A recording directory that cannot take files (here a path through a regular file, which
// holds for root too): the manual thread keeps trying at its pass while the box waits
// unanswered, and records by itself once the directory is usable again. A later stretch of
// failures is said again.
TEST_F(RecorderTest, FailedStartsAreSaidOncePerStretchAndRecordingResumesByItself) {
  const std::string pathError = CMultiLanguage::instance().text("ErrorMessage", "Path_Error");
  const std::filesystem::path blocked = folder_.path() / "blocked";
  const auto block = [&] {
    std::filesystem::remove_all(blocked);
    std::ofstream(blocked) << "not a directory";
  };
  block();
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().recPath[0] = blocked.string();
  }
  const auto failureLines = [this] {
    std::size_t count = 0;
    for (const auto& text : eventTexts()) count += text.find("could not start") != text.npos;
    return count;
  };
  ui_.holdBoxes();
  record_.manualRecord.store(1);
  ASSERT_TRUE(startManualRecordThread(record_));
  ASSERT_TRUE(testing::waitFor([&] { return failureLines() == 1; }, 20s));
  // More tries in the same stretch: neither a second box nor a second line.
  EXPECT_EQ(manual().startRecording(), ChannelRecorder::kCannotCreateFile);
  EXPECT_EQ(manual().startRecording(), ChannelRecorder::kCannotCreateFile);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, pathError);
  EXPECT_TRUE(ui_.messages()[0].posted);
  const auto events = eventTexts();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find(blocked.string() + "/Data/Record/Camera 5/Manual_"), events[0].npos)
      << events[0];
  EXPECT_TRUE(events[0].ends_with(": Not a directory")) << events[0];

  // Room again: the thread's next pass records, with nobody having answered the box.
  std::filesystem::remove(blocked);
  std::filesystem::create_directories(blocked / "Data" / "Record" / "Camera 5");
  ASSERT_TRUE(testing::waitFor([&] { return manual().recording(); }, 20s));
  EXPECT_EQ(eventTexts().back(), "Start Manual");
  record_.manualRecord.store(0);
  record_.threads.manualRecord.stop();

  // Much later the directory fails again: a new stretch, said again.
  block();
  EXPECT_EQ(manual().startRecording(), ChannelRecorder::kCannotCreateFile);
  EXPECT_EQ(ui_.messages().size(), 2u);
  EXPECT_EQ(failureLines(), 2u);
  ui_.releaseBoxes();
}

// A file that is created but cannot take even its headers (the file-size limit stands in for a
// full disk) is removed again rather than left behind as an empty recording.
TEST_F(RecorderTest, AFileThatCouldNotStartIsNotLeftBehind) {
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{0, 0};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const int started = manual().startRecording();
    [[maybe_unused]] const auto sent = ::write(results[1], &started, sizeof started);
    ::_exit(0);
  }
  ::close(results[1]);
  int started = ChannelRecorder::kStarted;
  ASSERT_EQ(::read(results[0], &started, sizeof started), static_cast<ssize_t>(sizeof started));
  ::close(results[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(started, ChannelRecorder::kCannotCreateFile);
  EXPECT_TRUE(files().empty()) << files().front();
}

TEST_F(RecorderTest, PictureSizeChangeContinuesInANewFile) {
  const EncodedStream small = testing::jpegStream(320, 240, 3);
  const EncodedStream large = testing::jpegStream(640, 480, 3);
  std::time_t second = std::time(nullptr);
  manual().setWallClock([&second] { return second; });
  ASSERT_EQ(manual().startRecording(), ChannelRecorder::kStarted);
  const WriteTimes smallTimes = feed(manual(), small, 0, 3);
  // A new file in the same second would replace this one: the change waits for the next.
  ++second;
  const WriteTimes largeTimes = feed(manual(), large, 0, 3);
  manual().stopRecording();

  const auto written = files();
  ASSERT_EQ(written.size(), 2u);
  expectPlays(written[0], 2, "MJPG", 3, smallTimes);
  expectPlays(written[1], 2, "MJPG", 3, largeTimes);
  EXPECT_EQ(testing::intField(probeStreams(written[0])[0], "width"), 320);
  EXPECT_EQ(testing::intField(probeStreams(written[1])[0], "width"), 640);
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{"Start Manual", "Stop Manual"}));
}

TEST_F(RecorderTest, ManualThreadSplitsAtFileSizeWithoutLogLines) {
  {
    std::lock_guard lock(settingsMutex());
    liveSettings().fileSize = 1;  // a million bytes
  }
  const EncodedStream jpeg = testing::jpegStream(640, 480, 4);
  record_.manualRecord.store(1);
  ASSERT_TRUE(startManualRecordThread(record_));
  // The file is open a moment before the buttons are told.
  ASSERT_TRUE(
      testing::waitFor([&] { return manual().recording() && appState().recordingOn.load(); }, 20s));
  const std::string first = manual().currentFile();

  // Enough bytes for the estimate to pass the size: the write that passes it wakes the thread,
  // which rolls over at once (or in the next second), so the first file may end before the
  // estimate is seen here.
  WriteTimes firstTimes;
  int firstFrames = 0;
  while (manual().currentFile() == first && manual().writtenBytes() < 1000000) {
    if (firstFrames != 0) std::this_thread::sleep_for(10ms);
    const WriteTimes times = feed(manual(), jpeg, firstFrames % 4, firstFrames % 4 + 1);
    if (firstFrames == 0) firstTimes = times;
    firstTimes.beforeLast = times.beforeLast;
    firstTimes.afterLast = times.afterLast;
    ++firstFrames;
  }
  ASSERT_TRUE(testing::waitFor([&] { return manual().currentFile() != first; }, 20s));
  const std::string second = manual().currentFile();
  EXPECT_FALSE(second.empty());
  const WriteTimes secondTimes = feed(manual(), jpeg, 0, 4);
  record_.manualRecord.store(0);
  record_.threads.manualRecord.stop();

  EXPECT_FALSE(manual().recording());
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{"Start Manual", "Stop Manual"}));
  EXPECT_FALSE(appState().recordingOn.load());
  EXPECT_EQ(record_.status.load(), kStatusLive);
  ASSERT_EQ(files().size(), 2u);
  expectPlays(first, 2, "MJPG", firstFrames, firstTimes);
  expectPlays(second, 2, "MJPG", 4, secondTimes);
}

// Fills the file system under `dir` while recording; the recorder ends the file. Returns the
// frames the recorder took. Runs in the calling process.
struct FullDiskOutcome {
  int framesWritten = 0;
  bool failedWrite = false;
  bool stillRecording = true;
};

FullDiskOutcome recordUntilFull(ChannelRecorder& recorder, const EncodedStream& jpeg) {
  FullDiskOutcome outcome;
  if (recorder.startRecording() != ChannelRecorder::kStarted) return outcome;
  for (int i = 0; i < 100000 && recorder.recording(); ++i) {
    const auto& frame = jpeg.frames[static_cast<std::size_t>(i) % jpeg.frames.size()];
    const int result = recorder.writeSample(frame.bytes, false, true);
    if (result == ChannelRecorder::kWritten) {
      ++outcome.framesWritten;
    } else {
      outcome.failedWrite = true;
    }
  }
  outcome.stillRecording = recorder.recording();
  return outcome;
}

TEST_F(RecorderTest, FullFileSystemEndsTheFileCleanlyAndSaysWhy) {
  const EncodedStream jpeg = testing::jpegStream(320, 240, 4);
  const std::filesystem::path mountPoint = folder_.path() / "small";
  std::filesystem::create_directories(mountPoint);
  const bool mounted = ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") == 0;

  FullDiskOutcome outcome;
  std::string expectedReason;
  std::filesystem::path file;
  if (mounted) {
    // A real full disk: a small tmpfs.
    std::filesystem::create_directories(mountPoint / "Data" / "Record" /
                                        ("Camera " + std::to_string(kChannel + 1)));
    {
      std::lock_guard lock(settingsMutex());
      liveSettings().recPath[0] = mountPoint.string();
    }
    outcome = recordUntilFull(manual(), jpeg);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(mountPoint)) {
      if (entry.path().extension() == ".avi") file = entry.path();
    }
    expectedReason = "Manual recording stopped: No space left on device";
  } else {
    // No mounting here: a file-size limit in a child process gives EFBIG the same way.
    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{256 * 1024, 256 * 1024};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      FullDiskOutcome inChild = recordUntilFull(manual(), jpeg);
      const auto events = eventTexts();
      const bool said = std::find(events.begin(), events.end(),
                                  "Manual recording stopped: File too large") != events.end();
      if (!said) inChild.failedWrite = false;
      [[maybe_unused]] const auto sent = ::write(results[1], &inChild, sizeof inChild);
      ::_exit(0);
    }
    ::close(results[1]);
    ASSERT_EQ(::read(results[0], &outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    ::close(results[0]);
    ::waitpid(child, nullptr, 0);
    file = files().empty() ? std::filesystem::path() : files().front();
  }

  EXPECT_TRUE(outcome.failedWrite);
  EXPECT_FALSE(outcome.stillRecording);
  EXPECT_GT(outcome.framesWritten, 3);
  if (mounted) {
    EXPECT_EQ(eventTexts(),
              (std::vector<std::string>{"Start Manual", expectedReason, "Stop Manual"}));
    EXPECT_EQ(record_.status.load(), kStatusLive);
  }
  ASSERT_FALSE(file.empty());
  const auto probed = probeStreams(file);
  ASSERT_EQ(probed.size(), 2u);
  EXPECT_EQ(testing::intField(probed[0], "nb_read_frames"), outcome.framesWritten);
  EXPECT_EQ(testing::decodeComplaints(file), "");
  if (mounted) ::umount2(mountPoint.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace ipcam
