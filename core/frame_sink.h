#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ipcam {

// How a channel's audio reaches its recorders: G.711 A-law bytes as the camera sent them, or
// GSM 06.10 already joined into the 65-byte blocks of the WAVE form.
enum class AudioCoding { kALaw, kGsmWaveBlock };

// Where a channel's compressed frames go to be recorded. Every channel has three (the
// "Schedule", "Manual" and "Motion" recorders); the threads that decode a channel hand frames
// over, and the recording threads start and stop files, without knowing what writes them.
class FrameSink {
 public:
  virtual ~FrameSink() = default;

  // Opens a new file, finishing any open one first: 0 when it is open, else the code of what
  // failed (negative).
  virtual int startRecording() { return -1; }
  // Finishes the open file, if any; safe to call twice.
  virtual void stopRecording() {}
  // Full path of the file being written; empty when none is.
  virtual std::string currentFile() const { return {}; }
  // True while a file is being written.
  virtual bool recording() const = 0;
  // A compressed frame for the file being written. A file starts at a key frame; for H.264
  // the parameter sets go in once in front of it.
  virtual void writeFrame(std::span<const std::uint8_t> frame, bool keyFrame,
                          std::string_view parameterSets) = 0;
  // Audio for the file being written, in the coding named. 0 when written, -1 while idle or
  // before the file's first key frame, -2 when the file takes no audio of this coding.
  virtual int writeAudio(std::span<const std::uint8_t> /*audio*/, AudioCoding /*coding*/) {
    return -2;
  }
  // Finishes any open file; safe to call twice.
  virtual void close() = 0;
};

}  // namespace ipcam
