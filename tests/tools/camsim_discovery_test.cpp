#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "tools/camsim/command_line.h"

namespace ipcam::camsim {
namespace {

TEST(CamsimDiscoveryTest, CommandLineOptions) {
  const std::vector<std::string_view> good = {"--discovery",
                                              "on",
                                              "--discovery-port=47000",
                                              "--mac",
                                              "00:1c:63:AA:bb:0F",
                                              "--discovery-name",
                                              "Hall",
                                              "--discovery-model",
                                              "21",
                                              "--poe",
                                              "1",
                                              "--compressed",
                                              "on",
                                              "--discovery-vendor",
                                              "3"};
  const CommandLine parsed = parseCommandLine(good);
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.options.discovery);
  const DiscoveryOptions& answer = parsed.options.discoveryAnswer;
  EXPECT_EQ(answer.port, 47000);
  EXPECT_EQ(answer.mac, (std::array<std::uint8_t, 6>{0x00, 0x1C, 0x63, 0xAA, 0xBB, 0x0F}));
  EXPECT_EQ(answer.name, "Hall");
  EXPECT_EQ(answer.modelCode, 21);
  EXPECT_TRUE(parsed.options.discoveryModelGiven);
  EXPECT_EQ(answer.poe, 1);
  EXPECT_TRUE(answer.compressed);
  EXPECT_EQ(answer.vendor, 3);

  for (std::string_view bad :
       {"--mac=00:1C:63:AA:BB", "--mac=00:1C:63:AA:BB:GG", "--mac=001C63AABB0F00000",
        "--discovery-port=0", "--discovery-model=256", "--poe=-1", "--compressed=yes",
        "--discovery-name=a-name-that-is-longer-than-32-chars"}) {
    const std::vector<std::string_view> arguments = {bad};
    EXPECT_NE(parseCommandLine(arguments).error, "") << bad;
  }
}

}  // namespace
}  // namespace ipcam::camsim
