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
#include <stop_token>
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
//
// The consumer may shut the queue while it has no use for what comes (audio nobody hears or
// records): a shut queue is empty and drops every push at once, so the producer costs nothing
// downstream and no refusals pile up.
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
  // Entries refused because the queue was full, since it was made (not those a shut queue
  // dropped).
  std::uint64_t refused() const { return refused_.load(); }
  void clear();
  std::size_t size() const;
  std::size_t limit() const { return limit_; }

  // The consumer's wait: asleep, with no time-out, until an entry waits, `stop` is requested
  // or wake() is called. True when an entry waits.
  bool waitForEntry(const std::stop_token& stop);
  // The same, but up to `deadline` at most: for a consumer that also has work due at a time.
  bool waitForEntryUntil(const std::stop_token& stop,
                         std::chrono::steady_clock::time_point deadline);
  // Ends the consumer's wait (the one under way, or else its next one) once, so that it looks
  // again at whatever else decides its work.
  void wake();
  // Times a waiting consumer looked at the queue: once as each wait begins and once per
  // wake-up. What tells a sleeping consumer from one that keeps waking.
  std::uint64_t waitLooks() const { return waitLooks_.load(); }

  // Open (the default) takes entries up to the limits; shut empties the queue and drops every
  // push until it is opened again.
  void setAccepting(bool accepting);
  bool accepting() const { return accepting_.load(); }

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
  template <class Wait>
  bool waitWith(Wait wait);

  mutable std::mutex mutex_;
  std::condition_variable_any pushed_;  // woken by a push, wake() and the consumer's stop
  std::deque<std::vector<std::uint8_t>> entries_;  // guarded by mutex_
  std::size_t queuedBytes_ = 0;                    // guarded by mutex_
  bool woken_ = false;                             // guarded by mutex_
  int codecKind_ = kJpeg;                          // guarded by mutex_
  std::string parameterSets_;                      // guarded by mutex_
  int camera_ = -1;                                // guarded by mutex_
  int sampleFormat_ = 0;                           // guarded by mutex_
  std::atomic<std::uint64_t> refused_{0};          // atomic: the producer counts, anyone reads
  std::atomic<std::uint64_t> waitLooks_{0};        // atomic: the consumer counts, anyone reads
  // Atomic so that a producer can read it without the lock; written under mutex_.
  std::atomic<bool> accepting_{true};
};

}  // namespace ipcam
