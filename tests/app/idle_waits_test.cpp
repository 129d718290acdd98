// The threads that wait for a silent peer or for work: asleep until something happens (no
// wake-ups while idle), and gone at once when told to stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/connection_worker.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "platform/serial_worker.h"
#include "platform/thread_slot.h"
#include "protocols/av_server_client.h"
#include "protocols/camera_discovery.h"
#include "protocols/legacy_server.h"
#include "support/loopback_peers.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "support/wait_for.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;
using platform::test_support::ScopedEnv;

// What the kernel counts for one of our threads.
struct TaskState {
  char state = '?';   // 'S' while it sleeps
  long switches = 0;  // voluntary and forced context switches so far
};

std::optional<TaskState> taskState(pid_t tid) {
  const std::filesystem::path task = "/proc/self/task/" + std::to_string(tid);
  std::ifstream status(task / "status");
  if (!status) return std::nullopt;
  TaskState result;
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("State:") && line.size() > 7) {
      result.state = line[line.find_first_not_of(" \t", 6)];
    } else if (line.starts_with("voluntary_ctxt_switches:") ||
               line.starts_with("nonvoluntary_ctxt_switches:")) {
      result.switches += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return result;
}

// The thread of ours that carries `name`, or 0.
pid_t threadNamed(const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string seen;
    if (std::getline(comm, seen) && seen == name) return std::stoi(entry.path().filename());
  }
  return 0;
}

// Lets the observed threads be for `window`: a measurement, nothing to wait for.
void observe(std::chrono::milliseconds window) {
  std::mutex mutex;
  std::condition_variable never;
  std::unique_lock lock(mutex);
  never.wait_for(lock, window, [] { return false; });
}

// A connected pair of stream sockets whose far end never says anything.
struct SilentPeer {
  SilentPeer() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0); }
  ~SilentPeer() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  int near() const { return fds[0]; }
  std::array<int, 2> fds{-1, -1};
};

class AlwaysConnected final : public AvsFrameHandler {
 public:
  void motion() override {}
  void dataArrived() override {}
  void video(std::span<const std::uint8_t>, std::uint16_t, std::uint16_t) override {}
  void audio(std::span<const std::uint8_t>) override {}
  bool connected() const override { return true; }
};

// One waiting thread: started, found, and stopped by the case.
struct Waiter {
  std::function<pid_t()> thread;  // the waiting thread's id once it is there, else 0
  std::function<bool()> stop;     // true when the thread ended by itself, not abandoned
};

// A wait on a silent peer inside a slot thread of the test's own.
struct SlotWait {
  SilentPeer peer;
  platform::RunFlag flag;
  platform::ThreadSlot slot;
  std::atomic<pid_t> tid{0};
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kAvsLargestPayload);
  AlwaysConnected handler;
};

Waiter inSlot(std::function<void(SlotWait&, const platform::ThreadRun&)> wait) {
  auto shared = std::make_shared<SlotWait>();
  shared->slot.start(shared->flag, [shared, wait](const platform::ThreadRun& run) {
    shared->tid.store(::gettid());
    wait(*shared, run);
  });
  return {[shared] { return shared->tid.load(); },
          [shared] { return shared->slot.stop(std::chrono::milliseconds(5000)); }};
}

class IdleWaitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = connectionServices();
    connectionServices() = unavailableConnectionServices();
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
      CameraSettings& camera = liveSettings().camera[0];
      camera.name = "Front";
      camera.ip = "127.0.0.1";
      camera.login = "admin";
      camera.password = "secret";
    }
    ChannelRecord& record = channelRecord(0);
    record.legacyReconnect = false;
    record.mpeg4Reconnect = false;
    record.legacyReconnectCount = 0;
    record.mpeg4ReconnectCount = 0;
    record.status = kStatusConnecting;
    attachUi(&ui_);
  }
  void TearDown() override {
    channelRecord(0).threads.connect.stop();
    stopDiscovery();
    appState().ui.store(nullptr);
    connectionServices() = saved_;
  }

  ConnectionServices saved_;
  ScopedEnv resources_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  // The camera search stays on this machine's loopback, on a port of this process.
  ScopedEnv broadcast_{kDiscoveryBroadcastVariable, "127.255.255.255"};
  ScopedEnv discoveryPort_{kDiscoveryPortVariable, std::to_string(testing::freeUdpPort())};
  testing::RecordingViewerUi ui_;
};

TEST_F(IdleWaitsTest, IdleWaitsDoNotWakeAndEndAtOnceOnAStop) {
  struct Case {
    const char* name;
    std::function<Waiter()> start;
  };
  const Case cases[] = {
      {"connection worker's pause before it asks the camera again",
       [] {
         static std::atomic<pid_t> worker{0};
         worker.store(0);
         connectionServices().queryFirmware = [](int, FirmwareInfo&) {
           worker.store(::gettid());
           return -1;  // no answer: the worker pauses five seconds before the next try
         };
         EXPECT_TRUE(startConnectionWorker(channelRecord(0)));
         return Waiter{[] { return worker.load(); },
                       [] { return channelRecord(0).threads.connect.stop(5000ms); }};
       }},
      {"legacy server receive",
       [] {
         return inSlot([](SlotWait& wait, const platform::ThreadRun&) {
           TcpReceiveExact(28, wait.peer.near(), wait.buffer);
         });
       }},
      {"camera-server data loop",
       [] {
         return inSlot([](SlotWait& wait, const platform::ThreadRun& run) {
           runAvsDataLoop(wait.peer.near(), run, wait.handler, wait.buffer);
         });
       }},
      {"camera search listener",
       [] {
         StartDiscovery();
         return Waiter{[] { return threadNamed("discovery"); }, [] { return stopDiscovery(); }};
       }},
      {"serial worker with nothing to do",
       [] {
         auto worker = std::make_shared<platform::SerialWorker>(4);
         auto tid = std::make_shared<std::atomic<pid_t>>(0);
         EXPECT_TRUE(worker->post([tid](const platform::ThreadRun&) { tid->store(::gettid()); }));
         return Waiter{[tid] { return tid->load(); }, [worker] { return worker->stop(5000ms); }};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Waiter waiter = c.start();
    pid_t tid = 0;
    // Asleep in its wait: found, and seen sleeping.
    ASSERT_TRUE(testing::waitFor(
        [&] {
          tid = waiter.thread();
          const auto state = tid != 0 ? taskState(tid) : std::nullopt;
          return state && state->state == 'S';
        },
        20s));
    // Let the discovery listener send its three searches before the quiet part is measured.
    observe(500ms);
    const std::optional<TaskState> before = taskState(tid);
    ASSERT_TRUE(before);
    observe(1000ms);
    const std::optional<TaskState> after = taskState(tid);
    ASSERT_TRUE(after);
    // The old waits woke 10 to 100 times in this second; a busy machine may add a few.
    EXPECT_LE(after->switches - before->switches, 3);

    const auto stopAsked = std::chrono::steady_clock::now();
    EXPECT_TRUE(waiter.stop());
    // Far below the waits' own time-outs (5 s, 10 s, 60 s, none), with room for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, 2s);
  }
}

}  // namespace
}  // namespace ipcam
