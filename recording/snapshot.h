#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "recording/schedule.h"

namespace ipcam {

struct ChannelRecord;
struct PictureView;

// What saving a snapshot answers.
inline constexpr int kSnapshotSaved = 0;
inline constexpr int kSnapshotNoRecordDir = -1;
inline constexpr int kSnapshotCannotCreate = -2;
inline constexpr int kSnapshotWriteFailed = -3;

// The camera's "Name" as it may stand in a file name: each of * | : " < > ? / \ and the full
// stop becomes an underscore; everything else, blanks included, stays.
std::string snapshotSafeName(std::string_view cameraName);

// "<dir>/Data/Snapshot/Camera <channel + 1>/<safe name>_<yyyy>-<mm>-<dd>_<hh>-<mm>-<ss>.jpg",
// the safe name cut (between characters) so that the file name fits NAME_MAX.
std::string snapshotFileName(std::string_view recordDir, int channel, std::string_view cameraName,
                             const LocalTime& at);

// The template whose canvas a converted picture of this size is saved on, relative to the
// resource folder ("image/Snapshot_320_240.jpg", ...).
std::string_view snapshotTemplateFor(int width, int height);

// Where a decoder hands the picture a user asked a snapshot of (the channel's snapshot
// request, which the decoder has already cleared); both run on the channel's decoding thread
// and show their failures in a message box, which holds that thread until it is closed.
//
// Motion JPEG: the compressed picture exactly as it came from the camera. kSnapshotSaved,
// kSnapshotNoRecordDir ("Message_RecordingSpaceFull"), kSnapshotCannotCreate ("Path_Error")
// or kSnapshotWriteFailed (no message).
int saveJpegSnapshot(ChannelRecord& record, std::span<const std::uint8_t> jpeg);
// The other codecs: the converted picture, copied onto the canvas of its size's template and
// saved as a JPEG. kSnapshotSaved, kSnapshotNoRecordDir ("Message_RecordingSpaceFull") or
// kSnapshotCannotCreate ("Path_Error"); a template that cannot be read says "CImage Load
// Failed" and the picture is saved on a plain canvas of its own size.
int savePictureSnapshot(ChannelRecord& record, const PictureView& picture);

// The same at a given local time.
int saveJpegSnapshotAt(ChannelRecord& record, std::span<const std::uint8_t> jpeg,
                       const LocalTime& at);
int savePictureSnapshotAt(ChannelRecord& record, const PictureView& picture, const LocalTime& at);

}  // namespace ipcam
