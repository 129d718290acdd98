#pragma once

namespace ipcam {

struct ChannelRecord;

// Started by the channel's decode thread when the camera reports motion and motion recording
// is on for it: records for the set time, sounds the alarm, sends the mail. Starts the thread
// in the channel's motion slot (which raises motionRunning) and returns whether it runs.
bool startMotionThread(ChannelRecord& record);

}  // namespace ipcam
