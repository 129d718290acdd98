#pragma once

#include <cstdint>
#include <span>

namespace ipcam {

struct ChannelRecord;

// Results besides the decoder's own (bytes used, or its negative error).
inline constexpr int kMpeg4NoStartCode = -1;  // the frame does not begin with 00 00 01
inline constexpr int kMpeg4GateClosed = -2;   // no sequence-level start code seen yet
inline constexpr int kDecoderNotOpen = -3;    // the channel's decoder for the codec is closed

// What a decode is for. A channel that fell behind decodes the MPEG frames it must (the
// later pictures refer to them) without converting them, and leaves out what nothing refers
// to.
enum class DecodeFor { kDisplay, kCatchUp };

// Decode one complete frame on the channel's decoding thread and, when a picture results,
// convert it into the channel's display at the size its tile shows (ChannelDisplay's
// tileTarget) and tell the user interface. The camera's size of every decoded picture is
// kept in the channel's media object (lastWidth/lastHeight). `motionFlag` non-zero puts the
// motion frame on the picture.
//
// Pictures of any size within isShownPictureSize and of any pixel format the converter reads
// are drawn; others are dropped with one trace line per stream run. A Motion JPEG picture
// whose size differs from the previous one re-opens the decoder and is dropped, so the
// decoder starts the new size with fresh buffers; the next picture is drawn.
//
// Motion JPEG is decoded for the live view by libjpeg-turbo, at 1/2, 1/4 or 1/8 of its size
// when the tile shows no more than that; libavcodec decodes what libjpeg-turbo refuses.
int decodeMjpeg(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag);
// MPEG-4 refuses frames without a start code (-1) and, until the first VOL, VOS or GOV
// start code, everything else (-2).
int decodeMpeg4(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag,
                DecodeFor purpose = DecodeFor::kDisplay);
// H.264 frames are access units in Annex B form. Nothing is drawn before the channel has seen
// a key frame (isH264KeyFrame).
int decodeH264(ChannelRecord& record, std::span<const std::uint8_t> frame, int motionFlag,
               DecodeFor purpose = DecodeFor::kDisplay);

}  // namespace ipcam
