// Motion from end to end: a simulated camera on 127.0.0.1 marks pictures with motion, the
// channel stood up as at start-up records a Motion file, sounds the alarm once and mails a
// real SMTP server over STARTTLS with authentication.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

#include "alerts/mail_peers.h"
#include "alerts/motion_mail.h"
#include "app/channel_pipeline.h"
#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_events.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "media/audio_player.h"
#include "protocols/http_workers.h"
#include "recording/channel_recorder.h"
#include "support/avi_probe.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "tools/camsim/server.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kChannel = 6;
constexpr std::uint32_t kFramesPerSecond = 10;
constexpr std::uint32_t kMotionEvery = 20;  // a mark every two seconds

// The message's header block, as it arrived.
std::string headerBlock(const std::string& raw) {
  return raw.substr(0, raw.find("\r\n\r\n"));
}

TEST(MotionAlert, CameraMotionGivesAPlayableClipOneAlarmAndAMail) {
  platform::test_support::TempFolder folder;
  platform::test_support::TempFolder home;
  platform::test_support::ScopedEnv homeEnv("HOME", home.path().string());
  platform::test_support::TempFolder certFolder;
  testing::TestCertificates certs(certFolder.path());
  ASSERT_TRUE(certs.ok) << "the openssl command failed";
  platform::test_support::ScopedEnv trust("IPCAM_MAIL_CA_FILE", certs.path("ca.pem"));
  testing::SmtpPeer peer("starttls", "", certs.path("server.pem"), certs.path("server.key"));
  ASSERT_GT(peer.port(), 0);

  camsim::Options options;
  options.auth = camsim::AuthMode::Basic;
  options.framesPerSecond = kFramesPerSecond;
  options.pictureWidth = 320;
  options.pictureHeight = 240;
  options.motionEvery = kMotionEvery;
  camsim::Server camera(options);
  ASSERT_TRUE(camera.start()) << camera.lastError();

  setSoundDeviceProbe([] { return true; });
  {
    std::lock_guard lock(settingsMutex());
    ViewerSettings& settings = liveSettings();
    settings = ViewerSettings{};
    settings.recPath[0] = folder.path().string();
    CameraSettings& channel = settings.camera[kChannel];
    channel.type = 12;
    channel.mrEnable = 1;
    channel.mrSecond = 10;
    channel.mrAlarm = 1;
    channel.mrMail = 1;
    settings.recipient[1] = "guard@site.test";
    settings.subject = "Motion on camera 7";
    settings.sender = "viewer@site.test";
    settings.smtpServer = "localhost";
    settings.smtpPort = peer.port();
    settings.smtpAuth = 1;
    settings.smtpAccount = "cam";
    settings.smtpPassword = "secret";
    settings.smtpSslTls = 4;  // "TLS": STARTTLS
  }
  testing::RecordingViewerUi ui;
  attachUi(&ui);
  createChannelObjects(ui);
  wireProgram();
  // The program's pipeline with an alarm that counts instead of sounding. It lives until exit,
  // as any event sink must.
  static std::atomic<int> alarms{0};
  alarms.store(0);
  static ChannelPipeline* const pipeline = [] {
    ChannelParts parts = realChannelParts();
    parts.playAlarm = [](ChannelRecord&) { alarms.fetch_add(1); };
    return new ChannelPipeline(std::move(parts));
  }();
  setChannelEventSink(pipeline);
  fs::create_directories(folder.path() / "Data" / "Record" /
                         ("Camera " + std::to_string(kChannel + 1)));
  appState().currentRecordDir.store(0);

  ChannelRecord& record = channelRecord(kChannel);
  ChannelRecorder& recorder = *asRecorder(record.motionRecorder);
  record.stream.configure({options.user, options.password, "127.0.0.1",
                           std::to_string(camera.port()), static_cast<int>(StreamKind::Http)});
  ASSERT_TRUE(startStreamWorkers(record, StreamKind::Http));
  ASSERT_TRUE(testing::waitFor([&] { return recorder.recording(); }, 60s));
  const fs::path file = recorder.currentFile();
  {
    // The camera goes on reporting motion; no further recording is wanted in this run, and
    // the one that runs is not affected.
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[kChannel].mrEnable = 0;
  }
  EXPECT_TRUE(testing::waitFor([&] { return alarms.load() == 1; }, 20s));
  ASSERT_TRUE(testing::waitFor([&] { return !recorder.recording(); }, 60s));
  EXPECT_TRUE(testing::waitFor([&] { return record.motionRunning.load() == 0; }, 20s));
  const auto mail = peer.mail(1, 60s);
  record.stream.stopWorkers();
  record.threads.motion.stop();

  EXPECT_EQ(alarms.load(), 1);
  EXPECT_TRUE(file.filename().string().starts_with("Motion_")) << file;
  const auto streams = testing::probeStreams(file);
  ASSERT_FALSE(streams.empty()) << file;
  EXPECT_EQ(streams[0].at("codec_name"), "mjpeg");
  // A clip, not a still, spanning most of the ten seconds. How many pictures a busy machine
  // gets through meanwhile is not this test's business; the file's time is the recorder's
  // clock, so it holds however few there were.
  EXPECT_GE(testing::intField(streams[0], "nb_read_frames"), 2);
  EXPECT_GE(std::stod(streams[0].at("duration")), 5.0) << file;
  EXPECT_EQ(testing::decodeComplaints(file), "");
  std::cout << "Motion file " << file.filename().string() << ": " << streams[0].at("nb_read_frames")
            << " frames, " << streams[0].at("duration") << " s\n";

  ASSERT_TRUE(mail.has_value()) << "no mail arrived";
  std::cout << "Received headers:\n" << headerBlock(mail->raw) << "\n";
  EXPECT_EQ(mail->info.at("login"), "cam");
  EXPECT_EQ(mail->info.at("to"), "guard@site.test");
  EXPECT_EQ(mail->info.at("subject"), "Motion on camera 7");
  EXPECT_NE(mail->info.at("text").find(
                "Please look your Tarsil Utility. Motion Record File Name is " + file.string()),
            std::string::npos)
      << mail->info.at("text");
  EXPECT_FALSE(peer.mail(2, 2s).has_value());

  std::vector<std::string> motionEvents;
  for (const auto& event : ui.events()) {
    if (event.channel == kChannel && event.text.find("Motion") != std::string::npos) {
      motionEvents.push_back(event.text);
    }
  }
  EXPECT_EQ(motionEvents, (std::vector<std::string>{"Start Motion", "Stop Motion"}));

  // As at shutdown: the mail thread ends, and with it its TLS library state.
  stopMotionMail();
  appState().currentRecordDir.store(-1);
  appState().ui.store(nullptr);
  setSoundDeviceProbe(nullptr);
  setChannelEventSink(&channelPipeline());
}

}  // namespace
}  // namespace ipcam
