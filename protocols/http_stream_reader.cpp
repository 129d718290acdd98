#include "protocols/http_stream_reader.h"

#include <algorithm>
#include <cstring>

namespace ipcam {
namespace {

constexpr std::string_view kLineBreak = "\r\n";
// More hex digits than this cannot be a chunk we could ever read; it is a broken size.
constexpr std::size_t kChunkSizeDigits = 15;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "1a2b[ ][;extension...]": the size, or nothing when the line is not a chunk size.
std::optional<std::uint64_t> chunkSize(std::string_view line) {
  std::uint64_t size = 0;
  std::size_t digits = 0;
  while (digits < line.size() && hexDigit(line[digits]) >= 0) {
    size = size << 4 | static_cast<std::uint64_t>(hexDigit(line[digits]));
    if (++digits > kChunkSizeDigits) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  std::string_view rest = line.substr(digits);
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  if (!rest.empty() && rest.front() != ';') return std::nullopt;
  return size;
}

}  // namespace

// ---- MultipartBoundary -------------------------------------------------------------------

std::optional<MultipartBoundary> MultipartBoundary::fromContentType(std::string_view type) {
  if (!startsWithNoCase(type, "multipart/")) return std::nullopt;
  const auto skipSpace = [&type](std::size_t at) {
    while (at < type.size() && (type[at] == ' ' || type[at] == '\t')) ++at;
    return at;
  };
  // The parameters one by one, so that a quoted value of another one cannot pose as ours.
  std::size_t at = type.find(';');
  while (at != std::string_view::npos && at < type.size()) {
    at = skipSpace(at + 1);
    const std::size_t nameEnd = std::min(type.find_first_of("=;", at), type.size());
    std::string_view name = type.substr(at, nameEnd - at);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (nameEnd == type.size() || type[nameEnd] == ';') {
      at = nameEnd;
      continue;
    }
    at = skipSpace(nameEnd + 1);
    std::string value;
    if (at < type.size() && type[at] == '"') {
      for (++at; at < type.size() && type[at] != '"'; ++at) {
        if (type[at] == '\\' && at + 1 < type.size()) ++at;
        value += type[at];
      }
      at = type.find(';', at);
    } else {
      const std::size_t end = std::min(type.find_first_of("; \t", at), type.size());
      value = type.substr(at, end - at);
      at = type.find(';', at);
    }
    if (!equalsNoCase(name, "boundary")) continue;
    const std::size_t start = value.find_first_not_of('-');
    if (start == std::string::npos) return std::nullopt;
    return MultipartBoundary(value.substr(start));
  }
  return std::nullopt;
}

std::size_t MultipartBoundary::findIn(std::string_view text) const {
  for (std::size_t at = text.find(name_); at != std::string_view::npos;
       at = text.find(name_, at + 1)) {
    std::size_t dashes = 0;
    while (dashes < at && text[at - dashes - 1] == '-') ++dashes;
    const std::size_t lineStart = at - dashes;
    if (dashes >= 2 && lineStart >= kLineBreak.size() &&
        text.substr(lineStart - kLineBreak.size(), kLineBreak.size()) == kLineBreak) {
      return lineStart - kLineBreak.size();
    }
  }
  return std::string_view::npos;
}

std::size_t MultipartBoundary::partialAtEnd(std::string_view text) const {
  for (std::size_t at = text.rfind('\r'); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : text.rfind('\r', at - 1)) {
    std::string_view tail = text.substr(at + 1);
    if (tail.empty()) return at;
    if (tail.front() != '\n') continue;
    tail.remove_prefix(1);
    const std::size_t dashes = std::min(tail.find_first_not_of('-'), tail.size());
    tail.remove_prefix(dashes);
    if (tail.empty() || (dashes >= 2 && std::string_view(name_).starts_with(tail))) return at;
    // An earlier '\r' cannot begin a delimiter that would run through this line break.
    return std::string_view::npos;
  }
  return std::string_view::npos;
}

// ---- HttpStreamReader --------------------------------------------------------------------

void HttpStreamReader::attach(int fd) {
  fd_ = fd;
  // The buffer is made for the first connection, not for a channel that is never opened.
  if (fd >= 0 && raw_.empty()) raw_.resize(kBufferSize);
  rawBegin_ = rawEnd_ = bodyBegin_ = bodyEnd_ = 0;
  drained_ = false;
  setChunked(false);
}

void HttpStreamReader::setChunked(bool chunked) {
  chunked_ = chunked;
  chunkState_ = ChunkState::Size;
  chunkLeft_ = 0;
  if (chunked && body_.empty()) body_.resize(kBufferSize);
}

std::span<const std::uint8_t> HttpStreamReader::buffered() const {
  if (chunked_) return std::span(body_).subspan(bodyBegin_, bodyEnd_ - bodyBegin_);
  return std::span(raw_).subspan(rawBegin_, rawAvailable());
}

void HttpStreamReader::consume(std::size_t count) {
  count = std::min(count, buffered().size());
  (chunked_ ? bodyBegin_ : rawBegin_) += count;
}

long HttpStreamReader::receive(std::uint8_t* data, std::size_t size, const IoLimits& limits) {
  if (fd_ < 0) return -1;
  // A live stream is read faster than the camera sends it: once a receive has emptied the
  // socket, the next one would mostly find nothing, so wait for the camera first.
  if (drained_ && !waitUntilReadable(fd_, limits)) return -1;
  const ssize_t got = receiveSome(fd_, data, size, limits, &receiveCalls_);
  drained_ = got > 0 && static_cast<std::size_t>(got) < size;
  return got;
}

long HttpStreamReader::fillRaw(const IoLimits& limits) {
  if (fd_ < 0) return -1;
  if (rawBegin_ == rawEnd_) {
    rawBegin_ = rawEnd_ = 0;
  } else if (rawBegin_ > 0) {
    std::memmove(raw_.data(), raw_.data() + rawBegin_, rawAvailable());
    rawEnd_ -= rawBegin_;
    rawBegin_ = 0;
  }
  if (rawEnd_ == raw_.size()) return -1;
  const long got = receive(raw_.data() + rawEnd_, raw_.size() - rawEnd_, limits);
  if (got > 0) rawEnd_ += static_cast<std::size_t>(got);
  return got;
}

int HttpStreamReader::readAnswerHeader(std::size_t limit, const IoLimits& limits,
                                       std::string& header) {
  limit = std::min(limit, kBufferSize);
  for (;;) {
    const std::string_view text =
        textOf(std::span(raw_).subspan(rawBegin_, std::min(rawAvailable(), limit)));
    if (const std::size_t end = text.find("\r\n\r\n"); end != std::string_view::npos) {
      header.assign(text.substr(0, end + 4));
      rawBegin_ += end + 4;
      return 0;
    }
    header.assign(text);
    if (text.size() >= limit) return kTooLong;
    const long got = fillRaw(limits);
    if (got == 0) return kClosed;
    if (got < 0) return kFailed;
  }
}

int HttpStreamReader::takeLine(const IoLimits& limits, std::string& line) {
  for (;;) {
    const std::string_view text = textOf(std::span(raw_).subspan(rawBegin_, rawAvailable()));
    if (const std::size_t end = text.find('\n'); end != std::string_view::npos) {
      if (end > kLineLimit) return kBadCoding;
      line.assign(text.substr(0, end));
      if (line.ends_with('\r')) line.pop_back();
      rawBegin_ += end + 1;
      return 0;
    }
    if (text.size() > kLineLimit) return kBadCoding;
    const long got = fillRaw(limits);
    if (got == 0) return kClosed;
    if (got < 0) return kFailed;
  }
}

int HttpStreamReader::pullChunked(const IoLimits& limits) {
  std::string line;
  for (;;) {
    switch (chunkState_) {
      case ChunkState::Size: {
        if (const int result = takeLine(limits, line); result != 0) return result;
        const std::optional<std::uint64_t> size = chunkSize(line);
        if (!size) return kBadCoding;
        chunkLeft_ = *size;
        chunkState_ = *size == 0 ? ChunkState::Trailer : ChunkState::Data;
        break;
      }
      case ChunkState::Data: {
        if (chunkLeft_ == 0) {
          chunkState_ = ChunkState::DataEnd;
          break;
        }
        if (rawAvailable() == 0) {
          const long got = fillRaw(limits);
          if (got == 0) return kClosed;
          if (got < 0) return kFailed;
        }
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(chunkLeft_, std::min(rawAvailable(), body_.size() - bodyEnd_)));
        std::memcpy(body_.data() + bodyEnd_, raw_.data() + rawBegin_, count);
        rawBegin_ += count;
        bodyEnd_ += count;
        chunkLeft_ -= count;
        return static_cast<int>(count);
      }
      case ChunkState::DataEnd:
        if (const int result = takeLine(limits, line); result != 0) return result;
        if (!line.empty()) return kBadCoding;
        chunkState_ = ChunkState::Size;
        break;
      case ChunkState::Trailer:
        // Trailer fields carry nothing a picture or an audio block needs.
        if (const int result = takeLine(limits, line); result != 0) return result;
        if (line.empty()) chunkState_ = ChunkState::Done;
        break;
      case ChunkState::Done:
        return kClosed;
    }
  }
}

int HttpStreamReader::pullBody(const IoLimits& limits) {
  if (!chunked_) {
    // A reader that was never attached has no buffer: that is a failed receive, not a full one.
    if (!raw_.empty() && rawAvailable() == raw_.size()) return kTooLong;
    const long got = fillRaw(limits);
    if (got == 0) return kClosed;
    if (got < 0) return kFailed;
    return static_cast<int>(got);
  }
  if (bodyBegin_ > 0) {
    std::memmove(body_.data(), body_.data() + bodyBegin_, bodyEnd_ - bodyBegin_);
    bodyEnd_ -= bodyBegin_;
    bodyBegin_ = 0;
  }
  if (bodyEnd_ == body_.size()) return kTooLong;
  return pullChunked(limits);
}

int HttpStreamReader::fill(std::size_t count, const IoLimits& limits) {
  count = std::min(count, kBufferSize);
  while (buffered().size() < count) {
    const int got = pullBody(limits);
    if (got < 0) return got;
  }
  return 0;
}

int HttpStreamReader::readUntil(std::string_view terminator, std::size_t limit,
                                const IoLimits& limits, std::string& text) {
  limit = std::min(limit, kBufferSize);
  for (;;) {
    const std::string_view body = bodyText().substr(0, limit);
    if (const std::size_t end = body.find(terminator); end != std::string_view::npos) {
      text.assign(body.substr(0, end + terminator.size()));
      consume(end + terminator.size());
      return 0;
    }
    text.assign(body);
    if (body.size() >= limit) return kTooLong;
    const int got = pullBody(limits);
    if (got < 0) return got;
  }
}

int HttpStreamReader::readExactly(std::span<std::uint8_t> out, const IoLimits& limits) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t missing = out.size() - done;
    if (buffered().empty()) {
      if (!chunked_ && missing >= kBufferSize) {
        // What could not go through the buffer in one receive anyway goes from the socket
        // straight into the caller's buffer; a smaller rest is received with whatever follows
        // it, so the next header or packet costs no receive of its own.
        const long got = receive(out.data() + done, missing, limits);
        if (got == 0) return kClosed;
        if (got < 0) return kFailed;
        done += static_cast<std::size_t>(got);
        continue;
      }
      const int got = pullBody(limits);
      if (got < 0) return got;
    }
    const std::span<const std::uint8_t> body = buffered();
    const std::size_t count = std::min(body.size(), missing);
    std::memcpy(out.data() + done, body.data(), count);
    consume(count);
    done += count;
  }
  return 0;
}

int HttpStreamReader::skip(std::size_t count, const IoLimits& limits) {
  while (count > 0) {
    if (buffered().empty()) {
      const int got = pullBody(limits);
      if (got < 0) return got;
    }
    const std::size_t taken = std::min(buffered().size(), count);
    consume(taken);
    count -= taken;
  }
  return 0;
}

int HttpStreamReader::readUntilBoundary(const MultipartBoundary& boundary,
                                        std::span<std::uint8_t> out, const IoLimits& limits,
                                        std::size_t& used) {
  used = 0;
  bool overflow = false;
  for (;;) {
    const std::string_view body = bodyText();
    const std::size_t delimiter = boundary.findIn(body);
    // What may be taken now: up to the delimiter, or all but a delimiter's beginning.
    std::size_t take = delimiter;
    if (take == std::string_view::npos) {
      take = boundary.partialAtEnd(body);
      if (take == std::string_view::npos) take = body.size();
    }
    if (!overflow && take > out.size() - used) overflow = true;
    if (!overflow) {
      std::memcpy(out.data() + used, body.data(), take);
      used += take;
    }
    consume(take);
    if (delimiter != std::string_view::npos) return overflow ? kTooLong : 0;
    const int got = pullBody(limits);
    if (got < 0) return got;
  }
}

int exchangeThrough(HttpStreamReader& reader, int fd, std::string_view request, std::size_t limit,
                    std::string_view expected, const IoLimits& limits, std::string& answer) {
  answer.clear();
  std::size_t unused = 0;
  const int sent = exchangeWithin(fd, bytesOf(request), {}, {}, {}, limits, unused);
  if (sent < 0) return sent;
  if (const int result = reader.readAnswerHeader(limit, limits, answer); result < 0) return result;
  if (expected.empty()) return static_cast<int>(answer.size());
  const std::size_t offset = answer.find(expected);
  return offset == std::string::npos ? -7 : static_cast<int>(offset);
}

}  // namespace ipcam
