#include "recording/snapshot.h"

#include "core/channel_record.h"
#include "core/picture.h"
#include "platform/trace.h"

namespace ipcam {

// Saving snapshot files comes with the snapshot templates and folders; until then a request
// is only noted, and taking it from the decoder already clears it.
void saveJpegSnapshot(ChannelRecord& record, std::span<const std::uint8_t> jpeg) {
  platform::trace("Camera %d: snapshot of a %zu-byte picture requested; not saved yet",
                  record.channel + 1, jpeg.size());
}

void savePictureSnapshot(ChannelRecord& record, const PictureView& picture) {
  platform::trace("Camera %d: snapshot of a %dx%d picture requested; not saved yet",
                  record.channel + 1, picture.width, picture.height);
}

}  // namespace ipcam
