// Every shipped language file against English: complete, well-formed and really translated.
// One failure lists every problem of every file, so a translator sees all of them at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/multi_language.h"
#include "platform/profile_file.h"
#include "platform/text_encoding.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

// More values than this left as in English means the file was not translated.
constexpr int kMaxUntranslated = 12;
constexpr std::size_t kReadUnits = 4096;

// Values that stand the same in every language: names of formats and protocols, and words the
// languages took over from English.
constexpr std::array<std::string_view, 13> kSameEverywhere = {
    "M-JPEG", "MJPEG", "MPEG-4", "H.264", "SMTP", "POP3", "SSL",
    "TLS",    "OK",    "E-Mail", "Email", "IP",   "MB"};

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "" when the bytes are UTF-8 (with or without its mark) or UTF-16LE with its mark.
std::string encodingProblem(const std::string& bytes) {
  if (bytes.starts_with("\xff\xfe")) {
    return bytes.size() % 2 == 0 ? "" : "UTF-16LE file of odd length";
  }
  if (bytes.starts_with("\xfe\xff")) return "UTF-16 big-endian (UTF-8 or UTF-16LE wanted)";
  return platform::sanitizeUtf8(bytes) == bytes ? "" : "not valid UTF-8";
}

// The printf-style conversions in order ("%d", "%s", "%02d"); "%%" is a plain percent sign.
std::vector<std::string> formatSpecifiers(std::string_view text) {
  std::vector<std::string> found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < text.size() &&
           std::string_view("-+ #0123456789.lh").find(text[end]) != std::string_view::npos) {
      ++end;
    }
    if (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) {
      found.emplace_back(text.substr(i, end - i + 1));
      i = end;
    }
  }
  return found;
}

// Menu accelerators: a single '&'; "&&" is a literal ampersand.
int accelerators(std::string_view text) {
  int count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (i + 1 < text.size() && text[i + 1] == '&') {
      ++i;
    } else {
      ++count;
    }
  }
  return count;
}

// Written line breaks ("\n", "\r") in a value.
int lineBreakEscapes(std::string_view text) {
  int count = 0;
  for (std::size_t at = text.find('\\'); at != std::string_view::npos && at + 1 < text.size();
       at = text.find('\\', at + 2)) {
    if (text[at + 1] == 'n' || text[at + 1] == 'r') ++count;
  }
  return count;
}

bool sameInEveryLanguage(std::string_view value) {
  const bool noLetters = std::ranges::none_of(value, [](char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 ||
           static_cast<unsigned char>(c) >= 0x80;
  });
  return noLetters || std::ranges::find(kSameEverywhere, value) != kSameEverywhere.end();
}

std::string fileName(std::string_view tableName) {
  std::string name(tableName);
  std::ranges::replace(name, '\\', '/');
  return name;
}

// The problems of one language file, each on its own line.
std::string checkLanguageFile(const fs::path& folder, std::string_view tableName,
                              const platform::ProfileFile& english) {
  const bool isTranslation = tableName != CMultiLanguage::languageFileTable().front().file;
  const fs::path file = folder / fileName(tableName);
  if (!fs::is_regular_file(file)) return "  missing file\n";
  std::ostringstream problems;
  if (const std::string problem = encodingProblem(readBytes(file)); !problem.empty()) {
    problems << "  " << problem << "\n";
  }
  const auto translated = platform::ProfileFile::load(file);
  std::vector<std::string> leftInEnglish;
  for (const LanguageTextKey& text : CMultiLanguage::interfaceTextKeys()) {
    const std::string where = "  [" + std::string(text.section) + "] " + std::string(text.key);
    const std::string value = translated.getString(text.section, text.key, "", kReadUnits);
    const std::string original = english.getString(text.section, text.key, "", kReadUnits);
    if (value.empty()) {
      problems << where << ": " << (translated.hasKey(text.section, text.key) ? "empty" : "missing")
               << "\n";
      continue;
    }
    if (formatSpecifiers(value) != formatSpecifiers(original)) {
      problems << where << ": format specifiers differ from English (\"" << original << "\")\n";
    }
    if (accelerators(value) != accelerators(original)) {
      problems << where << ": '&' accelerators differ from English\n";
    }
    if (lineBreakEscapes(value) != lineBreakEscapes(original)) {
      problems << where << ": line breaks differ from English\n";
    }
    if (isTranslation && value == original && !sameInEveryLanguage(value))
      leftInEnglish.push_back(text.key.data());
  }
  if (std::ssize(leftInEnglish) > kMaxUntranslated) {
    problems << "  " << leftInEnglish.size() << " values left in English (at most "
             << kMaxUntranslated << "), e.g. " << leftInEnglish.front() << "\n";
  }
  return problems.str();
}

TEST(LanguageFilesShipped, EveryLanguageIsCompleteWellFormedAndTranslated) {
  const fs::path folder = IPCAM_RESOURCE_DIR;
  const auto english = platform::ProfileFile::load(folder / "ini/English.ini");

  std::vector<std::string_view> names;
  for (const LanguageFileRow& row : CMultiLanguage::languageFileTable()) {
    if (!row.file.empty() && std::ranges::find(names, row.file) == names.end()) {
      names.push_back(row.file);
    }
  }
  // The table and the folder agree: no language file is shipped that nothing can reach, and
  // none is reached that is not shipped.
  std::set<std::string> shipped;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder / "ini")) {
    const std::string file = entry.path().filename().string();
    if (entry.path().extension() == ".ini" && file != "Language.ini") shipped.insert("ini/" + file);
  }
  std::set<std::string> named;
  for (const std::string_view name : names) named.insert(fileName(name));
  EXPECT_EQ(named, shipped);

  std::string report;
  for (const std::string_view name : names) {
    const std::string problems = checkLanguageFile(folder, name, english);
    if (!problems.empty()) report += fileName(name) + ":\n" + problems;
  }
  EXPECT_TRUE(report.empty()) << report;
}

// The checks above must themselves catch what they are there for.
TEST(LanguageFilesShipped, ChecksCatchBrokenTranslations) {
  const struct {
    std::string_view translated;
    std::string_view english;
    bool formatsMatch;
    bool acceleratorsMatch;
    bool breaksMatch;
  } cases[] = {
      {"Kamera %d: %s", "Camera %d: %s", true, true, true},
      {"Kamera %s: %d", "Camera %d: %s", false, true, true},
      {"Kamera: %s", "Camera %d: %s", false, true, true},
      {"100%% voll %02d", "100%% full %02d", true, true, true},
      {"&Datei", "&File", true, true, true},
      {"Datei", "&File", true, false, true},
      {"A && B", "A && B", true, true, true},
      {"Zeile\\nzwei", "Line\\ntwo", true, true, true},
      {"Zeile zwei", "Line\\ntwo", true, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatSpecifiers(c.translated) == formatSpecifiers(c.english), c.formatsMatch)
        << c.translated;
    EXPECT_EQ(accelerators(c.translated) == accelerators(c.english), c.acceleratorsMatch)
        << c.translated;
    EXPECT_EQ(lineBreakEscapes(c.translated) == lineBreakEscapes(c.english), c.breaksMatch)
        << c.translated;
  }
  EXPECT_EQ(encodingProblem("Gr\xc3\xbc\xc3\x9f"
                            "e"),
            "");
  EXPECT_NE(encodingProblem("Gr\xfc\xdf"
                            "e"),
            "");  // Latin-1, not UTF-8
  EXPECT_EQ(encodingProblem(std::string("\xff\xfeH\0i\0", 6)), "");
  EXPECT_TRUE(sameInEveryLanguage("MPEG-4"));
  EXPECT_TRUE(sameInEveryLanguage("1 - 16"));
  EXPECT_FALSE(sameInEveryLanguage("No signal"));
}

}  // namespace
}  // namespace ipcam
