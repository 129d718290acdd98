#pragma once

#include <optional>
#include <string>

namespace ipcam {

// The one way the core reaches the user. The user interface implements it; tests replace it
// with a recording fake. Every call may come from any thread.
class ViewerUi {
 public:
  virtual ~ViewerUi() = default;

  // The tile of `channel` (0..15) takes the status `code` (0: no change) and, when given, the
  // status text (already formatted, possibly empty); then it repaints. The core has already
  // stored the code in the channel record.
  virtual void setChannelStatus(int channel, int code, const std::optional<std::string>& text) = 0;

  // One line at the top of the event log; channel -1 leaves the camera prefix out.
  virtual void logEvent(int channel, const std::string& text) = 0;

  // Shows a message box and blocks the calling thread until the user closes it. From a worker
  // thread this blocks only that worker. Once shutdown has begun, boxes are not shown any more
  // and the call returns at once, so a worker can never hold up the exit.
  virtual void messageBox(const std::string& text, const std::string& title) = 0;

  // Shows a message box without waiting for it: the caller goes on at once, and the box does
  // not block the window either. A box with the same text that is still open is not opened a
  // second time. Worker threads tell the user through this, never through messageBox, so an
  // unanswered box on an unattended station holds up no reconnect and no recording.
  virtual void postMessage(const std::string& text, const std::string& title) = 0;

  // A new picture is ready in the channel's display.
  virtual void presentPicture(int channel) = 0;

  // Main-window hooks the core needs.
  virtual int visibleTileCount() const = 0;
  virtual int singleChannel() const = 0;
  virtual void setRecordingButtons(bool recordingOn) = 0;
  virtual void setScanInterval(int seconds) = 0;
};

// The message-box title the program uses when a text comes without one.
inline constexpr const char* kDefaultMessageTitle = "IP Camera Surveillance Software";

}  // namespace ipcam
