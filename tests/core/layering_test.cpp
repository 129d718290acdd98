// The folders depend on each other one way, bottom to top; this test keeps it so. A lower
// folder that includes a higher one (or a subsystem that includes another subsystem instead
// of meeting it through core/) fails here with the file and line to change.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace ipcam {
namespace {

namespace fs = std::filesystem;

// Which folders each folder may include from (besides itself). The libraries link the same
// way (CMakeLists.txt), so an include that passes here but calls upward still fails the link.
// The windows ask protocols/ and recording/ for everything through app/; they draw from
// media/'s pictures and overlays and fill in alerts/' mail settings directly.
const std::map<std::string, std::set<std::string>>& allowedIncludes() {
  static const std::map<std::string, std::set<std::string>> rules = {
      {"platform", {}},
      {"core", {"platform"}},
      {"protocols", {"core", "platform"}},
      {"media", {"core", "platform"}},
      {"recording", {"core", "platform"}},
      {"alerts", {"core", "platform"}},
      {"app", {"core", "platform", "protocols", "media", "recording", "alerts"}},
      {"ui", {"app", "core", "platform", "media", "alerts"}},
      {"tools", {"platform"}},
      // The suites of the lowest layers link only their own layer and those under it.
      {"tests/platform", {"platform", "tools"}},
      {"tests/core", {"core", "platform", "tools"}},
      {"tests/alerts", {"alerts", "core", "platform", "tools"}},
  };
  return rules;
}

// Every include of a project folder that the rules above do not allow, as "file:line: text".
std::vector<std::string> wrongWayIncludes(const fs::path& sourceDir) {
  static const std::regex include(R"(^\s*#\s*include\s*"([a-z_]+)/)");
  std::vector<std::string> wrong;
  for (const auto& [folder, allowed] : allowedIncludes()) {
    const fs::path root = sourceDir / folder;
    if (!fs::exists(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string extension = entry.path().extension().string();
      if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
      std::ifstream in(entry.path());
      std::string line;
      for (int number = 1; std::getline(in, line); ++number) {
        std::smatch match;
        if (!std::regex_search(line, match, include)) continue;
        const std::string target = match[1];
        const bool project = allowedIncludes().contains(target);
        if (project && target != folder && !allowed.contains(target)) {
          wrong.push_back(fs::relative(entry.path(), sourceDir).string() + ":" +
                          std::to_string(number) + ": " + line);
        }
      }
    }
  }
  return wrong;
}

TEST(Layering, IncludesPointDownward) {
  const fs::path sourceDir = IPCAM_SOURCE_DIR;
  ASSERT_TRUE(fs::exists(sourceDir / "core")) << sourceDir;
  std::string report;
  for (const std::string& line : wrongWayIncludes(sourceDir)) report += "\n  " + line;
  EXPECT_TRUE(report.empty()) << "includes against the layering (see README, Layout):" << report;
}

// The check itself: a file that reaches upward or sideways is found, in a source folder as in
// a test suite; what the rules allow is not.
TEST(Layering, AnUpwardIncludeIsFound) {
  const fs::path tree = fs::temp_directory_path() / "ipcam-layering-test";
  fs::remove_all(tree);
  for (const char* folder : {"core", "media", "ui", "tests/core"}) {
    fs::create_directories(tree / folder);
  }
  std::ofstream(tree / "core" / "fine.h") << "#include \"platform/trace.h\"\n#include <vector>\n";
  std::ofstream(tree / "media" / "bad.cpp")
      << "#include \"media/video_decode.h\"\n  #include \"recording/snapshot.h\"\n";
  std::ofstream(tree / "ui" / "bad.h")
      << "#include \"app/ui_services.h\"\n#include \"media/channel_display.h\"\n"
         "#include \"protocols/ptz.h\"\n";
  std::ofstream(tree / "tests" / "core" / "bad_test.cpp")
      << "#include \"support/wait_for.h\"\n#include \"core/app_state.h\"\n"
         "#include \"app/viewer_core.h\"\n";
  const std::vector<std::string> wrong = wrongWayIncludes(tree);
  fs::remove_all(tree);
  const std::vector<std::string> expected = {
      "media/bad.cpp:2:   #include \"recording/snapshot.h\"",
      "tests/core/bad_test.cpp:3: #include \"app/viewer_core.h\"",
      "ui/bad.h:3: #include \"protocols/ptz.h\"",
  };
  EXPECT_EQ(wrong, expected);
}

}  // namespace
}  // namespace ipcam
