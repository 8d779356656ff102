// What only POSIX files have: permission bits.
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

}  // namespace
