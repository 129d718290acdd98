#include "core/multi_language.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "platform/profile_file.h"
#include "platform/text_encoding.h"
#include "support/test_environment.h"

namespace ipcam {
namespace {

using namespace std::string_literals;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

std::string_view fileOfLangId(std::uint16_t langId) {
  for (const LanguageFileRow& row : CMultiLanguage::languageFileTable()) {
    if (row.langId == langId) return row.file;
  }
  return "(none)";
}

// A language file in which every listed key has the value `value`.
std::string languageFileWithAll(std::string_view value) {
  std::string file;
  std::string_view section;
  for (const LanguageTextKey& text : CMultiLanguage::interfaceTextKeys()) {
    if (text.section != section) {
      section = text.section;
      file += "[" + std::string(section) + "]\r\n";
    }
    file += std::string(text.key) + "=" + std::string(value) + "\r\n";
  }
  return file;
}

TEST(MultiLanguageTables, LanguageFileTableCoversEveryFamily) {
  const auto rows = CMultiLanguage::languageFileTable();
  ASSERT_GE(rows.size(), 3u) << "English first, the end mark last, languages between";
  EXPECT_EQ(rows.front().langId, 0);
  EXPECT_EQ(rows.front().file, "ini\\English.ini");
  EXPECT_EQ(rows.back().langId, 0);
  EXPECT_EQ(rows.back().file, "");

  std::set<std::uint16_t> ids;
  std::set<std::string_view> files;
  for (const LanguageFileRow& row : rows.subspan(1, rows.size() - 2)) {
    EXPECT_TRUE(ids.insert(row.langId).second) << "LANGID twice: " << row.langId;
    files.insert(row.file);
  }
  // Every language the combo offers is reached by its LANGID, so the files the table names
  // are the ones the combo can choose (which files are shipped: LanguageFilesShipped).
  const auto combo = CMultiLanguage::comboTable();
  for (std::size_t i = 1; i < combo.size(); ++i) {
    EXPECT_TRUE(files.contains(CMultiLanguage::fileForComboIndex(static_cast<int>(i))))
        << combo[i].displayNameKey << " is reached by no LANGID";
  }

  const struct {
    std::uint16_t langId;
    std::string_view file;
  } cases[] = {
      {1031, "ini\\German.ini"},     {2055, "ini\\German.ini"},   {5127, "ini\\German.ini"},
      {1034, "ini\\Spanish.ini"},    {2058, "ini\\Spanish.ini"},  {20490, "ini\\Spanish.ini"},
      {1028, "ini\\Tradchin.ini"},   {3076, "ini\\Tradchin.ini"}, {4100, "ini\\Tradchin.ini"},
      {2052, "ini\\Simpchin.ini"},   {1042, "ini\\Korean.ini"},   {2066, "ini\\Korean.ini"},
      {2070, "ini\\Portuguese.ini"}, {1062, "ini\\Lativan.ini"},  {1024, "ini\\English.ini"},
      {1025, "ini\\English.ini"},    {16385, "ini\\English.ini"}, {11273, "ini\\English.ini"},
      {3098, "ini\\English.ini"},    {1080, "ini\\English.ini"},  {21514, "(none)"},
  };
  for (const auto& c : cases) EXPECT_EQ(fileOfLangId(c.langId), c.file) << c.langId;
}

TEST(MultiLanguageTables, StartupChoiceOfSystemLanguage) {
  const struct {
    std::uint16_t langId;
    int index;
  } cases[] = {
      {2057, 0},  {3081, 0},  {1033, 0},  {1042, 0},   {2066, 0},  {0, 0},
      {21514, 0}, {3082, 13}, {1034, 13}, {20490, 13}, {1046, 12}, {2070, 12},
      {1055, 24}, {1060, 25}, {1049, 1},  {5132, 2},   {2067, 6},  {5127, 8},
      {4100, 15}, {2052, 16}, {2068, 20}, {2077, 21},  {1041, 23},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CMultiLanguage::comboIndexForLangId(c.langId), c.index) << c.langId;
  }
}

// The start-up choice and the file table must agree on every language that has a file,
// Korean being the one language that starts in English.
TEST(MultiLanguageTables, StartupChoiceAgreesWithFileTable) {
  for (const LanguageFileRow& row : CMultiLanguage::languageFileTable()) {
    if (row.file.empty()) continue;
    const std::string chosen =
        CMultiLanguage::fileForComboIndex(CMultiLanguage::comboIndexForLangId(row.langId));
    if (row.file == "ini\\Korean.ini") {
      EXPECT_EQ(chosen, "ini\\English.ini") << row.langId;
    } else {
      EXPECT_EQ(chosen, row.file) << row.langId;
    }
  }
}

TEST(MultiLanguageTables, FileForComboIndex) {
  const struct {
    int index;
    std::string_view file;
  } cases[] = {
      {0, "ini\\English.ini"},     {1, "ini\\Russian.ini"},   {5, "ini\\Lativan.ini"},
      {12, "ini\\Portuguese.ini"}, {13, "ini\\Spanish.ini"},  {15, "ini\\Tradchin.ini"},
      {16, "ini\\Simpchin.ini"},   {23, "ini\\Japanese.ini"}, {24, "ini\\Turkish.ini"},
      {25, "ini\\Slovenian.ini"},  {-1, "ini\\English.ini"},  {26, "ini\\English.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(CMultiLanguage::fileForComboIndex(c.index), c.file);
}

TEST(MultiLanguageTables, TileTextForStatus) {
  EXPECT_EQ(CMultiLanguage::tileTextKeyForStatus(5), "Message_NoSignal");
  EXPECT_EQ(CMultiLanguage::tileTextKeyForStatus(10), "Message_Connecting");
  EXPECT_EQ(CMultiLanguage::tileTextKeyForStatus(20), "Message_Disconnected");
  for (const int status : {0, 30, 35, -1}) {
    EXPECT_FALSE(CMultiLanguage::tileTextKeyForStatus(status).has_value()) << status;
  }
}

TEST(MultiLanguageLocale, LocaleToLangId) {
  const struct {
    const char* locale;
    std::uint16_t langId;
  } cases[] = {
      {"de_DE", 1031},       {"de_DE.UTF-8", 1031},   {"de_DE@euro", 1031},
      {"de_AT.UTF-8", 3079}, {"de_BE.UTF-8", 1031},   {"de", 1031},
      {"es_MX.UTF-8", 2058}, {"es_ES", 3082},         {"es_US.UTF-8", 1034},
      {"zh_TW.UTF-8", 1028}, {"zh_CN.GB18030", 2052}, {"zh_HK", 3076},
      {"en_GB.UTF-8", 2057}, {"en_AU", 3081},         {"en_US.UTF-8", 1033},
      {"pt_BR", 1046},       {"pt_PT", 2070},         {"ko_KR.EUC-KR", 1042},
      {"nb_NO.UTF-8", 1044}, {"no_NO", 1044},         {"nn_NO", 2068},
      {"sr_RS", 10266},      {"sr_RS@latin", 9242},   {"sr", 3098},
      {"tr_TR.UTF-8", 1055}, {"sl_SI", 1060},         {"ar_EG", 3073},
      {"DE_de", 1031},       {"fr-CA", 3084},         {"C", 1033},
      {"C.UTF-8", 1033},     {"POSIX", 1033},         {"", 1033},
      {"xx_YY", 1033},       {"garbage!!", 1033},     {"_DE", 1033},
      {"\xff\xfe", 1033},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CMultiLanguage::langIdForLocale(c.locale), c.langId) << c.locale;
  }
}

TEST(MultiLanguageLocale, FirstNonEmptyOfLcAllLcMessagesLang) {
  {
    ScopedEnv all("LC_ALL", "");
    ScopedEnv messages("LC_MESSAGES", "de_AT.UTF-8");
    ScopedEnv lang("LANG", "fr_FR.UTF-8");
    EXPECT_EQ(CMultiLanguage::systemLangId(), 3079);
  }
  {
    ScopedEnv all("LC_ALL", "es_MX.UTF-8");
    ScopedEnv messages("LC_MESSAGES", "de_AT.UTF-8");
    EXPECT_EQ(CMultiLanguage::systemLangId(), 2058);
  }
  {
    ScopedEnv all("LC_ALL", std::nullopt);
    ScopedEnv messages("LC_MESSAGES", std::nullopt);
    ScopedEnv lang("LANG", std::nullopt);
    EXPECT_EQ(CMultiLanguage::systemLangId(), 1033);
  }
}

class MultiLanguageFiles : public ::testing::Test {
 protected:
  TempFolder folder_;
  CMultiLanguage language_{folder_.path()};
};

TEST_F(MultiLanguageFiles, ComboChoiceReadsItsFileFromTheResourceFolder) {
  folder_.write("ini/Portuguese.ini", "[ViewerElement]\r\nMessage_NoSignal=Sem sinal\r\n");
  folder_.write("ini/Turkish.ini", "[ViewerElement]\nMessage_NoSignal=Sinyal yok\n");
  folder_.write("ini/English.ini", "[ViewerElement]\nMessage_NoSignal=No signal\n");

  language_.applyComboIndex(12);
  EXPECT_EQ(language_.currentFile(), folder_.path() / "ini/Portuguese.ini");
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "Sem sinal");

  // The two entries named by file are not left to the working directory either.
  language_.applyComboIndex(24);
  EXPECT_EQ(language_.currentFile(), folder_.path() / "ini/Turkish.ini");
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "Sinyal yok");

  EXPECT_EQ(language_.selectBySystemLangId(1042), 0);
  EXPECT_EQ(language_.currentFile(), folder_.path() / "ini/English.ini");
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "No signal");
}

TEST_F(MultiLanguageFiles, MissesAndMissingKeys) {
  folder_.write("ini/English.ini",
                "[viewerelement]\r\n"
                "MESSAGE_CONNECTING=Connecting...\r\n"
                "Message_Extra=not in the list\r\n"
                "[Combo_Language]\r\n"
                "Language_English=English\r\n");
  folder_.write("ini/Language.ini", "[combo_language]\r\nlanguage_english=English\r\n");
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "No Value Found")
      << "nothing loaded yet";

  language_.applyComboIndex(0);
  language_.loadLanguageNames();

  // The file is matched as a profile (any case), the table as a table (exact).
  EXPECT_EQ(language_.text("ViewerElement", "Message_Connecting"), "Connecting...");
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "") << "listed but missing";
  const struct {
    const char* section;
    const char* key;
  } misses[] = {
      {"ViewerElement", "message_connecting"}, {"viewerelement", "Message_Connecting"},
      {"TarsilDlg", "Message_Connecting"},     {"ViewerElement", "Message_Extra"},
      {"Combo_Language", "Language_English"},  {"", ""},
  };
  for (const auto& miss : misses) {
    EXPECT_EQ(language_.text(miss.section, miss.key), "No Value Found") << miss.key;
  }
  EXPECT_EQ(language_.readValue("ViewerElement", "Message_Extra"), "not in the list");
  EXPECT_EQ(language_.readValue("ViewerElement", "Message_Absent"), "");

  EXPECT_EQ(language_.languageName("Combo_Language", "Language_English"), "English");
  EXPECT_EQ(language_.languageName("Combo_Language", "Language_Russian"), "");
  EXPECT_EQ(language_.languageName("combo_language", "Language_English"),
            "No Language Value Found");
  EXPECT_EQ(language_.languageName("Combo_Language", "Language_Klingon"),
            "No Language Value Found");
}

TEST_F(MultiLanguageFiles, MissingFilesGiveEmptyTexts) {
  language_.applyComboIndex(3);
  language_.loadLanguageNames();
  for (const LanguageTextKey& text : CMultiLanguage::interfaceTextKeys()) {
    ASSERT_EQ(language_.text(text.section, text.key), "") << text.key;
  }
  EXPECT_EQ(language_.comboDisplayNames(), std::vector<std::string>(26));
}

TEST_F(MultiLanguageFiles, LongValuesAreCut) {
  const std::string longText(600, 'x');
  std::string pairs;  // 300 characters outside the BMP: 600 UTF-16 units
  for (int i = 0; i < 300; ++i) pairs += "\xF0\x9F\x93\xB7";
  folder_.write("ini/English.ini",
                "[ErrorMessage]\nPath_Error=" + longText + "\nBmp_Error=" + pairs + "\n");
  folder_.write("ini/Language.ini", "[Combo_Language]\nLanguage_Czech=" + longText + "\n");
  language_.applyComboIndex(0);
  language_.loadLanguageNames();

  EXPECT_EQ(language_.text("ErrorMessage", "Path_Error"), longText.substr(0, 511));
  EXPECT_EQ(language_.readValue("ErrorMessage", "Path_Error"), longText.substr(0, 511));
  EXPECT_EQ(language_.text("ErrorMessage", "Bmp_Error"), pairs.substr(0, 255 * 4))
      << "a surrogate pair is never split";
  EXPECT_EQ(language_.languageName("Combo_Language", "Language_Czech"), longText.substr(0, 511));
}

TEST_F(MultiLanguageFiles, OddFilesLoadWhatTheyCan) {
  // UTF-16LE with its mark, as the old translators' files are.
  folder_.write("ini/English.ini",
                "\xFF\xFE" + platform::encodeUtf16LE(platform::utf8ToUtf16(
                                 "[ViewerElement]\r\nMessage_NoSignal=Kein Signal\r\n")));
  language_.applyComboIndex(0);
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "Kein Signal");

  const std::string junk[] = {
      "\xFF\xFE[\x00V"s,                                       // odd byte count
      "\x00\x01\x02[ViewerElement]\x00\xFF\r\n=\r\n==\r\n["s,  // binary
      "[ViewerElement\r\nMessage_NoSignal\r\n[]\r\n=No key\r\n" + std::string(100000, '['),
      "[ViewerElement]\r\nMessage_NoSignal=\xC3\x28 bad UTF-8\r\n",
  };
  for (const std::string& bytes : junk) {
    folder_.write("ini/English.ini", bytes);
    language_.applyComboIndex(0);
    for (const LanguageTextKey& text : CMultiLanguage::interfaceTextKeys()) {
      ASSERT_NE(language_.text(text.section, text.key), "No Value Found");
    }
  }
  EXPECT_EQ(language_.text("ViewerElement", "Message_NoSignal"), "\xEF\xBF\xBD( bad UTF-8");
}

// Worker threads look texts up while the user switches languages; a lookup must always see
// one whole table or the other.
TEST_F(MultiLanguageFiles, LookupsDuringReloadsSeeWholeTables) {
  folder_.write("ini/English.ini", languageFileWithAll("one"));
  folder_.write("ini/French.ini", languageFileWithAll("two"));
  language_.applyComboIndex(0);

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<int> lookups{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string value = language_.text("ErrorMessage", "Bmp_Error");
      if (value != "one" && value != "two") bad.fetch_add(1);
      const auto file = language_.currentFile().filename();
      if (file != "English.ini" && file != "French.ini") bad.fetch_add(1);
      lookups.fetch_add(1);
    }
  });
  while (lookups.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 40; ++i) language_.applyComboIndex(i % 2 == 0 ? 2 : 0);
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(MultiLanguageShipped, EnglishAndLanguageNamesAreComplete) {
  CMultiLanguage language(IPCAM_RESOURCE_DIR);
  language.applyComboIndex(0);
  language.loadLanguageNames();

  for (const LanguageTextKey& text : CMultiLanguage::interfaceTextKeys()) {
    EXPECT_NE(language.text(text.section, text.key), "") << text.section << "/" << text.key;
  }
  for (const LanguageTextKey& name : CMultiLanguage::languageNameKeys()) {
    EXPECT_NE(language.languageName(name.section, name.key), "") << name.key;
  }
  EXPECT_EQ(language.text("ViewerElement", "Message_NoSignal"), "No signal");

  // One name per entry, in the order whose index the settings file keeps.
  const std::vector<std::string> names = language.comboDisplayNames();
  ASSERT_EQ(names.size(), CMultiLanguage::comboTable().size());
  ASSERT_GT(names.size(), 25u);
  EXPECT_EQ(names[0], "English");
  EXPECT_EQ(names[15], "繁體中文");
  EXPECT_EQ(names[25], "Slovenščina");
}

}  // namespace
}  // namespace ipcam
