#pragma once

namespace ipcam {

// The one place that knows every subsystem and wires them together: the connection services
// get the camera queries and the stream starter, the channel hooks get the decode thread, the
// sound, the recording threads, the motion chain and the snapshots. The program calls it once
// at start-up, before any channel thread starts; tests that stand up channels call it too, so
// they run what the program runs.
void wireProgram();

}  // namespace ipcam
