#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

// A (section, key) pair of a language file.
struct LanguageTextKey {
  std::string_view section;
  std::string_view key;
};

// One row of the language-file table: a Windows language identifier (LANGID) and the
// language file, relative to the resource folder, with '\' separators as the files are named.
struct LanguageFileRow {
  std::uint16_t langId;
  std::string_view file;
};

// One entry of the main window's language combo box. Entries 24 and 25 name their file
// directly; the others pick it through the language-file table by LANGID.
struct LanguageComboEntry {
  std::string_view displayNameKey;
  std::uint16_t langId;
  std::string_view file;
};

struct LanguageTextEntry {
  std::string section;
  std::string key;
  std::string value;
};

// Owner of the interface texts: the display names of the languages (ini/Language.ini) and
// the texts of the current language file. The UI thread loads and switches; any thread may
// look texts up at any time.
class CMultiLanguage {
 public:
  static constexpr std::size_t kBufferUnits = 512;  // values keep at most 511 UTF-16 units
  static constexpr int kComboCount = 26;
  static constexpr std::string_view kLanguageNamesFile = "ini\\Language.ini";
  static constexpr std::string_view kLanguageNamesSection = "Combo_Language";
  static constexpr std::string_view kNoValueFound = "No Value Found";
  static constexpr std::string_view kNoLanguageValueFound = "No Language Value Found";

  // Relative file names are resolved against `resourceFolder`.
  explicit CMultiLanguage(std::filesystem::path resourceFolder);
  // Relative file names are resolved against the program's resource folder as it is found at
  // each load (platform::resourceFolder(): IPCAM_RESOURCES, the build tree or the installed
  // share folder), never against the working directory.
  CMultiLanguage();
  CMultiLanguage(const CMultiLanguage&) = delete;
  CMultiLanguage& operator=(const CMultiLanguage&) = delete;

  // The process-wide instance over the program's resource folder. It is never destroyed, so
  // a worker thread abandoned at exit can still look texts up.
  static CMultiLanguage& instance();

  // The fixed tables.
  static std::span<const LanguageTextKey> languageNameKeys();   // 28, section Combo_Language
  static std::span<const LanguageTextKey> interfaceTextKeys();  // 189, in load order
  static std::span<const LanguageFileRow> languageFileTable();  // 108 rows
  static std::span<const LanguageComboEntry> comboTable();      // 26, in combo order

  // Language names.
  void loadLanguageNames();
  std::string languageName(std::string_view section, std::string_view key) const;
  std::vector<std::string> comboDisplayNames() const;

  // Language choice.
  static int comboIndexForLangId(std::uint16_t langId);
  static std::string fileForComboIndex(int index);
  void applyComboIndex(int index);
  int selectBySystemLangId(std::uint16_t langId);
  std::filesystem::path currentFile() const;

  // Interface texts.
  void reload();
  std::string text(std::string_view section, std::string_view key) const;
  std::string readValue(std::string_view section, std::string_view key) const;

  // The "ViewerElement" key of a tile's status text for a channel status code; nullopt
  // clears the tile's text.
  static std::optional<std::string> tileTextKeyForStatus(int status);

  // The user's locale as a Windows LANGID: "ll_CC.codeset@modifier"; a language without a
  // territory gives that language's default; "C", "POSIX", empty or unknown give 1033.
  static std::uint16_t langIdForLocale(std::string_view locale);
  // From LC_ALL, then LC_MESSAGES, then LANG: the first one set and not empty.
  static std::uint16_t systemLangId();

  std::filesystem::path resourceFolder() const;
  std::filesystem::path resolve(std::string_view relative) const;

 private:
  using Table = std::vector<LanguageTextEntry>;

  static std::string find(const std::shared_ptr<const Table>& table, std::string_view section,
                          std::string_view key, std::string_view missing);
  void reloadFrom(std::filesystem::path file);

  // Written once in the constructor; empty follows the platform's resource folder.
  const std::optional<std::filesystem::path> resourceFolder_;

  // Tables are built aside and swapped in whole; a reader copies the pointer under the lock
  // and searches its own snapshot, so it never sees a table being built.
  mutable std::mutex mutex_;
  std::shared_ptr<const Table> languageNames_;  // guarded by mutex_
  std::shared_ptr<const Table> texts_;          // guarded by mutex_
  std::filesystem::path currentFile_;           // guarded by mutex_
};

}  // namespace ipcam
