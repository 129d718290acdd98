#pragma once

#include <atomic>
#include <cstdint>

namespace ipcam {

// What became of a channel's pictures since its stream decode thread started. Every picture
// the stream delivers is received; it is then shown, dropped to catch up (never decoded, or
// decoded without being converted, because a newer one was already waiting, or refused by a
// full queue), or neither (the decoder could not make a picture of it, or it cannot be
// shown). Atomic each: the decode thread counts, the tile and the trace read.
struct PictureCounters {
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> receivedBytes{0};
  std::atomic<std::uint64_t> decoded{0};  // pictures the decoder made, shown or not
  std::atomic<std::uint64_t> shown{0};    // handed to the tile
  std::atomic<std::uint64_t> dropped{0};

  // Over the last few seconds, renewed by the decode thread about once a second; 0 while no
  // decode thread runs.
  std::atomic<float> receivedPerSecond{0};
  std::atomic<float> shownPerSecond{0};
  std::atomic<float> bitsPerSecond{0};

  void reset() {
    received.store(0);
    receivedBytes.store(0);
    decoded.store(0);
    shown.store(0);
    dropped.store(0);
    clearRates();
  }
  void clearRates() {
    receivedPerSecond.store(0);
    shownPerSecond.store(0);
    bitsPerSecond.store(0);
  }
};

}  // namespace ipcam
