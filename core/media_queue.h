#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ipcam {

// The largest compressed picture a camera may send in one piece: room for a 4096x4096 Motion
// JPEG of high quality, or an H.264 key frame of a 4K camera. The buffers that hold one are
// reserved at this size but only touched as far as pictures fill them.
inline constexpr std::size_t kLargestFrameBytes = 8 * 1024 * 1024;

// Compressed frames on their way from a stream worker to the channel's decode (or audio)
// thread: a FIFO of byte strings under one lock. A full queue refuses the new entry, which
// bounds memory when decoding falls behind: full means its count of entries, or
// kQueuedBytesLimit bytes, whichever comes first (large pictures fill it by their size).
class MediaQueue {
 public:
  enum CodecKind : int { kJpeg = 0, kMpeg4 = 1, kH264 = 2 };

  static constexpr std::size_t kQueuedBytesLimit = 4 * kLargestFrameBytes;

  explicit MediaQueue(std::size_t limit) : limit_(limit) {}
  MediaQueue(const MediaQueue&) = delete;
  MediaQueue& operator=(const MediaQueue&) = delete;

  // Copies the bytes in; false (and nothing stored) when the queue already holds its limit of
  // entries, or when the bytes would take it past kQueuedBytesLimit.
  bool push(std::span<const std::uint8_t> bytes);
  // Copies the front entry into `buffer` (at most its size) and removes it; the length of the
  // entry as stored, or nullopt when the queue is empty.
  std::optional<std::size_t> pop(std::span<std::uint8_t> buffer);
  // Moves the front entry into `entry` (its old contents are let go) and removes it; false
  // when the queue is empty. Nothing is copied, and nothing is held that the entry did not
  // need.
  bool take(std::vector<std::uint8_t>& entry);
  // Whether any waiting entry passes `test`, which runs under the queue's lock: keep it short.
  bool anyEntry(const std::function<bool(std::span<const std::uint8_t>)>& test) const;
  // Entries refused because the queue was full, since it was made.
  std::uint64_t refused() const { return refused_.load(); }
  void clear();
  std::size_t size() const;
  // Returns at once while an entry waits; otherwise waits up to `limit` for a push. Lets an
  // idle consumer sleep instead of polling.
  bool waitForEntry(std::chrono::milliseconds limit) const;
  std::size_t limit() const { return limit_; }

  // What the producer says about the frames.
  void setCodecKind(int kind);
  int codecKind() const;
  void setParameterSets(std::string parameterSets);  // H.264 only
  std::string parameterSets() const;
  void setCamera(int channel);
  int camera() const;
  // Audio queues: 0 A-law bytes (RTSP), 1 blocks of 33 bytes (HTTP).
  void setSampleFormat(int format);
  int sampleFormat() const;

 private:
  const std::size_t limit_;
  mutable std::mutex mutex_;
  mutable std::condition_variable pushed_;
  std::deque<std::vector<std::uint8_t>> entries_;  // guarded by mutex_
  std::size_t queuedBytes_ = 0;                    // guarded by mutex_
  int codecKind_ = kJpeg;                          // guarded by mutex_
  std::string parameterSets_;                      // guarded by mutex_
  int camera_ = -1;                                // guarded by mutex_
  int sampleFormat_ = 0;                           // guarded by mutex_
  std::atomic<std::uint64_t> refused_{0};          // atomic: the producer counts, anyone reads
};

}  // namespace ipcam
