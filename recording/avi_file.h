#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ipcam {

// A four-character code as RIFF stores it: the first character in the lowest byte.
constexpr std::uint32_t fourCc(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

// One stream's header, field for field as the 56-byte "strh" chunk carries it.
struct AviStreamHeader {
  struct Rect {
    std::int16_t left = 0;
    std::int16_t top = 0;
    std::int16_t right = 0;
    std::int16_t bottom = 0;
  };
  std::uint32_t type = 0;  // "vids" or "auds"
  std::uint32_t handler = 0;
  std::uint32_t flags = 0;
  std::uint16_t priority = 0;
  std::uint16_t language = 0;
  std::uint32_t initialFrames = 0;
  std::uint32_t scale = 1;
  std::uint32_t rate = 0;
  std::uint32_t start = 0;
  std::uint32_t length = 0;  // kept by the writer: the samples written so far
  std::uint32_t suggestedBufferSize = 0;
  std::int32_t quality = -1;
  std::uint32_t sampleSize = 0;
  Rect frame;
};

// An AVI 1.0 (RIFF 'AVI ') file being written, with the operations the recorder needs: create
// the file, add streams with their headers and formats, append samples, read and rewrite a
// stream's header, and finish.
//
// Layout: RIFF 'AVI ' { LIST 'hdrl' { avih, LIST 'strl' { strh, strf }... }, JUNK,
// LIST 'movi' { ##dc / ##wb chunks }, idx1 }. The header area is padded with JUNK to a fixed
// size, so 'movi' never moves and the headers can be rewritten in place with one pwrite.
//
// A file cut off at any moment must still play up to its last complete frame: the sizes and
// lengths in the header area follow the data at least once a second, and the index is written
// only when the file is finished, because FFmpeg scans 'movi' chunk by chunk when 'idx1' is
// missing. After a failed write (full disk, file-size limit, I/O error) the file is cut back
// to its last complete chunk and the headers say so; it takes no more samples, and release()
// still finishes it as far as the disk allows.
//
// Plain POSIX I/O; every call is checked. Not thread-safe: the recorder's lock serialises use.
class AviFile {
 public:
  static constexpr int kMaxStreams = 2;
  // AVIIF_KEYFRAME: the index entry of a sample that decodes on its own.
  static constexpr std::uint32_t kKeyFrame = 0x10;
  // Offset of the LIST 'movi' header: the header area, JUNK included, fills what is before it.
  static constexpr std::uint32_t kMoviListOffset = 2048;
  // RIFF sizes are 32 bits; AVI 1.0 readers expect files well below 2 GiB, index included.
  static constexpr std::uint64_t kLargestFileBytes = 0x7F000000;
  // How often the header area follows a growing file.
  static constexpr std::chrono::milliseconds kHeaderPatchInterval{1000};

  AviFile() = default;
  AviFile(const AviFile&) = delete;
  AviFile& operator=(const AviFile&) = delete;
  ~AviFile();

  // Creates the file, replacing one of the same name. 0, or the errno of the failure.
  int open(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Adds a stream; its index, or -1 when the file is not open, samples were already written,
  // or there are kMaxStreams streams.
  int createStream(const AviStreamHeader& header);
  // The stream's format record ("strf"), set at position 0 before the first sample.
  bool setFormat(int stream, std::span<const std::uint8_t> format);

  std::int64_t streamStart(int stream) const;
  std::int64_t streamLength(int stream) const;
  // Appends one chunk of `samples` samples at `position`, which must be the stream's end.
  // 0, or the errno of the failure (ENOSPC, EFBIG, EIO, EINVAL for a bad call).
  int write(int stream, std::int64_t position, std::span<const std::uint8_t> data,
            std::int64_t samples, std::uint32_t flags);
  // Milliseconds from the stream's start to `sample`.
  std::int64_t sampleToTime(int stream, std::int64_t sample) const;

  AviStreamHeader streamInfo(int stream) const;
  // Rewrites the stream's header; its length stays the writer's.
  bool setStreamInfo(int stream, const AviStreamHeader& header);

  // Writes the headers now, whatever the interval.
  int flushHeaders();
  // Finishes the file (index, headers) and closes it. 0, or the errno of the first failure
  // since open; safe to call twice.
  int release();

  // The errno of the write that made the file stop taking samples, 0 while it takes them.
  int failure() const { return failure_; }

 private:
  struct Stream {
    AviStreamHeader header;
    std::vector<std::uint8_t> format;
  };
  struct IndexEntry {
    std::uint32_t chunkId;
    std::uint32_t flags;
    std::uint32_t offset;  // from the 'movi' code
    std::uint32_t size;
  };

  bool validStream(int stream) const;
  std::vector<std::uint8_t> headerArea(bool indexWritten) const;
  int writeHeaders(bool indexWritten);
  int writeIndex();
  int appendAll(std::span<const std::uint8_t> bytes);
  void cutBackAfter(int error);

  std::string path_;
  int fd_ = -1;
  std::vector<Stream> streams_;
  std::vector<IndexEntry> index_;
  std::uint64_t end_ = 0;  // end of the last complete chunk
  std::uint32_t largestChunk_ = 0;
  int failure_ = 0;
  std::chrono::steady_clock::time_point lastPatch_{};
};

}  // namespace ipcam
