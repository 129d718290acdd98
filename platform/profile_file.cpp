#include "platform/profile_file.h"

#include <algorithm>
#include <climits>
#include <fstream>

#include "platform/private_files.h"
#include "platform/text_encoding.h"

namespace ipcam::platform {
namespace {

constexpr std::string_view kUtf16LEMark = "\xFF\xFE";
constexpr std::string_view kUtf16BEMark = "\xFE\xFF";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

std::string_view trim(std::string_view text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Turns the file's bytes into UTF-8 text, remembering how they were encoded.
std::string decodeFile(std::string_view bytes, ProfileEncoding& encoding, bool& utf8Mark) {
  utf8Mark = false;
  if (bytes.starts_with(kUtf16LEMark)) {
    encoding = ProfileEncoding::Utf16LE;
    return utf16ToUtf8(decodeUtf16(bytes.substr(2), false));
  }
  if (bytes.starts_with(kUtf16BEMark)) {
    encoding = ProfileEncoding::Utf16BE;
    return utf16ToUtf8(decodeUtf16(bytes.substr(2), true));
  }
  if (bytes.starts_with(kUtf8Mark)) {
    encoding = ProfileEncoding::Utf8;
    utf8Mark = true;
    return sanitizeUtf8(bytes.substr(3));
  }
  // Wide text that lost its mark still shows itself by the zero high bytes of ASCII.
  if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    encoding = ProfileEncoding::Utf16LE;
    return utf16ToUtf8(decodeUtf16(bytes, false));
  }
  encoding = ProfileEncoding::Utf8;
  return sanitizeUtf8(bytes);
}

// The leading decimal number of a value, clamped to the range of int.
int leadingNumber(std::string_view value) {
  bool negative = false;
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  long long number = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') break;
    number = std::min<long long>(number * 10 + (c - '0'), 1LL << 32);
  }
  if (negative) number = -number;
  return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

}  // namespace

ProfileFile ProfileFile::load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return ProfileFile{};
  std::string bytes;
  char chunk[65536];
  while (bytes.size() < kMaxFileBytes && in) {
    in.read(chunk,
            static_cast<std::streamsize>(std::min(sizeof chunk, kMaxFileBytes - bytes.size())));
    bytes.append(chunk, static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  }
  return parse(bytes);
}

ProfileFile ProfileFile::parse(std::string_view bytes) {
  ProfileFile profile;
  const std::string text = decodeFile(bytes, profile.encoding_, profile.utf8Mark_);
  profile.sections_.emplace_back();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", pos);
    const std::size_t lineEnd = end == std::string::npos ? text.size() : end;
    std::string line = text.substr(pos, lineEnd - pos);
    std::erase(line, '\0');
    // A file whose start was zero-filled (as a crash can leave it) still begins with its mark
    // once the zeros are gone; read as text, the mark would hide the first section, and the
    // rewritten file, which has no zeros, would read differently.
    if (pos == 0 && profile.encoding_ == ProfileEncoding::Utf8 && !profile.utf8Mark_ &&
        line.starts_with(kUtf8Mark)) {
      line.erase(0, kUtf8Mark.size());
      profile.utf8Mark_ = true;
    }
    profile.addLine(std::move(line));
    if (end == std::string::npos) break;
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
  return profile;
}

void ProfileFile::addLine(std::string text) {
  const std::string_view trimmed = trim(text);
  if (trimmed.starts_with('[')) {
    Section section;
    std::string_view name = trimmed.substr(1);
    name = name.substr(0, name.find(']'));
    section.name = std::string(trim(name));
    section.headerText = std::move(text);
    section.hasHeader = true;
    sectionIndex_.try_emplace(fold(section.name), sections_.size());
    sections_.push_back(std::move(section));
    return;
  }
  Line line;
  const std::size_t equals = trimmed.find('=');
  if (equals != std::string_view::npos && !trimmed.starts_with(';')) {
    line.isEntry = true;
    line.key = std::string(trim(trimmed.substr(0, equals)));
    line.value = std::string(trim(trimmed.substr(equals + 1)));
  }
  line.text = std::move(text);
  Section& section = sections_.back();
  if (line.isEntry) section.keys.try_emplace(fold(line.key), section.lines.size());
  section.lines.push_back(std::move(line));
}

const ProfileFile::Line* ProfileFile::find(std::string_view section, std::string_view key) const {
  const auto sectionIt = sectionIndex_.find(fold(section));
  if (sectionIt == sectionIndex_.end()) return nullptr;
  const Section& found = sections_[sectionIt->second];
  const auto keyIt = found.keys.find(fold(key));
  return keyIt == found.keys.end() ? nullptr : &found.lines[keyIt->second];
}

bool ProfileFile::hasKey(std::string_view section, std::string_view key) const {
  return find(section, key) != nullptr;
}

int ProfileFile::getInt(std::string_view section, std::string_view key, int defaultValue) const {
  const Line* line = find(section, key);
  if (line == nullptr || line->value.empty()) return defaultValue;
  return leadingNumber(line->value);
}

std::string ProfileFile::getString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue, std::size_t bufferUnits) const {
  if (bufferUnits == 0) return {};
  const Line* line = find(section, key);
  return truncateToUtf16Units(line != nullptr ? std::string_view(line->value) : defaultValue,
                              bufferUnits - 1);
}

ProfileFile::Section& ProfileFile::sectionFor(std::string_view name) {
  if (sections_.empty()) sections_.emplace_back();
  const auto it = sectionIndex_.find(fold(name));
  if (it != sectionIndex_.end()) return sections_[it->second];
  addLine("[" + std::string(name) + "]");
  return sections_.back();
}

void ProfileFile::writeString(std::string_view section, std::string_view key,
                              std::string_view value) {
  const std::string clean = sanitizeUtf8(value.substr(0, value.find_first_of("\r\n")));
  Section& target = sectionFor(section);
  const auto it = target.keys.find(fold(key));
  if (it != target.keys.end()) {
    Line& line = target.lines[it->second];
    line.value = std::string(trim(clean));
    line.text = line.key + "=" + clean;
    return;
  }
  // A new key goes after the section's last entry, ahead of any blank or comment lines that
  // separate it from the next section.
  std::size_t insertAt = 0;
  for (std::size_t i = 0; i < target.lines.size(); ++i) {
    if (target.lines[i].isEntry) insertAt = i + 1;
  }
  Line line;
  line.isEntry = true;
  line.key = std::string(key);
  line.value = std::string(trim(clean));
  line.text = line.key + "=" + clean;
  target.lines.insert(target.lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                      std::move(line));
  target.keys.emplace(fold(key), insertAt);
}

std::string ProfileFile::serialize() const {
  std::string text;
  for (const Section& section : sections_) {
    if (section.hasHeader) text += section.headerText + "\r\n";
    for (const Line& line : section.lines) text += line.text + "\r\n";
  }
  switch (encoding_) {
    case ProfileEncoding::Utf16LE:
    case ProfileEncoding::Utf16BE:
      return std::string(kUtf16LEMark) + encodeUtf16LE(utf8ToUtf16(text));
    case ProfileEncoding::Utf8:
      break;
  }
  return utf8Mark_ ? std::string(kUtf8Mark) + text : text;
}

bool ProfileFile::save(const std::filesystem::path& file) const {
  // The file holds camera and mail passwords: only its owner may read it.
  return replaceFilePrivately(file, serialize(), true) == ReplaceResult::Written;
}

int profileGetInt(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  int defaultValue) {
  return ProfileFile::load(file).getInt(section, key, defaultValue);
}

std::string profileGetString(const std::filesystem::path& file, std::string_view section,
                             std::string_view key, std::string_view defaultValue,
                             std::size_t bufferUnits) {
  return ProfileFile::load(file).getString(section, key, defaultValue, bufferUnits);
}

bool profileWriteString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) {
  ProfileFile profile = ProfileFile::load(file);
  profile.writeString(section, key, value);
  return profile.save(file);
}

}  // namespace ipcam::platform
