#include "recording/avi_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/private_files.h"

namespace ipcam {
namespace {

constexpr std::uint32_t kRiff = fourCc("RIFF");
constexpr std::uint32_t kAvi = fourCc("AVI ");
constexpr std::uint32_t kList = fourCc("LIST");
constexpr std::uint32_t kHdrl = fourCc("hdrl");
constexpr std::uint32_t kAvih = fourCc("avih");
constexpr std::uint32_t kStrl = fourCc("strl");
constexpr std::uint32_t kStrh = fourCc("strh");
constexpr std::uint32_t kStrf = fourCc("strf");
constexpr std::uint32_t kJunk = fourCc("JUNK");
constexpr std::uint32_t kMovi = fourCc("movi");
constexpr std::uint32_t kIdx1 = fourCc("idx1");
constexpr std::uint32_t kVideoType = fourCc("vids");

constexpr std::uint32_t kChunkHeaderBytes = 8;
constexpr std::uint32_t kListHeaderBytes = 12;
constexpr std::uint32_t kMainHeaderBytes = 56;
constexpr std::uint32_t kStreamHeaderBytes = 56;
constexpr std::uint32_t kIndexEntryBytes = 16;
// The movi LIST's own header: 'LIST', size, 'movi'. Chunks follow it.
constexpr std::uint64_t kFirstChunkOffset = AviFile::kMoviListOffset + kListHeaderBytes;
// Index offsets count from the 'movi' code.
constexpr std::uint64_t kIndexBase = AviFile::kMoviListOffset + kChunkHeaderBytes;

// avih flags.
constexpr std::uint32_t kHasIndex = 0x10;
constexpr std::uint32_t kIsInterleaved = 0x100;

constexpr std::uint32_t padded(std::uint32_t size) {
  return size + (size & 1U);
}

// Little-endian serialisation into a growing buffer.
class LeWriter {
 public:
  explicit LeWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void u16(std::uint16_t value) {
    out_.push_back(static_cast<std::uint8_t>(value));
    out_.push_back(static_cast<std::uint8_t>(value >> 8));
  }
  void u32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
      out_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  }
  void bytes(std::span<const std::uint8_t> data) {
    out_.insert(out_.end(), data.begin(), data.end());
  }
  void zeros(std::size_t count) { out_.insert(out_.end(), count, 0); }
  // Starts a chunk whose size is filled in by close(start).
  std::size_t open(std::uint32_t id) {
    u32(id);
    const std::size_t at = out_.size();
    u32(0);
    return at;
  }
  void close(std::size_t sizeAt) {
    const auto size = static_cast<std::uint32_t>(out_.size() - sizeAt - 4);
    if ((size & 1U) != 0) out_.push_back(0);
    for (int i = 0; i < 4; ++i)
      out_[sizeAt + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  }
  std::size_t size() const { return out_.size(); }

 private:
  std::vector<std::uint8_t>& out_;
};

// Writes all of `bytes` at `offset`; 0 or the errno. A short write that makes no progress is
// reported as ENOSPC, which is what it means on every file system we write to.
int pwriteAll(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return ENOSPC;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return 0;
}

std::uint32_t chunkId(int stream, std::uint32_t type) {
  const char tens = static_cast<char>('0' + stream / 10);
  const char ones = static_cast<char>('0' + stream % 10);
  const char code[5] = {tens, ones, type == kVideoType ? 'd' : 'w', type == kVideoType ? 'c' : 'b',
                        0};
  return fourCc(code);
}

}  // namespace

AviFile::~AviFile() {
  release();
}

int AviFile::open(const std::string& path) {
  release();
  // Recordings show people: they are the user's alone until the user says otherwise.
  const int fd = platform::openPrivateFile(path);
  if (fd < 0) return -fd;
  fd_ = fd;
  path_ = path;
  streams_.clear();
  index_.clear();
  end_ = kFirstChunkOffset;
  largestChunk_ = 0;
  failure_ = 0;
  // The header area goes out at once, so even a file that never gets a sample is a valid AVI.
  if (const int error = writeHeaders(false); error != 0) {
    failure_ = error;
    return error;
  }
  return 0;
}

bool AviFile::validStream(int stream) const {
  return stream >= 0 && static_cast<std::size_t>(stream) < streams_.size();
}

int AviFile::createStream(const AviStreamHeader& header) {
  if (!isOpen() || !index_.empty() || streams_.size() >= kMaxStreams) return -1;
  Stream added;
  added.header = header;
  added.header.length = 0;
  streams_.push_back(std::move(added));
  return static_cast<int>(streams_.size()) - 1;
}

bool AviFile::setFormat(int stream, std::span<const std::uint8_t> format) {
  if (!isOpen() || !validStream(stream) || !index_.empty() || format.empty()) return false;
  streams_[static_cast<std::size_t>(stream)].format.assign(format.begin(), format.end());
  // The header area must still fit in front of 'movi'.
  if (headerArea(false).size() > kFirstChunkOffset) {
    streams_[static_cast<std::size_t>(stream)].format.clear();
    return false;
  }
  return writeHeaders(false) == 0;
}

std::int64_t AviFile::streamStart(int stream) const {
  return validStream(stream) ? streams_[static_cast<std::size_t>(stream)].header.start : 0;
}

std::int64_t AviFile::streamLength(int stream) const {
  return validStream(stream) ? streams_[static_cast<std::size_t>(stream)].header.length : 0;
}

int AviFile::write(int stream, std::int64_t position, std::span<const std::uint8_t> data,
                   std::int64_t samples, std::uint32_t flags) {
  if (!isOpen()) return EBADF;
  if (failure_ != 0) return failure_;
  if (!validStream(stream) || data.empty() || samples < 0 ||
      position != streamStart(stream) + streamLength(stream)) {
    return EINVAL;
  }
  Stream& target = streams_[static_cast<std::size_t>(stream)];
  const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), UINT32_MAX));
  const std::uint64_t chunkBytes = kChunkHeaderBytes + padded(size);
  const std::uint64_t indexBytes = kChunkHeaderBytes + (index_.size() + 1) * kIndexEntryBytes;
  if (size != data.size() || end_ + chunkBytes + indexBytes > kLargestFileBytes ||
      target.header.length + static_cast<std::uint64_t>(samples) > UINT32_MAX) {
    return EFBIG;
  }

  std::vector<std::uint8_t> chunk;
  chunk.reserve(chunkBytes);
  LeWriter out(chunk);
  const std::uint32_t id = chunkId(stream, target.header.type);
  out.u32(id);
  out.u32(size);
  out.bytes(data);
  if ((size & 1U) != 0) out.zeros(1);

  if (const int error = appendAll(chunk); error != 0) {
    cutBackAfter(error);
    return error;
  }
  index_.push_back({id, flags & kKeyFrame, static_cast<std::uint32_t>(end_ - kIndexBase), size});
  end_ += chunkBytes;
  target.header.length += static_cast<std::uint32_t>(samples);
  largestChunk_ = std::max(largestChunk_, size);
  target.header.suggestedBufferSize = std::max(target.header.suggestedBufferSize, size);

  // The first sample makes the file playable at once; after that the headers follow the data
  // once per interval.
  const auto now = std::chrono::steady_clock::now();
  if (index_.size() == 1 || now - lastPatch_ >= kHeaderPatchInterval) {
    if (const int error = writeHeaders(false); error != 0) {
      cutBackAfter(error);
      return error;
    }
  }
  return 0;
}

std::int64_t AviFile::sampleToTime(int stream, std::int64_t sample) const {
  if (!validStream(stream)) return 0;
  const AviStreamHeader& header = streams_[static_cast<std::size_t>(stream)].header;
  if (header.rate == 0) return 0;
  return sample * static_cast<std::int64_t>(header.scale) * 1000 /
         static_cast<std::int64_t>(header.rate);
}

AviStreamHeader AviFile::streamInfo(int stream) const {
  return validStream(stream) ? streams_[static_cast<std::size_t>(stream)].header
                             : AviStreamHeader{};
}

bool AviFile::setStreamInfo(int stream, const AviStreamHeader& header) {
  if (!isOpen() || !validStream(stream)) return false;
  AviStreamHeader& kept = streams_[static_cast<std::size_t>(stream)].header;
  const std::uint32_t length = kept.length;
  const std::uint32_t suggested = kept.suggestedBufferSize;
  kept = header;
  kept.length = length;
  kept.suggestedBufferSize = std::max(suggested, header.suggestedBufferSize);
  // Written with the next patch: a rate that follows every frame must not cost a write each.
  return true;
}

int AviFile::flushHeaders() {
  if (!isOpen()) return EBADF;
  return writeHeaders(false);
}

int AviFile::release() {
  if (!isOpen()) return 0;
  int result = failure_;
  // A file that cannot take its index still plays: FFmpeg reads 'movi' chunk by chunk.
  bool indexWritten = false;
  if (failure_ == 0 && !index_.empty()) {
    if (const int error = writeIndex(); error != 0) {
      result = error;
      if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0 && result == 0) result = errno;
    } else {
      indexWritten = true;
    }
  }
  if (const int error = writeHeaders(indexWritten); error != 0 && result == 0) result = error;
  if (::close(fd_) != 0 && result == 0) result = errno;
  fd_ = -1;
  return result;
}

std::vector<std::uint8_t> AviFile::headerArea(bool indexWritten) const {
  const Stream* video = nullptr;
  for (const Stream& stream : streams_) {
    if (stream.header.type == kVideoType) {
      video = &stream;
      break;
    }
  }

  std::vector<std::uint8_t> area;
  area.reserve(kFirstChunkOffset);
  LeWriter out(area);
  const std::uint64_t indexBytes =
      indexWritten ? kChunkHeaderBytes + index_.size() * kIndexEntryBytes : 0;
  out.u32(kRiff);
  out.u32(static_cast<std::uint32_t>(end_ + indexBytes - kChunkHeaderBytes));
  out.u32(kAvi);

  const std::size_t hdrl = out.open(kList);
  out.u32(kHdrl);
  out.u32(kAvih);
  out.u32(kMainHeaderBytes);
  std::uint32_t microSecondsPerFrame = 0;
  if (video != nullptr && video->header.rate != 0) {
    microSecondsPerFrame = static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(video->header.scale) * 1000000 / video->header.rate);
  }
  out.u32(microSecondsPerFrame);
  out.u32(0);  // max bytes per second: unknown
  out.u32(0);  // padding granularity
  out.u32(kIsInterleaved | (indexWritten ? kHasIndex : 0));
  out.u32(video != nullptr ? video->header.length : 0);  // total frames
  out.u32(0);                                            // initial frames
  out.u32(static_cast<std::uint32_t>(streams_.size()));
  out.u32(largestChunk_);
  out.u32(video != nullptr ? static_cast<std::uint32_t>(video->header.frame.right) : 0);
  out.u32(video != nullptr ? static_cast<std::uint32_t>(video->header.frame.bottom) : 0);
  out.zeros(16);  // reserved

  for (const Stream& stream : streams_) {
    const std::size_t strl = out.open(kList);
    out.u32(kStrl);
    const AviStreamHeader& h = stream.header;
    out.u32(kStrh);
    out.u32(kStreamHeaderBytes);
    out.u32(h.type);
    out.u32(h.handler);
    out.u32(h.flags);
    out.u16(h.priority);
    out.u16(h.language);
    out.u32(h.initialFrames);
    out.u32(h.scale);
    out.u32(h.rate);
    out.u32(h.start);
    out.u32(h.length);
    out.u32(h.suggestedBufferSize);
    out.u32(static_cast<std::uint32_t>(h.quality));
    out.u32(h.sampleSize);
    out.u16(static_cast<std::uint16_t>(h.frame.left));
    out.u16(static_cast<std::uint16_t>(h.frame.top));
    out.u16(static_cast<std::uint16_t>(h.frame.right));
    out.u16(static_cast<std::uint16_t>(h.frame.bottom));
    if (!stream.format.empty()) {
      const std::size_t strf = out.open(kStrf);
      out.bytes(stream.format);
      out.close(strf);
    }
    out.close(strl);
  }
  out.close(hdrl);

  if (out.size() + kChunkHeaderBytes <= AviFile::kMoviListOffset) {
    const std::size_t junk = AviFile::kMoviListOffset - out.size() - kChunkHeaderBytes;
    out.u32(kJunk);
    out.u32(static_cast<std::uint32_t>(junk));
    out.zeros(junk);
  }

  out.u32(kList);
  out.u32(static_cast<std::uint32_t>(end_ - AviFile::kMoviListOffset - kChunkHeaderBytes));
  out.u32(kMovi);
  return area;
}

int AviFile::writeHeaders(bool indexWritten) {
  const std::vector<std::uint8_t> area = headerArea(indexWritten);
  if (area.size() != kFirstChunkOffset) return EINVAL;
  lastPatch_ = std::chrono::steady_clock::now();
  return pwriteAll(fd_, area, 0);
}

int AviFile::writeIndex() {
  const std::uint64_t bytes = kChunkHeaderBytes + index_.size() * kIndexEntryBytes;
  if (end_ + bytes > kLargestFileBytes) return EFBIG;
  std::vector<std::uint8_t> chunk;
  chunk.reserve(bytes);
  LeWriter out(chunk);
  out.u32(kIdx1);
  out.u32(static_cast<std::uint32_t>(index_.size() * kIndexEntryBytes));
  for (const IndexEntry& entry : index_) {
    out.u32(entry.chunkId);
    out.u32(entry.flags);
    out.u32(entry.offset);
    out.u32(entry.size);
  }
  return pwriteAll(fd_, chunk, end_);
}

int AviFile::appendAll(std::span<const std::uint8_t> bytes) {
  return pwriteAll(fd_, bytes, end_);
}

void AviFile::cutBackAfter(int error) {
  failure_ = error;
  // Whatever part of the chunk made it to the disk goes, so that the file ends with a whole
  // chunk and its headers describe exactly what is there.
  if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
    // The headers still end 'movi' at the last whole chunk; a reader stops there.
  }
  writeHeaders(false);
}

}  // namespace ipcam
