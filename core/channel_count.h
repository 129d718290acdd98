#pragma once

namespace ipcam {

// Camera slots of the program; numbered 0..15 inside and 1..16 in every text the user sees.
inline constexpr int kChannelCount = 16;

}  // namespace ipcam
