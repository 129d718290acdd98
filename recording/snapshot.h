#pragma once

#include <cstdint>
#include <span>

namespace ipcam {

struct ChannelRecord;
struct PictureView;

// Where a decoder hands the picture a user asked a snapshot of (the channel's snapshot
// request, which the decoder has already cleared). Motion JPEG hands over the compressed
// picture as it came from the camera; the other codecs hand over the converted picture.
void saveJpegSnapshot(ChannelRecord& record, std::span<const std::uint8_t> jpeg);
void savePictureSnapshot(ChannelRecord& record, const PictureView& picture);

}  // namespace ipcam
