// What holds on Linux only: permission bits, and CR LF line ends kept as written (the Windows
// DOM turns each into LF on reading, as XML parsers must).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "preset_test_support.h"
#include "presets/xml/xml_settings_api.h"

namespace {

TEST(XmlSettingsPosix, NewDocumentIsReadableByAllAndWritableByItsOwner) {
  presettest::PresetDir dir;
  korvalt::CXMLSettingsAPI settings;
  ASSERT_EQ(settings.CreateDocument("Quenlark", "test.xml", false), 1);
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("test.xml").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(XmlSettingsPosix, LoadAndSaveKeepCarriageReturns) {
  presettest::PresetDir dir;
  korvalt::CXMLSettingsAPI settings;
  const std::string body = "<Quenlark>\r\n  <!-- hand edited -->\r\n\t<A value=\"1\"/>\n</Quenlark>";
  presettest::WriteFile(dir.File("test.xml"),
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + body + "\r\n");
  ASSERT_EQ(settings.Open("test.xml"), 0);
  ASSERT_TRUE(settings.Save());
  EXPECT_EQ(presettest::ReadFile(dir.File("test.xml")),
            "<?xml version='1.0' encoding='utf-8'?>\n" + body + "\n");
  EXPECT_EQ(settings.Close(), 0);
}

}  // namespace
