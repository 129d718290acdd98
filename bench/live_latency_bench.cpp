// How long a live picture takes from the camera to the tile, what the live view costs, and
// how much memory it holds, with 16 cameras at once.
//
// The simulated camera (a process of its own, on 127.0.0.1) serves one Motion JPEG stream per
// channel and stamps every picture with the moment it sent it (a JPEG comment). The program's
// own path takes them: per channel the HTTP video worker, the video queue, the stream decode
// thread, the decoder and the conversion for a tile of the 16-tile layout (the display is told
// the tile's size, as the tile tells it in the program), up to the hand-over to the user
// interface. The latency of a picture is the time from its send stamp to its hand-over; the
// camera and the viewer share the machine's steady clock. Pictures not shown because a newer
// one already waited count as dropped.
//
// Reported per period and for the whole run: latency median and 99th percentile, pictures
// received, shown and dropped, CPU time of this process (the viewer's side only; the camera
// runs apart) per second and per picture, and the resident memory.
//
//   live_latency_bench [--camsim PATH] [--seconds N] [--cameras N] [--size WxH] [--fps N]
//                      [--tile WxH]
//     defaults: the camsim built with this benchmark, 60 s, 16 cameras, 1280x1024, 25 fps,
//     160x120 tiles

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/program_wiring.h"
#include "app/viewer_core.h"
#include "core/app_state.h"
#include "core/channel_count.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/viewer_ui.h"
#include "media/audio_player.h"
#include "media/channel_display.h"
#include "protocols/http_workers.h"
#include "tools/camsim/server.h"

extern char** environ;

namespace ipcam::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kReportPeriod = 10s;
constexpr auto kStartLimit = 60s;

struct Settings {
  std::string camsim = IPCAM_CAMSIM_BINARY;
  int seconds = 60;
  int cameras = kChannelCount;
  int width = 1280;
  int height = 1024;
  int fps = 25;
  int tileWidth = 160;
  int tileHeight = 120;
};

std::int64_t nowMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

// The send stamp of a picture: the comment segment right after its start-of-image marker.
std::optional<std::int64_t> sendStamp(std::span<const std::uint8_t> jpeg) {
  constexpr std::size_t kSegmentStart = 2;  // after FF D8
  constexpr std::size_t kTextStart = kSegmentStart + 4;
  if (jpeg.size() < kTextStart || jpeg[kSegmentStart] != 0xFF || jpeg[kSegmentStart + 1] != 0xFE) {
    return std::nullopt;
  }
  const std::size_t length = (std::size_t{jpeg[kSegmentStart + 2]} << 8) | jpeg[kSegmentStart + 3];
  if (length < 2 || kSegmentStart + 2 + length > jpeg.size()) return std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(jpeg.data() + kTextStart), length - 2);
  const std::string_view prefix = camsim::kSendTimeComment;
  if (text.substr(0, prefix.size()) != prefix) return std::nullopt;
  return std::strtoll(std::string(text.substr(prefix.size())).c_str(), nullptr, 10);
}

// Latencies of the current period, in microseconds, from every decode thread.
class Latencies {
 public:
  void add(std::int64_t microseconds) {
    std::lock_guard lock(mutex_);
    values_.push_back(microseconds);
  }
  std::vector<std::int64_t> take() {
    std::lock_guard lock(mutex_);
    std::vector<std::int64_t> taken;
    taken.swap(values_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::vector<std::int64_t> values_;  // guarded by mutex_
};

// Sits where a recorder sits: every frame of the channel passes it, in order, on the decode
// thread before the display decides what to show; the last one it saw is the one the next
// hand-over shows.
class StampReader : public FrameSink {
 public:
  bool recording() const override { return true; }
  void writeFrame(std::span<const std::uint8_t> frame, bool, std::string_view) override {
    if (const auto stamp = sendStamp(frame)) {
      lastStamp.store(*stamp);
    } else {
      unstamped.fetch_add(1);
    }
  }
  void close() override {}

  std::atomic<std::int64_t> lastStamp{0};  // atomic: the decode thread writes, any reads
  std::atomic<long> unstamped{0};          // atomic
};

class LatencyUi : public ViewerUi {
 public:
  void setChannelStatus(int, int, const std::optional<std::string>&) override {}
  void logEvent(int, const std::string&) override {}
  void messageBox(const std::string& text, const std::string&) override {
    std::fprintf(stderr, "core message: %s\n", text.c_str());
  }
  void postMessage(const std::string& text, const std::string&) override {
    std::fprintf(stderr, "core message: %s\n", text.c_str());
  }
  void presentPicture(int channel) override {
    if (channel < 0 || channel >= kChannelCount) return;
    const auto& reader = readers[static_cast<std::size_t>(channel)];
    if (!reader) return;
    const std::int64_t stamp = reader->lastStamp.load();
    if (stamp != 0) latencies.add(nowMicroseconds() - stamp);
  }
  int visibleTileCount() const override { return kChannelCount; }
  int singleChannel() const override { return -1; }
  void setRecordingButtons(bool) override {}
  void setScanInterval(int) override {}

  // Written before the workers start.
  std::array<std::shared_ptr<StampReader>, kChannelCount> readers;
  Latencies latencies;
};

// The camera process: started with a pipe on its standard output, which names its port.
class CameraProcess {
 public:
  bool start(const Settings& settings) {
    int pipe[2];
    if (::pipe(pipe) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    const std::string size = std::to_string(settings.width) + "x" + std::to_string(settings.height);
    const std::string fps = std::to_string(settings.fps);
    const std::string users = std::to_string(settings.cameras + 4);
    std::vector<std::string> arguments = {settings.camsim,
                                          "--port",
                                          "0",
                                          "--model",
                                          "12",
                                          "--size",
                                          size,
                                          "--fps",
                                          fps,
                                          "--max-users",
                                          users,
                                          "--stamp-send-time",
                                          "on"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, settings.camsim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
      ::close(pipe[0]);
      pid_ = 0;
      return false;
    }
    std::string output;
    char buffer[256];
    const std::string_view marker = "http://127.0.0.1:";
    while (output.find('\n') == std::string::npos) {
      const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
      if (got <= 0) break;
      output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    const std::size_t at = output.find(marker);
    if (at == std::string::npos) return false;
    port_ = std::atoi(output.c_str() + at + marker.size());
    return port_ > 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
  }
  ~CameraProcess() { stop(); }
  int port() const { return port_; }

 private:
  pid_t pid_ = 0;
  int port_ = 0;
};

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// VmRSS or VmHWM of this process, in MB.
double memoryMegabytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + field.size() + 1) / 1024.0;
  }
  return 0;
}

double percentile(std::vector<std::int64_t>& values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return static_cast<double>(values[std::min(index, values.size() - 1)]) / 1000.0;
}

struct Totals {
  std::uint64_t received = 0;
  std::uint64_t shown = 0;
  std::uint64_t dropped = 0;
};

Totals totals(int cameras) {
  Totals sum;
  for (int channel = 0; channel < cameras; ++channel) {
    const PictureCounters& counters = channelRecord(channel).pictureCounters;
    sum.received += counters.received.load();
    sum.shown += counters.shown.load();
    sum.dropped += counters.dropped.load();
  }
  return sum;
}

int run(const Settings& settings) {
  CameraProcess camera;
  if (!camera.start(settings)) {
    std::fprintf(stderr, "the simulated camera %s did not start\n", settings.camsim.c_str());
    return 1;
  }
  std::printf(
      "%d cameras, %dx%d Motion JPEG at %d pictures/s, tiles of %dx%d, %d s; %u hardware "
      "threads\n",
      settings.cameras, settings.width, settings.height, settings.fps, settings.tileWidth,
      settings.tileHeight, settings.seconds, std::thread::hardware_concurrency());

  // The camera type has no sound; the probe keeps ALSA and its "no sound card" box out of it.
  setSoundDeviceProbe([] { return true; });
  LatencyUi ui;
  attachUi(&ui);
  createChannelObjects(ui);
  wireProgram();
  for (int channel = 0; channel < settings.cameras; ++channel) {
    ChannelRecord& record = channelRecord(channel);
    auto reader = std::make_shared<StampReader>();
    ui.readers[static_cast<std::size_t>(channel)] = reader;
    record.manualRecorder = reader;
    record.display->setTileSize(settings.tileWidth, settings.tileHeight);
    record.stream.configure({"admin", "admin", "127.0.0.1", std::to_string(camera.port()), 0});
    if (!startStreamWorkers(record, StreamKind::Http)) {
      std::fprintf(stderr, "channel %d did not start\n", channel + 1);
      return 1;
    }
  }

  // Every channel live before the clock starts.
  const auto startBy = Clock::now() + kStartLimit;
  for (int channel = 0; channel < settings.cameras; ++channel) {
    while (channelRecord(channel).pictureCounters.shown.load() < 5) {
      if (Clock::now() > startBy) {
        std::fprintf(stderr, "channel %d shows no pictures\n", channel + 1);
        return 1;
      }
      std::this_thread::sleep_for(10ms);
    }
  }
  std::this_thread::sleep_for(2s);
  ui.latencies.take();

  const Totals startTotals = totals(settings.cameras);
  const double startCpu = processCpuSeconds();
  const auto start = Clock::now();
  std::vector<std::int64_t> all;
  Totals previous = startTotals;
  double previousCpu = startCpu;
  auto periodStart = start;
  std::printf("%8s %9s %9s %9s %9s %9s %10s %9s\n", "period", "p50 ms", "p99 ms", "received",
              "shown", "dropped", "CPU-s/s", "RSS MB");
  while (Clock::now() - start < std::chrono::seconds(settings.seconds)) {
    std::this_thread::sleep_until(
        std::min(periodStart + kReportPeriod, start + std::chrono::seconds(settings.seconds)));
    const auto now = Clock::now();
    std::vector<std::int64_t> period = ui.latencies.take();
    all.insert(all.end(), period.begin(), period.end());
    const Totals current = totals(settings.cameras);
    const double cpu = processCpuSeconds();
    const double seconds = std::chrono::duration<double>(now - periodStart).count();
    std::printf("%6.0f s %9.1f %9.1f %9" PRIu64 " %9" PRIu64 " %9" PRIu64 " %10.3f %9.1f\n",
                std::chrono::duration<double>(now - start).count(), percentile(period, 0.5),
                percentile(period, 0.99), current.received - previous.received,
                current.shown - previous.shown, current.dropped - previous.dropped,
                (cpu - previousCpu) / seconds, memoryMegabytes("VmRSS:"));
    std::fflush(stdout);
    previous = current;
    previousCpu = cpu;
    periodStart = now;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const Totals end = totals(settings.cameras);
  const double cpu = processCpuSeconds() - startCpu;
  const std::uint64_t shown = end.shown - startTotals.shown;
  long unstamped = 0;
  for (const auto& reader : ui.readers) {
    if (reader) unstamped += reader->unstamped.load();
  }

  std::printf("whole run: latency p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu pictures)\n",
              percentile(all, 0.5), percentile(all, 0.99), percentile(all, 1.0), all.size());
  std::printf("pictures: %" PRIu64 " received, %" PRIu64 " shown, %" PRIu64
              " dropped; %ld without a stamp\n",
              end.received - startTotals.received, shown, end.dropped - startTotals.dropped,
              unstamped);
  std::printf("CPU: %.3f CPU-s per second, %.3f ms per picture shown\n", cpu / elapsed,
              shown > 0 ? cpu * 1000.0 / static_cast<double>(shown) : 0.0);
  std::printf("memory: RSS %.1f MB now, %.1f MB at most\n", memoryMegabytes("VmRSS:"),
              memoryMegabytes("VmHWM:"));
  std::fflush(stdout);

  for (int channel = 0; channel < settings.cameras; ++channel) {
    channelRecord(channel).stream.stopWorkers();
  }
  attachUi(nullptr);
  camera.stop();
  return 0;
}

bool parseSize(const char* text, int& width, int& height) {
  return std::sscanf(text, "%dx%d", &width, &height) == 2 && width > 0 && height > 0;
}

}  // namespace
}  // namespace ipcam::bench

int main(int argc, char** argv) {
  ipcam::bench::Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = value != nullptr;
    if (ok && name == "--camsim") {
      settings.camsim = value;
    } else if (ok && name == "--seconds") {
      settings.seconds = std::atoi(value);
      ok = settings.seconds > 0;
    } else if (ok && name == "--cameras") {
      settings.cameras = std::atoi(value);
      ok = settings.cameras > 0 && settings.cameras <= ipcam::kChannelCount;
    } else if (ok && name == "--size") {
      ok = ipcam::bench::parseSize(value, settings.width, settings.height);
    } else if (ok && name == "--fps") {
      settings.fps = std::atoi(value);
      ok = settings.fps > 0;
    } else if (ok && name == "--tile") {
      ok = ipcam::bench::parseSize(value, settings.tileWidth, settings.tileHeight);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr,
                   "usage: %s [--camsim PATH] [--seconds N] [--cameras N] [--size WxH] "
                   "[--fps N] [--tile WxH]\n",
                   argv[0]);
      return 2;
    }
    ++i;
  }
  return ipcam::bench::run(settings);
}
