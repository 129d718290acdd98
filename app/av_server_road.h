#pragma once

#include <cstdint>
#include <string>

#include "protocols/av_server_client.h"

namespace ipcam {

struct ChannelRecord;

namespace platform {
class ThreadRun;
}

// The MPEG-4 camera-server road of a channel, as the connection worker drives it.

// Connect and log in on the control port, in the message form of the channel's model
// number; 1 when both succeed.
int avsConnectAndLogin(ChannelRecord& record, const std::string& ip, std::uint16_t controlPort);
// Opens the data connection (control port + 1); 1 on success.
int avsOpenData(ChannelRecord& record, const std::string& ip, std::uint16_t dataPort);

// Starts AvsDataThread in the channel's mpeg4Data slot. A data thread of an earlier connection
// that is still winding down is waited for first.
bool startAvsDataThread(ChannelRecord& record);

// The data thread: reads the server's frames into the channel's rings, with the decode and
// audio threads consuming them, until stopped or the stream is lost; a lost stream with the
// reconnect armed starts the connection worker again.
void AvsDataThread(ChannelRecord& record, const platform::ThreadRun& run,
                   const AvsDataLimits& limits = {});

}  // namespace ipcam
