#include "media/channel_media.h"

namespace ipcam {

void ChannelMedia::initialise() {}

void ChannelMedia::close() {}

}  // namespace ipcam
