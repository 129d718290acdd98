#include "platform/folders.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/test_environment.h"

namespace ipcam::platform {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempFolder;

fs::path passwordHome() {
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? fs::path(entry->pw_dir) : fs::path();
}

TEST(Folders, ApplicationDataFolderFollowsTheBaseDirectoryRules) {
  const std::optional<std::string> unset;
  const struct {
    const char* name;
    std::optional<std::string> configHome;
    std::optional<std::string> home;
    fs::path expected;
  } cases[] = {
      {"config home wins", "/cfg", "/home/u", "/cfg"},
      {"empty config home", "", "/home/u", "/home/u/.config"},
      {"relative config home is ignored", "cfg", "/home/u", "/home/u/.config"},
      {"no config home", unset, "/home/u", "/home/u/.config"},
      {"config home needs no HOME", "/cfg", unset, "/cfg"},
      {"no HOME: password database", unset, unset, passwordHome() / ".config"},
      {"empty HOME: password database", unset, "", passwordHome() / ".config"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv config("XDG_CONFIG_HOME", c.configHome);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(applicationDataFolder(), std::optional<fs::path>(c.expected));
  }
}

TEST(Folders, DocumentsFolderReadsUserDirs) {
  TempFolder config;
  ASSERT_FALSE(config.path().empty());
  ScopedEnv configHome("XDG_CONFIG_HOME", config.path().string());
  ScopedEnv home("HOME", "/home/u");

  const char* const noFile = nullptr;
  const struct {
    const char* content;
    fs::path expected;
  } cases[] = {
      {noFile, "/home/u/Documents"},
      {"# written by xdg-user-dirs-update\n"
       "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
       "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n"
       "XDG_MUSIC_DIR=\"$HOME/Music\"\n",
       "/home/u/Docs"},
      {"XDG_DOCUMENTS_DIR=\"/data/My Documents\"\n", "/data/My Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente \\\"alt\\\" \\\\ \\$x\"\r\n",
       "/home/u/Dokumente \"alt\" \\ $x"},
      {"XDG_DOCUMENTS_DIR=\"${HOME}/Braced\"\n", "/home/u/Braced"},
      {"XDG_DOCUMENTS_DIR=$HOME/Unquoted # trailing comment\n", "/home/u/Unquoted"},
      {"XDG_DOCUMENTS_DIR='$HOME/Single'\n", "/home/u/Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/\xD0\x94\xD0\xBE\xD0\xBA\"\n",
       "/home/u/\xD0\x94\xD0\xBE\xD0\xBA"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/First\"\nXDG_DOCUMENTS_DIR=\"$HOME/Second\"\n", "/home/u/Second"},
      // Set to the home folder itself: disabled.
      {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", "/home/u/Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOME\"\n", "/home/u/Documents"},
      {"#XDG_DOCUMENTS_DIR=\"$HOME/Commented\"\n", "/home/u/Documents"},
      {"XDG_DOCUMENTS_DIR=\"relative/Docs\"\n", "/home/u/Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOMEWORK/Docs\"\n", "/home/u/Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/Unbalanced\n", "/home/u/Documents"},
      {"XDG_DOCUMENTS_DIR=\"\"\n", "/home/u/Documents"},
  };
  const fs::path userDirs = config.path() / "user-dirs.dirs";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
    fs::remove(userDirs);
    if (c.content != nullptr) config.write("user-dirs.dirs", c.content);
    EXPECT_EQ(documentsFolder(), std::optional<fs::path>(c.expected));
  }
}

TEST(Folders, DocumentsFolderLooksInHomeConfigAndFallsBackToThePasswordDatabase) {
  TempFolder home;
  ASSERT_FALSE(home.path().empty());
  home.write(".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  {
    ScopedEnv configHome("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv homeVar("HOME", home.path().string());
    EXPECT_EQ(documentsFolder(), std::optional<fs::path>(home.path() / "Papers"));
  }
  {
    ScopedEnv configHome("XDG_CONFIG_HOME", (home.path() / "empty").string());
    ScopedEnv homeVar("HOME", std::nullopt);
    EXPECT_EQ(documentsFolder(), std::optional<fs::path>(passwordHome() / "Documents"));
  }
}

TEST(Folders, FreeBytesAndSameFileSystem) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const fs::path sub = folder.path() / "sub";
  fs::create_directory(sub);

  const auto free = freeBytes(folder.path());
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
  EXPECT_FALSE(freeBytes(folder.path() / "missing").has_value());

  EXPECT_TRUE(sameFileSystem(folder.path(), sub));
  EXPECT_FALSE(sameFileSystem(folder.path(), "/proc")) << "procfs is a file system of its own";
  EXPECT_FALSE(sameFileSystem(folder.path(), folder.path() / "missing"));
}

}  // namespace
}  // namespace ipcam::platform
