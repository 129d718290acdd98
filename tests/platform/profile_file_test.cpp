#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/text_encoding.h"

namespace ipcam::platform {
namespace {

using namespace std::string_literals;

std::string utf16File(std::string_view utf8) {
  return std::string("\xFF\xFE") + encodeUtf16LE(utf8ToUtf16(utf8));
}

TEST(ProfileFile, ReadsWithWindowsRules) {
  const ProfileFile profile = ProfileFile::parse(
      "; comment line\r\n"
      "[General]\r\n"
      "  ScanTime = 7  \r\n"
      "FileSize=100MB\r\n"
      "Name=front door = main\r\n"
      "Text=abc\r\n"
      "Empty=\r\n"
      "Negative=-12\r\n"
      "Huge=99999999999999\r\n"
      "Dup=first\r\n"
      "dup=second\r\n"
      "[other]\n"
      "Key=unix line\n"
      "[GENERAL]\r\n"
      "Late=in a second block of the same section\r\n");

  struct IntCase {
    const char* section;
    const char* key;
    int expected;
  };
  for (const IntCase& c :
       {IntCase{"general", "scantime", 7}, IntCase{"General", "FileSize", 100},
        IntCase{"General", "Text", 0}, IntCase{"General", "Empty", 42},
        IntCase{"General", "Missing", 42}, IntCase{"Nowhere", "ScanTime", 42},
        IntCase{"General", "Negative", -12}, IntCase{"General", "Huge", 2147483647}}) {
    EXPECT_EQ(profile.getInt(c.section, c.key, 42), c.expected) << c.section << "/" << c.key;
  }
  EXPECT_EQ(profile.getString("General", "Name", "", 255), "front door = main");
  EXPECT_EQ(profile.getString("General", "Dup", "", 255), "first");
  EXPECT_EQ(profile.getString("OTHER", "key", "", 255), "unix line");
  EXPECT_EQ(profile.getString("General", "Missing", "fallback", 255), "fallback");
  EXPECT_EQ(profile.getString("General", "Empty", "fallback", 255), "");
  EXPECT_EQ(profile.getString("General", "Late", "-", 255), "-");
}

TEST(ProfileFile, StringReaderCutsToBufferWithoutSplittingCharacters) {
  const std::string longValue(300, 'x');
  const ProfileFile profile = ProfileFile::parse("[S]\nLong=" + longValue +
                                                 "\nWide=ab\xF0\x9F\x98\x80"
                                                 "cd\n");
  EXPECT_EQ(profile.getString("S", "Long", "", 255), std::string(254, 'x'));
  // The emoji takes two UTF-16 units: a buffer of 4 keeps "ab" only, 5 keeps it whole.
  EXPECT_EQ(profile.getString("S", "Wide", "", 4), "ab");
  EXPECT_EQ(profile.getString("S", "Wide", "", 5), "ab\xF0\x9F\x98\x80");
  EXPECT_EQ(profile.getString("S", "Wide", "", 0), "");
}

TEST(ProfileFile, DetectsEncodings) {
  const std::string text = "[Sec]\r\nKey=Grüße 日本\r\n";
  const std::string utf8Mark = "\xEF\xBB\xBF" + text;
  std::string utf16BE = "\xFE\xFF";
  for (const char16_t unit : utf8ToUtf16(text)) {
    utf16BE.push_back(static_cast<char>(unit >> 8));
    utf16BE.push_back(static_cast<char>(unit & 0xFF));
  }
  const std::string unmarkedUtf16 = encodeUtf16LE(utf8ToUtf16(text));
  for (const std::string& bytes : {text, utf8Mark, utf16File(text), utf16BE, unmarkedUtf16}) {
    EXPECT_EQ(ProfileFile::parse(bytes).getString("sec", "key", "", 255), "Grüße 日本");
  }
  EXPECT_EQ(ProfileFile::parse(utf16File(text)).encoding(), ProfileEncoding::Utf16LE);
  EXPECT_EQ(ProfileFile::parse(text).encoding(), ProfileEncoding::Utf8);
}

TEST(ProfileFile, SurvivesGarbage) {
  std::string garbage;
  for (int i = 0; i < 70000; ++i) garbage.push_back(static_cast<char>((i * 7919) % 251));
  // Odd byte count behind a UTF-16 mark, lone surrogates, NULs, a line of a megabyte.
  const std::string oddUtf16 = utf16File("[A]\r\nK=v\r\n") + "\x41";
  const std::string loneSurrogate = "\xFF\xFE[\0A\0]\0\n\0K\0=\0\x00\xD8v\0"s;
  const std::string hugeLine = "[A]\nK=" + std::string(1 << 20, 'q') + "\n";
  for (const std::string& bytes : {garbage, oddUtf16, loneSurrogate, hugeLine}) {
    const ProfileFile profile = ProfileFile::parse(bytes);
    EXPECT_LE(profile.getString("A", "K", "", 255).size(), 254u * 3);
    EXPECT_EQ(profile.getInt("Nope", "Nope", 5), 5);
  }
  EXPECT_EQ(ProfileFile::parse(oddUtf16).getString("A", "K", "", 255), "v");
  EXPECT_EQ(ProfileFile::parse(loneSurrogate).getString("A", "K", "", 255), "\xEF\xBF\xBDv");
}

// A crash can leave a file's first block zero-filled. Behind the zeros the mark is still a
// mark: read as text it hid the first section, the writer added a second one, and the
// rewritten file (zeros gone, mark in front) then read the first one, without the new value.
TEST(ProfileFile, ZeroFilledStartKeepsItsMarkAcrossARewrite) {
  const std::string bytes = std::string(64, '\0') + "\xEF\xBB\xBF[Setting]\r\nChannel=16\r\n";
  ProfileFile profile = ProfileFile::parse(bytes);
  EXPECT_EQ(profile.getInt("Setting", "Channel", 0), 16);
  profile.writeString("Setting", "Language", "1031");
  const std::string rewritten = profile.serialize();
  EXPECT_EQ(rewritten, "\xEF\xBB\xBF[Setting]\r\nChannel=16\r\nLanguage=1031\r\n");
  EXPECT_EQ(ProfileFile::parse(rewritten).getString("Setting", "Language", "", 260), "1031");
}

TEST(ProfileFile, WriterReplacesInPlaceAndKeepsOtherLines) {
  ProfileFile profile =
      ProfileFile::parse("; keep me\r\n[One]\r\nA=1\r\n  ; note\r\nB = 2\r\n\r\n[Two]\r\nC=3\r\n");
  profile.writeString("one", "b", "20");
  profile.writeString("One", "New", "x");
  profile.writeString("Three", "D", "line\r\ninjected=1");
  profile.writeString("Two", "C", "");
  EXPECT_EQ(profile.serialize(),
            "; keep me\r\n[One]\r\nA=1\r\n  ; note\r\nB=20\r\nNew=x\r\n\r\n[Two]\r\nC=\r\n"
            "[Three]\r\nD=line\r\n");
  EXPECT_EQ(profile.getString("One", "New", "", 255), "x");
  EXPECT_FALSE(profile.hasKey("Three", "injected"));
}

TEST(ProfileFile, SaveKeepsUtf16AndRoundTrips) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("profile_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "a.ini";
  {
    std::ofstream out(file, std::ios::binary);
    out << "\xFF\xFE";
  }
  ASSERT_TRUE(profileWriteString(file, "Camera0", "Name", "Tür"));
  ASSERT_TRUE(profileWriteString(file, "Camera0", "Port", "65535"));
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes, utf16File("[Camera0]\r\nName=Tür\r\nPort=65535\r\n"));
  EXPECT_EQ(profileGetInt(file, "camera0", "port", 0), 65535);
  EXPECT_EQ(profileGetString(file, "Camera0", "Name", "", 255), "Tür");
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  EXPECT_FALSE(profileWriteString(dir / "missing" / "b.ini", "S", "K", "v"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ipcam::platform
