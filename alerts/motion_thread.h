#pragma once

#include <cstdint>

namespace ipcam {

struct ChannelRecord;

// Started by the channel pipeline when the camera reports motion and motion recording
// is on for it: records for the set time, sounds the alarm, sends the mail. Starts the thread
// in the channel's motion slot (which raises motionRunning) and returns whether it runs. A
// running motion thread is neither extended nor restarted: this then starts nothing.
bool startMotionThread(ChannelRecord& record);

// The length of one motion recording for a stored "MRSecond": 10, 20, 30 or 60 as stored,
// 10 for anything else, which is also what the settings page shows for it.
std::int32_t motionRecordingSeconds(std::int32_t stored);

}  // namespace ipcam
