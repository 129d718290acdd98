#pragma once

#include <functional>

namespace ipcam {

struct ChannelRecord;

// The MPEG-4 decode thread of the camera-server road: takes the frames that the server's data
// thread put into the channel's video ring, hands each to the channel's recorders and, from
// the first key frame on, decodes it into the channel's display. Runs in the channel's
// mpeg4Decode slot (run flag mpeg4DecodeRunning). `connected` tells whether the server
// connection still stands; frames wait in the ring while it does not.
//
// Start does nothing while the thread runs; stop waits up to 1000 ms.
bool startAvServerDecodeThread(ChannelRecord& record, std::function<bool()> connected);
void stopAvServerDecodeThread(ChannelRecord& record);

}  // namespace ipcam
