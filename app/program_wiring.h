#pragma once

namespace ipcam {

// Wires the subsystems together: the connection services get the camera queries and the
// stream starters, and the channel pipeline becomes the sink of every channel's reports (it
// answers them with the decode thread, the sound, the recording threads, the motion chain and
// the snapshots). The program calls it once
// at start-up, before any channel thread starts; tests that stand up channels call it too, so
// they run what the program runs.
void wireProgram();

}  // namespace ipcam
