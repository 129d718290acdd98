#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ipcam::platform {

// Text encoding of a profile file on disk.
enum class ProfileEncoding {
  Utf8,      // no mark, or EF BB BF (kept on rewrite)
  Utf16LE,   // FF FE
  Utf16BE,   // FE FF (read; rewritten as UTF-16LE with FF FE)
};

// An ini ("private profile") file with the rules of the Windows profile functions:
//  - sections and keys match without regard to case (ASCII), the first match wins;
//  - a value runs from after the '=' to the end of its line, with blanks around it trimmed;
//  - the integer reader takes the leading decimal number (optional sign); a value that is
//    text reads as 0, a missing or empty value gives the default;
//  - the string reader cuts its result to a buffer of N UTF-16 units: at most N - 1 are kept,
//    never splitting a surrogate pair;
//  - the writer replaces a key's line in place and keeps every other line as it was; a new
//    key goes after the last entry of its section, a new section at the end of the file.
// Text is UTF-8 in memory. Garbage, odd byte counts, a wrong mark and enormous lines load as
// far as they can; nothing in a file can crash or stall the reader.
class ProfileFile {
 public:
  ProfileFile() = default;

  // Reads the file; a missing or unreadable file gives an empty profile (not an error).
  // Only the first kMaxFileBytes of an oversized file are looked at.
  static ProfileFile load(const std::filesystem::path& file);
  // Parses bytes as they would be on disk (mark detection included).
  static ProfileFile parse(std::string_view bytes);

  int getInt(std::string_view section, std::string_view key, int defaultValue) const;
  std::string getString(std::string_view section, std::string_view key,
                        std::string_view defaultValue, std::size_t bufferUnits) const;
  // True when the section holds the key (whatever its value).
  bool hasKey(std::string_view section, std::string_view key) const;

  // Sets a key, as WritePrivateProfileString does. Line breaks in the value would start new
  // lines in the file, so the value is cut at the first one.
  void writeString(std::string_view section, std::string_view key, std::string_view value);

  // Writes the whole file in its encoding (a new profile: the given one). Lines end in CR LF.
  // Returns false when the file cannot be written; the file on disk is replaced atomically
  // (written aside, then renamed over it).
  bool save(const std::filesystem::path& file) const;
  std::string serialize() const;

  ProfileEncoding encoding() const { return encoding_; }
  void setEncoding(ProfileEncoding encoding) { encoding_ = encoding; }

  static constexpr std::size_t kMaxFileBytes = 16u << 20;

 private:
  struct Line {
    std::string text;  // the line as it stands in the file, without its line break
    std::string key;   // for an entry: the trimmed key
    std::string value; // for an entry: the trimmed value
    bool isEntry = false;
  };
  // A section header and the lines up to the next header. The first section of a file has no
  // header: it holds whatever stands before the first "[...]" line and is never looked up.
  struct Section {
    std::string name;
    std::string headerText;
    bool hasHeader = false;
    std::vector<Line> lines;
    std::unordered_map<std::string, std::size_t> keys;  // folded key -> first entry line
  };

  const Line* find(std::string_view section, std::string_view key) const;
  Section& sectionFor(std::string_view name);
  void addLine(std::string text);

  std::vector<Section> sections_;
  std::unordered_map<std::string, std::size_t> sectionIndex_;  // folded name -> first section
  ProfileEncoding encoding_ = ProfileEncoding::Utf8;
  bool utf8Mark_ = false;
};

// Convenience wrappers that read or write one key of a file on disk, as the Windows calls do.
int profileGetInt(const std::filesystem::path& file, std::string_view section,
                  std::string_view key, int defaultValue);
std::string profileGetString(const std::filesystem::path& file, std::string_view section,
                             std::string_view key, std::string_view defaultValue,
                             std::size_t bufferUnits);
bool profileWriteString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value);

}  // namespace ipcam::platform
