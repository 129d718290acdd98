#include "platform/xml_document.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace ipcam::platform {
namespace {

constexpr std::string_view kVersion = "root/SystemInfo/Firmware/Version";
constexpr std::string_view kModel = "root/SystemInfo/Firmware/modelID";
constexpr std::string_view kVendor = "root/SystemInfo/Firmware/vendorID";

std::string firmwarePage(std::string_view fields) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n<SystemInfo>\n<Firmware>\n" +
         std::string(fields) + "</Firmware>\n</SystemInfo>\n</root>\n";
}

TEST(XmlDocument, FindsTheFirmwareFieldsInAnyOrder) {
  const std::string_view orders[] = {
      "<Version>V1.2</Version><modelID>12</modelID><vendorID>3</vendorID>",
      "<vendorID>3</vendorID><modelID>12</modelID><Version>V1.2</Version>",
      "<modelID>12</modelID><Other><Version>no</Version></Other><vendorID>3</vendorID>"
      "<Version>V1.2</Version>",
  };
  for (std::string_view fields : orders) {
    SCOPED_TRACE(fields);
    XmlDocument document;
    ASSERT_EQ(document.load(firmwarePage(fields)), XmlError::None);
    EXPECT_EQ(document.findText(kVersion), "V1.2");
    EXPECT_EQ(document.findText(kModel), "12");
    EXPECT_EQ(document.findText(kVendor), "3");
  }
}

TEST(XmlDocument, PathsMatchExactNamesFromTheDocumentElementDown) {
  const struct {
    const char* xml;
    std::string_view path;
    std::optional<std::string> expected;
  } cases[] = {
      // The first match whose children lead on wins; a dead end is left for the next one.
      {"<root><SystemInfo/><SystemInfo><Firmware><Version>2</Version></Firmware></SystemInfo>"
       "</root>",
       kVersion, "2"},
      {"<root><SystemInfo><Firmware><Version>a</Version><Version>b</Version></Firmware>"
       "</SystemInfo></root>",
       kVersion, "a"},
      {"<root><SystemInfo><Firmware><ModelID>12</ModelID></Firmware></SystemInfo></root>", kModel,
       std::nullopt},
      {"<Root><SystemInfo><Firmware><Version>1</Version></Firmware></SystemInfo></Root>", kVersion,
       std::nullopt},
      // A name one level off is not the element asked for.
      {"<root><SystemInfo><Version>1</Version></SystemInfo></root>", kVersion, std::nullopt},
      // All text inside, entities resolved; white space between elements is not text.
      {"<root><a><b> x &amp; <![CDATA[<y>]]> <c>z</c> </b></a></root>", "root/a/b", "x & <y>z"},
      {"<root><a>1</a></root>", "root", "1"},
      {"<root><a>1</a></root>", "root//a", std::nullopt},
      {"<root><a>1</a></root>", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.xml) + " " + std::string(c.path));
    XmlDocument document;
    ASSERT_EQ(document.load(c.xml), XmlError::None);
    EXPECT_EQ(document.findText(c.path), c.expected);
  }
}

TEST(XmlDocument, RefusesAnythingButOneWellFormedDocument) {
  const struct {
    std::string text;
    XmlError expected;
  } cases[] = {
      {"", XmlError::Empty},
      {"  \n", XmlError::Empty},
      {"<?xml version=\"1.0\"?><!-- nothing -->", XmlError::Empty},
      {"Failed to get xml data\r\n", XmlError::Malformed},
      {"<root>", XmlError::Malformed},
      {"<root><SystemInfo></root>", XmlError::Malformed},
      {"<root/><root/>", XmlError::Malformed},
      {"<root/>trailing", XmlError::Malformed},
      {"<root a=\"1></root>", XmlError::Malformed},
      {"<root></root", XmlError::Malformed},
      {std::string("<root>\0</root>", 14), XmlError::Malformed},
      {"<root>" + std::string(XmlDocument::kMaxTextBytes, ' ') + "</root>", XmlError::TooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    XmlDocument document;
    ASSERT_EQ(document.load(firmwarePage("<Version>1</Version>")), XmlError::None);
    EXPECT_EQ(document.load(c.text), c.expected);
    EXPECT_FALSE(document.loaded());
    EXPECT_EQ(document.findText(kVersion), std::nullopt);  // nothing of the earlier document
  }
}

TEST(XmlDocument, ADeeplyNestedDocumentIsWalkedWithoutExhaustingTheStack) {
  constexpr int kDepth = 500000;  // 3.5 MB of markup, inside the size cap
  std::string deep;
  deep.reserve(kDepth * 7 + 200);
  deep += "<root>";
  for (int i = 0; i < kDepth; ++i) deep += "<p>";
  deep += "deep";
  for (int i = 0; i < kDepth; ++i) deep += "</p>";
  deep += "<SystemInfo><Firmware><Version>V9</Version></Firmware></SystemInfo></root>";

  XmlDocument document;
  ASSERT_EQ(document.load(deep), XmlError::None);
  EXPECT_EQ(document.findText(kVersion), "V9");
  EXPECT_EQ(document.findText("root/p/p/p"), "deep");
  EXPECT_EQ(document.findText("root"), "deepV9");
}

}  // namespace
}  // namespace ipcam::platform
