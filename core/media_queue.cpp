#include "core/media_queue.h"

#include <algorithm>

namespace ipcam {

bool MediaQueue::push(std::span<const std::uint8_t> bytes) {
  // A shut queue stays empty whatever the producer sends; no lock needed to say so.
  if (!accepting_.load()) return false;
  {
    std::lock_guard lock(mutex_);
    if (!accepting_.load()) return false;
    if (entries_.size() >= limit_ || queuedBytes_ + bytes.size() > kQueuedBytesLimit) {
      refused_.fetch_add(1);
      return false;
    }
    entries_.emplace_back(bytes.begin(), bytes.end());
    queuedBytes_ += bytes.size();
  }
  pushed_.notify_one();
  return true;
}

template <class Wait>
bool MediaQueue::waitWith(Wait wait) {
  std::unique_lock lock(mutex_);
  wait(lock, [this] {
    waitLooks_.fetch_add(1, std::memory_order_relaxed);
    return !entries_.empty() || woken_;
  });
  woken_ = false;
  return !entries_.empty();
}

bool MediaQueue::waitForEntry(const std::stop_token& stop) {
  return waitWith([&](auto& lock, auto ready) { pushed_.wait(lock, stop, ready); });
}

bool MediaQueue::waitForEntryUntil(const std::stop_token& stop,
                                   std::chrono::steady_clock::time_point deadline) {
  return waitWith([&](auto& lock, auto ready) { pushed_.wait_until(lock, stop, deadline, ready); });
}

void MediaQueue::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  pushed_.notify_all();
}

void MediaQueue::setAccepting(bool accepting) {
  std::lock_guard lock(mutex_);
  accepting_.store(accepting);
  if (accepting) return;
  entries_.clear();
  queuedBytes_ = 0;
}

std::optional<std::size_t> MediaQueue::pop(std::span<std::uint8_t> buffer) {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  const std::vector<std::uint8_t>& front = entries_.front();
  std::copy_n(front.begin(), std::min(front.size(), buffer.size()), buffer.begin());
  const std::size_t length = front.size();
  queuedBytes_ -= length;
  entries_.pop_front();
  return length;
}

bool MediaQueue::take(std::vector<std::uint8_t>& entry) {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return false;
  entry = std::move(entries_.front());
  queuedBytes_ -= entry.size();
  entries_.pop_front();
  return true;
}

bool MediaQueue::anyEntry(const std::function<bool(std::span<const std::uint8_t>)>& test) const {
  std::lock_guard lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&test](const std::vector<std::uint8_t>& entry) { return test(entry); });
}

void MediaQueue::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  queuedBytes_ = 0;
}

std::size_t MediaQueue::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void MediaQueue::setCodecKind(int kind) {
  std::lock_guard lock(mutex_);
  codecKind_ = kind;
}

int MediaQueue::codecKind() const {
  std::lock_guard lock(mutex_);
  return codecKind_;
}

void MediaQueue::setParameterSets(std::string parameterSets) {
  std::lock_guard lock(mutex_);
  parameterSets_ = std::move(parameterSets);
}

std::string MediaQueue::parameterSets() const {
  std::lock_guard lock(mutex_);
  return parameterSets_;
}

void MediaQueue::setCamera(int channel) {
  std::lock_guard lock(mutex_);
  camera_ = channel;
}

int MediaQueue::camera() const {
  std::lock_guard lock(mutex_);
  return camera_;
}

void MediaQueue::setSampleFormat(int format) {
  std::lock_guard lock(mutex_);
  sampleFormat_ = format;
}

int MediaQueue::sampleFormat() const {
  std::lock_guard lock(mutex_);
  return sampleFormat_;
}

}  // namespace ipcam
