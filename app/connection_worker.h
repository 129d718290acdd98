#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/stream_context.h"
#include "protocols/camera_queries.h"

namespace ipcam {

namespace platform {
class ThreadRun;
}

struct ChannelRecord;
class AvServerClient;

// Where the connection decision sends a channel.
struct Road {
  enum class Kind { Stream, Mpeg4Server, LegacyServer } kind = Kind::Stream;
  StreamKind stream = StreamKind::Http;  // for Kind::Stream
  bool operator==(const Road&) const = default;
};

// The road for a camera type code and its "DualMode" video format.
Road chooseRoad(int type, int videoFormat);

// Everything the worker asks of the camera and of the three roads. The program wires the real
// queries and protocol starters; tests put fakes in. Written once before any worker starts.
struct ConnectionServices {
  // Camera information queries: 0, or -1 no answer, -2 "Unauthorized", -3 fields missing.
  std::function<int(int channel, FirmwareInfo&)> queryFirmware;
  std::function<int(int channel, FirmwareInfo&)> queryFirmwareXml;
  // A port >= 0, or -1.
  std::function<int(int channel)> queryPrivateVideoPort;
  std::function<int(int channel, UserCounts&)> queryUserCounts;

  // Hands the channel to its HTTP/RTSP workers; false when none could be started.
  std::function<bool(ChannelRecord&, StreamKind)> startStream;

  // The camera-server road of the MPEG-4 generation: control connection with log-in (one
  // variant for the type codes 15 and 16), then the data connection; each 1 on success.
  std::function<int(ChannelRecord&, const std::string& ip, std::uint16_t port)> mpeg4Login;
  std::function<int(ChannelRecord&, const std::string& ip, std::uint16_t port)> mpeg4OpenData;
  std::function<bool(ChannelRecord&)> startMpeg4DataThread;

  // The legacy server road: prepare, log in (1 on success), and the data thread.
  std::function<int(ChannelRecord&)> legacyConnect;
  std::function<int(ChannelRecord&)> legacyLogin;
  std::function<bool(ChannelRecord&)> startLegacyDataThread;

  // A camera whose information page lacks the firmware fields is usually starting up or
  // installing new firmware: it is asked again after this pause (tests shorten it).
  std::chrono::milliseconds firmwareErrorRetryWait{30000};
};

// The process-wide services. Until a road's protocol exists its starter reports failure, so
// the worker takes its failure path; nothing pretends to connect.
ConnectionServices& connectionServices();
ConnectionServices unavailableConnectionServices();

// Whether arming the reconnect starts the retry budget afresh. Start-up and the user's
// "Connect" do; a data thread that lost its stream does not, so a camera whose stream fails at
// once spends the budget, and only a stream that ran gives it back.
enum class ReconnectBudget { kFresh, kKept };

// Arms the auto-reconnect flag of the channel's server family before a connection pass.
void armReconnect(ChannelRecord& record, ReconnectBudget budget = ReconnectBudget::kFresh);

// Starts the connection worker of the record's channel in its connection slot (run flag
// `connectRunning`). False when a worker of that channel is still running.
bool startConnectionWorker(ChannelRecord& record);

// The worker itself: identifies the camera, chooses its road and hands the channel to it.
// Runs in the channel's connection slot until it ends by itself or `run` says stop.
void connectionWorker(ChannelRecord& record, const platform::ThreadRun& run);

// Passes without data after which a reconnecting channel gives up.
inline constexpr int kReconnectBudget = 30000;

}  // namespace ipcam
