#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/channel_count.h"
#include "core/picture_counters.h"
#include "core/reconnect_pace.h"
#include "core/stream_context.h"
#include "platform/serial_worker.h"
#include "platform/thread_slot.h"

namespace ipcam {

class ViewerUi;
class AvServerClient;
class ChannelDisplay;
class ChannelMedia;
class AudioPlayer;
class FrameSink;

// Channel status codes, as the tiles, layouts and recording threads read them.
enum ChannelStatus : std::int32_t {
  kStatusNoSignal = 5,
  kStatusConnecting = 10,
  kStatusDisconnected = 20,
  kStatusLive = 30,
  kStatusRecording = 35,
};

// The three recorders of a channel, in the order the audio threads hand them audio.
enum class RecordingMode : int { kSchedule = 0, kManual = 1, kMotion = 2 };
inline constexpr std::size_t kRecordingModeCount = 3;

// Tasks that may wait behind the running one on a channel's command and pan/tilt workers.
inline constexpr std::size_t kPendingChannelCommands = 16;
inline constexpr std::size_t kPendingPtzRequests = 4;

// The six thread slots of a channel, each paired with a run flag in the record, and the two
// workers that take slow work off the user-interface thread.
struct ChannelThreads {
  platform::ThreadSlot connect;
  platform::ThreadSlot mpeg4Data;
  platform::ThreadSlot legacyData;
  platform::ThreadSlot schedule;
  platform::ThreadSlot manualRecord;
  platform::ThreadSlot motion;

  // The tile menu's commands (connect, disconnect, reset, recording), one after another.
  platform::SerialWorker commands{kPendingChannelCommands};
  // Pan/tilt requests to the camera, in the order the user gave them.
  platform::SerialWorker ptz{kPendingPtzRequests};
};

// Camera address and credentials as the record holds them.
struct ChannelCredentials {
  std::string login;
  std::string password;
};

// The record through which all threads of one channel meet. The table lives until process
// exit, so a thread abandoned at shutdown can still read it.
//
// Sharing: every field written by one thread and read by another is atomic. The object
// references are written once at start-up, before any channel thread starts, and never change.
// The credentials are guarded by credentialsMutex.
struct ChannelRecord {
  using RunFlag = platform::ThreadSlot::RunFlag;

  std::atomic<std::int32_t> modelId{0};
  std::atomic<int> legacySocket{0};       // 0: none
  std::atomic<std::uint32_t> address{0};  // IPv4, network byte order
  std::atomic<std::uint16_t> port{0};
  std::int32_t channel = 0;  // written once at start-up
  std::atomic<std::int32_t> status{kStatusNoSignal};
  std::atomic<ViewerUi*> mainWindow{nullptr};

  // Written once at start-up, before the threads start.
  std::shared_ptr<AvServerClient> avClient;
  std::shared_ptr<ChannelDisplay> display;
  std::shared_ptr<ChannelMedia> media;
  std::shared_ptr<FrameSink> scheduleRecorder;
  std::shared_ptr<FrameSink> motionRecorder;
  std::shared_ptr<FrameSink> manualRecorder;
  std::shared_ptr<AudioPlayer> audioPlayer;

  // The camera's own picture size, whatever size the tile shows it at.
  std::atomic<std::int32_t> pictureWidth{0};
  std::atomic<std::int32_t> pictureHeight{0};
  PictureCounters pictureCounters;
  // Whether the channel's pictures come, for the event log's "lost" and "reconnected" lines
  // (core/channel_reports.h): the wall-clock second of the last picture shown (0: none yet)
  // and a PictureFlow value. Atomic each: the decoding thread writes the first, the decoding
  // thread and the workers move the second.
  std::atomic<std::int64_t> lastPictureAt{0};
  std::atomic<int> pictureFlow{0};
  std::atomic<std::uint8_t> snapshotRequest{0};
  RunFlag scheduleRunning{0};
  RunFlag manualRecordRunning{0};
  RunFlag motionRunning{0};
  std::atomic<std::int32_t> scheduleKind{0};
  RunFlag connectRunning{0};
  RunFlag mpeg4DataRunning{0};
  RunFlag legacyDataRunning{0};
  std::atomic<bool> legacyReconnect{false};
  std::atomic<std::int32_t> legacyReconnectCount{0};
  std::atomic<std::int32_t> legacyLastError{0};
  std::atomic<bool> mpeg4Reconnect{false};
  std::atomic<std::int32_t> mpeg4ReconnectCount{0};
  std::atomic<std::int32_t> mpeg4LastError{0};
  // When the camera-server road may be opened again after a lost stream (atomic inside).
  ReconnectGate serverReopen;
  std::atomic<std::int32_t> motionFlag{0};
  std::atomic<std::int32_t> manualRecord{0};
  // Per recording mode: the mode's recorder started or stopped a file, so the audio thread
  // begins that mode's next GSM block afresh and every file's audio starts with a whole block.
  // Set by the recorder, taken (exchanged back) by the audio thread.
  std::array<std::atomic<bool>, kRecordingModeCount> gsmBlockRestart{};
  StreamContext stream;

  ChannelThreads threads;

  // Disarms both auto-reconnect families and forgets their counts, errors and pace.
  void clearReconnect();

  ChannelCredentials credentials() const;
  void setCredentials(ChannelCredentials credentials);

 private:
  mutable std::mutex credentialsMutex_;
  ChannelCredentials credentials_;  // guarded by credentialsMutex_
};

// The legacy server connection of the channel. Every close and shut-down goes through these,
// under one lock, so that none of them reaches a descriptor number already given to another
// socket. Set closes the one it replaces.
void setLegacySocket(ChannelRecord& record, int socket);
void closeLegacySocket(ChannelRecord& record);
// Ends the connection's traffic without closing it: a data thread waiting on it wakes at once.
void shutdownLegacySocket(ChannelRecord& record);

// Tells every thread of the channel to end, without waiting for any of them.
void requestChannelStop(ChannelRecord& record);
// Stops the channel's threads in a fixed order (the HTTP/RTSP stream workers, connection
// worker, MPEG-4 server data, legacy server data, then the decode and audio player threads
// they all feed, then schedule, manual recording, motion), each given its time limit, so that no
// thread is left feeding one that is already gone. Not on the user-interface thread: it waits.
void stopChannelThreads(ChannelRecord& record);

// The process-wide table of the 16 channel records.
std::array<ChannelRecord, kChannelCount>& channelRecords();
ChannelRecord& channelRecord(int channel);

// Binds the record to its channel: the channel's objects, then the camera's address, port and
// credentials from the live settings. -1 (address, port and credentials left as they were)
// when the camera's IP text is empty or not a dotted-quad IPv4 address.
int initChannelRecord(ChannelRecord& record, int channel);
// Copies the camera's current credentials into the record; with a dotted-quad IP also its
// address and port (0), else -1.
int refreshChannelAddress(ChannelRecord& record);

// Parses a strict dotted quad ("192.168.0.10") into network byte order.
bool parseDottedQuad(const std::string& text, std::uint32_t& address);

// The tile text for a status text: "" for "", else "%d " (channel 1..16) and the text.
std::string tileStatusText(int channel, const std::string& text);

// A tile operation: a non-zero code becomes the channel's status; a text (when given) becomes
// the tile's text; the tile repaints. Does nothing before the main window exists.
void setChannelStatus(int channel, int code, const std::string* text);
void setChannelStatus(int channel, int code, const std::string& text);

}  // namespace ipcam
