#pragma once

#include <optional>
#include <vector>

namespace ipcam {

// The commands of a tile's context menu. 0 in a menu list stands for a separator.
enum ChannelCommand : int {
  kCommandSeparator = 0,
  kCommandConfigureCamera = 32771,
  kCommandReset = 32781,
  kCommandDisconnect = 32782,
  kCommandConnect = 32783,
  kCommandStartRecord = 32784,
  kCommandStopRecord = 32785,
};

// What the context menu of a channel depends on.
struct ChannelMenuState {
  int status = 0;
  bool streamWorkerRunning = false;      // RTSP, HTTP video or HTTP audio
  bool connectionThreadRunning = false;  // connection worker, MPEG-4 or legacy server data
  bool configured = false;
  bool manualRecording = false;  // the channel's "Manual" recorder writes a file
};

ChannelMenuState channelMenuState(int channel);

// The menu's command ids in menu order.
std::vector<int> contextMenuEntries(const ChannelMenuState& state);
std::vector<int> contextMenuEntries(int channel);

// Runs a menu command (connect, disconnect, reset, start or stop recording) on the channel's
// command worker, after the commands given before it, and returns at once: the
// user-interface thread never waits for a channel's threads. The channel reports what
// happens through its tile and the event log. False for another command, or when the worker
// refuses (shutdown, or too many commands waiting).
bool postChannelCommand(int channel, int command);
// True while a command of the channel runs or waits.
bool channelCommandsBusy(int channel);

// The commands themselves. Disconnect and reset wait while the channel's threads end (up to
// their limits each, reset 500 ms more), so they run on the command worker, not on the
// user-interface thread.
void connectChannel(int channel);
void disconnectChannel(int channel);
void resetChannel(int channel);
// Manual recording of one channel: start sets the wanted flag and starts the channel's manual
// recording thread (unless one runs); stop clears the flag, stops the thread and the recorder.
void startManualRecord(int channel);
void stopManualRecord(int channel);

// Why the main window's start-record button cannot start: the language section and key of
// the message to show.
struct ManualRecordProblem {
  const char* section;
  const char* key;
};
// The start-record button's checks: a recording directory is available
// ("Message_RecordingSpaceFull") and its "Data" folder exists ("Path_Error").
std::optional<ManualRecordProblem> checkManualRecordStart();
// Every live channel whose manual recorder is idle starts manual recording, each on its own
// command worker; returns at once.
void startManualRecordingEverywhere();
// Manual recording off: the record buttons' flag clears at once, every channel's manual
// recording stops on its command worker.
void stopManualRecordingEverywhere();

}  // namespace ipcam
