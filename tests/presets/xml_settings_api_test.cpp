#include "presets/xml/xml_settings_api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "preset_test_support.h"

namespace {

using korvalt::CXMLSettingsAPI;
using presettest::ListDirectory;
using presettest::PresetDir;
using presettest::ReadFile;
using presettest::WriteFile;

const std::string kDeclaration = "<?xml version='1.0' encoding='utf-8'?>\n";
const std::string kFresh = kDeclaration + "<Quenlark/>\n";

class XmlSettings : public ::testing::Test {
 protected:
  // A fresh Quenlark document in test.xml, opened.
  void OpenFresh() {
    ASSERT_EQ(Settings.CreateDocument("Quenlark", "test.xml", true), 1);
    ASSERT_EQ(Settings.Open("test.xml"), 0);
  }
  std::string Saved() {
    EXPECT_TRUE(Settings.Save());
    return ReadFile(Dir.File("test.xml"));
  }

  PresetDir Dir;
  CXMLSettingsAPI Settings;
};

TEST_F(XmlSettings, StorageDirectoryIsTheVariableWithASlashElseTheExecutableDirectory) {
  EXPECT_EQ(CXMLSettingsAPI::StorageDirectory(), Dir.Path() + "/");
  testsupport::SetEnvironment("QUENLARK_PRESET_DIR", (Dir.Path() + "/").c_str());
  EXPECT_EQ(CXMLSettingsAPI::StorageDirectory(), Dir.Path() + "/");
  for (const char* unset : std::initializer_list<const char*>{"", nullptr}) {
    if (unset == nullptr) {
      testsupport::SetEnvironment("QUENLARK_PRESET_DIR", nullptr);
    } else {
      testsupport::SetEnvironment("QUENLARK_PRESET_DIR", unset);
    }
    const std::string directory = CXMLSettingsAPI::StorageDirectory();
    ASSERT_FALSE(directory.empty());
    // The executable's directory in the system's own spelling.
    EXPECT_TRUE(directory.back() == '/' ||
                directory.back() == static_cast<char>(std::filesystem::path::preferred_separator))
        << directory;
    EXPECT_NE(directory, Dir.Path() + "/");
  }
}

TEST_F(XmlSettings, CreateDocumentWritesDeclarationAndEmptyRoot) {
  EXPECT_EQ(Settings.CreateDocument("Quenlark", "test.xml", false), 1);
  EXPECT_EQ(ReadFile(Dir.File("test.xml")), kFresh);
  EXPECT_EQ(Settings.CreateDocument("Quen lark", "bad.xml", true), 0) << "not an element name";
  EXPECT_EQ(Settings.CreateDocument("Quenlark", "../escape.xml", true), 0) << "a name, not a path";
}

TEST_F(XmlSettings, OpenIsCountedAndTheLastCloseReleasesTheDocument) {
  OpenFresh();
  ASSERT_GT(Settings.SetValue("v", "Quenlark/A"), 0);
  EXPECT_EQ(Settings.Open("test.xml"), 0);
  EXPECT_EQ(Settings.Close(), 1);
  EXPECT_TRUE(Settings.IsOpen());
  EXPECT_EQ(Settings.GetValue("Quenlark/A"), "v") << "the first Open's document is still there";
  EXPECT_EQ(Settings.Close(), 0);
  EXPECT_FALSE(Settings.IsOpen());
  EXPECT_EQ(Settings.GetValue("Quenlark/A"), "");
  EXPECT_EQ(Settings.SetValue("w", "Quenlark/A"), 0);
  EXPECT_FALSE(Settings.NodeExists("Quenlark"));
  EXPECT_EQ(Settings.RemoveNode("Quenlark/A"), 0);
  EXPECT_FALSE(Settings.Save());
  EXPECT_EQ(Settings.Close(), 0);
}

struct OpenCase {
  const char* Label;
  std::string Bytes;
  int32_t Status;
};

std::string Nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  for (int i = 0; i < depth; ++i) text += "</a>";
  return text;
}

class XmlSettingsOpen : public XmlSettings, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(XmlSettingsOpen, Status) {
  WriteFile(Dir.File("test.xml"), GetParam().Bytes);
  EXPECT_EQ(Settings.Open("test.xml"), GetParam().Status);
  EXPECT_EQ(Settings.IsOpen(), GetParam().Status == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, XmlSettingsOpen,
    ::testing::Values(
        OpenCase{"Empty", "", CXMLSettingsAPI::kFail}, OpenCase{"Fresh", kFresh, 0},
        OpenCase{"NoDeclaration", "<Quenlark/>", 0}, OpenCase{"ByteOrderMark", "\xEF\xBB\xBF" + kFresh, 0},
        OpenCase{"CommentBeforeRoot", kDeclaration + "<!-- kept -->\n<Quenlark/>\n", 0},
        OpenCase{"Unclosed", kDeclaration + "<Quenlark><PtzChannel01>", CXMLSettingsAPI::kParseError},
        OpenCase{"Text", "presets", CXMLSettingsAPI::kParseError},
        OpenCase{"OnlyWhitespace", "  \n", CXMLSettingsAPI::kParseError},
        OpenCase{"TwoRoots", "<Quenlark/><Quenlark/>", CXMLSettingsAPI::kParseError},
        OpenCase{"TextAfterRoot", "<Quenlark/>junk", CXMLSettingsAPI::kParseError},
        OpenCase{"TextBeforeRoot", "junk<Quenlark/>", CXMLSettingsAPI::kParseError},
        OpenCase{"LateDeclaration", "<Quenlark/><?xml version='1.0'?>", CXMLSettingsAPI::kParseError},
        OpenCase{"Depth64", Nested(64), 0}, OpenCase{"Depth65", Nested(65), CXMLSettingsAPI::kParseError},
        OpenCase{"Depth200000", Nested(200000), CXMLSettingsAPI::kParseError},
        OpenCase{"LargerThanTheReadLimit",
                 "<Quenlark>" + std::string(CXMLSettingsAPI::kMaxFileBytes, ' ') + "</Quenlark>",
                 CXMLSettingsAPI::kParseError}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(XmlSettings, MissingFileOrDirectoryInItsPlaceIsAFailureNotAParseError) {
  EXPECT_EQ(Settings.Open("test.xml"), CXMLSettingsAPI::kFail);
  ASSERT_TRUE(std::filesystem::create_directory(Dir.File("test.xml")));
  EXPECT_EQ(Settings.Open("test.xml"), CXMLSettingsAPI::kFail);
}

TEST_F(XmlSettings, GetValueIsEmptyWithoutTheElementOrItsValue) {
  WriteFile(Dir.File("test.xml"), "<Quenlark><A other=\"x\"/><B value=\"b\"/></Quenlark>");
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  EXPECT_EQ(Settings.GetValue("Quenlark/A"), "");
  EXPECT_EQ(Settings.GetValue("Quenlark/C"), "");
  EXPECT_EQ(Settings.GetValue("Quenlark/B"), "b");
  EXPECT_EQ(Settings.GetValue("Other/B"), "");
  EXPECT_EQ(Settings.GetValue("Quenlark//B"), "") << "an empty step names nothing";
}

TEST_F(XmlSettings, LookupFindsTheFirstMatchAcrossRepeatedParents) {
  WriteFile(Dir.File("test.xml"), "<Q><A><B value=\"1\"/></A><A><C value=\"2\"/></A></Q>");
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  EXPECT_EQ(Settings.GetValue("Q/A/C"), "2");
  ASSERT_GT(Settings.SetValue("3", "Q/A/C"), 0);
  EXPECT_EQ(Saved(), kDeclaration + "<Q><A><B value=\"1\"/></A><A><C value=\"3\"/></A></Q>\n")
      << "the existing element was set, nothing created";
}

TEST_F(XmlSettings, SetValueCreatesMissingElementsInOrderIndentedByDepth) {
  OpenFresh();
  ASSERT_GT(Settings.SetValue("leaf", "Quenlark/%s/%s/%s", "A", "B", "C"), 0);
  EXPECT_EQ(Settings.GetValue("Quenlark/A/B/C"), "leaf");
  EXPECT_EQ(Settings.GetValue("Quenlark/A/B"), "");
  EXPECT_EQ(Saved(), kDeclaration +
                         "<Quenlark><A>\n"
                         "\t\t<B>\n"
                         "\t\t\t\t<C value=\"leaf\">\n"
                         "\t\t\t</C>\n"
                         "\t\t</B>\n"
                         "\t</A>\n"
                         "</Quenlark>\n");
}

TEST_F(XmlSettings, SetValueUnderAnotherRootChangesNothing) {
  OpenFresh();
  EXPECT_EQ(Settings.SetValue("v", "Other/A"), 0);
  EXPECT_EQ(Settings.SetValue("v", "Quenlark"), 1) << "the root itself can carry a value";
  EXPECT_EQ(Settings.SetValue("v", "Quenlark/A/"), 0) << "empty last step";
  EXPECT_EQ(Settings.SetValue("v", "Quenlark/1A"), 0) << "not an element name";
  EXPECT_EQ(Saved(), kDeclaration + "<Quenlark value=\"v\"/>\n");
}

TEST_F(XmlSettings, PredicatesOfTheLastStepBecomeAttributesOfTheNewElement) {
  OpenFresh();
  ASSERT_GT(Settings.SetValue("x", "Quenlark/Preset[@id=\"7\"]"), 0);
  ASSERT_GT(Settings.SetValue("y", "Quenlark/Preset[@id=\"8\"][@path=\"a/b]c\"]"), 0);
  EXPECT_TRUE(Settings.NodeExists("Quenlark/Preset[@id=\"7\"]"));
  EXPECT_EQ(Settings.GetValue("Quenlark/Preset[@id=\"8\"]"), "y");
  EXPECT_EQ(Settings.GetValue("Quenlark/Preset[@id=\"9\"]"), "");
  EXPECT_EQ(Settings.SetValue("z", "Quenlark/Preset[id=\"9\"]"), 0) << "predicate without @";
  EXPECT_EQ(Settings.SetValue("z", "Quenlark/Preset[@id=\"9\""), 0) << "unclosed predicate";
  EXPECT_EQ(Saved(), kDeclaration +
                         "<Quenlark><Preset id=\"7\" value=\"x\">\n\t</Preset>\n"
                         "<Preset id=\"8\" path=\"a/b]c\" value=\"y\">\n\t</Preset>\n</Quenlark>\n");
}

TEST_F(XmlSettings, FormattedPathIsCutAt1023Characters) {
  OpenFresh();
  const std::string prefix = "Quenlark/";
  const std::string name(2000, 'N');
  ASSERT_GT(Settings.SetValue("long", "%s%s", prefix.c_str(), name.c_str()), 0);
  const std::string kept(CXMLSettingsAPI::kMaxPathLength - prefix.size(), 'N');
  EXPECT_EQ(Settings.GetValue("Quenlark/%s", kept.c_str()), "long");
  const std::string saved = Saved();
  EXPECT_NE(saved.find("<" + kept + " value=\"long\">"), std::string::npos) << "the element's name was cut";
}

TEST_F(XmlSettings, ValuesKeepMarkupAndWhitespaceThroughASaveAndALoad) {
  OpenFresh();
  const std::vector<std::string> values = {"a&b<c>d\"e'f", "tab\tline\nreturn\r", "Süd 🚪 50%", "  ", ""};
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_GT(Settings.SetValue(values[i], "Quenlark/V%u", static_cast<unsigned>(i)), 0);
  }
  ASSERT_TRUE(Settings.Save());
  ASSERT_EQ(Settings.Close(), 0);
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(Settings.GetValue("Quenlark/V%u", static_cast<unsigned>(i)), values[i]) << i;
  }
}

// Whatever another writer put in the file stays as it is; only the declaration takes our one form.
// (Line ends written as CR LF: xml_settings_api_posix_test.cpp.)
TEST_F(XmlSettings, LoadAndSaveKeepWhitespaceCommentsAndText) {
  const std::string body =
      "<Quenlark>\n  <!-- hand edited -->\n\t<A value=\"1\" other='x'>text &amp; more</A>"
      "<?tool data?><B><![CDATA[raw <b>]]></B>\n \t\n</Quenlark>";
  WriteFile(Dir.File("test.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body + "\n");
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  const std::string expected =
      kDeclaration +
      "<Quenlark>\n  <!-- hand edited -->\n\t<A value=\"1\" other=\"x\">text &amp; more</A>"
      "<?tool data?><B><![CDATA[raw <b>]]></B>\n \t\n</Quenlark>\n";
  EXPECT_EQ(Saved(), expected);
  ASSERT_EQ(Settings.Close(), 0);
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  EXPECT_EQ(Saved(), expected) << "a second round changes nothing";
}

TEST_F(XmlSettings, RemoveNodeTakesTheElementWithTheLayoutAroundIt) {
  OpenFresh();
  ASSERT_GT(Settings.SetValue("1", "Quenlark/A/X"), 0);
  ASSERT_GT(Settings.SetValue("2", "Quenlark/B"), 0);
  EXPECT_EQ(Settings.RemoveNode("Quenlark/A"), 1);
  EXPECT_EQ(Settings.RemoveNode("Quenlark/A"), 0);
  EXPECT_EQ(Settings.RemoveNode("Quenlark"), 0) << "the root stays";
  EXPECT_EQ(Saved(), kDeclaration + "<Quenlark><B value=\"2\">\n\t</B>\n</Quenlark>\n");
}

// A preset list rewrites its channel by removing it and writing it again, for the driver's life:
// every rewrite after the first leaves the file (and the tree behind it) as it was, in a tree
// built here and in one loaded from the file, where the layout's text nodes have merged.
TEST_F(XmlSettings, RewritingAnElementAgainAndAgainLeavesTheFileAsOneRewriteDoes) {
  struct Case {
    const char* Name;
    const char* Element;
    const char* Value;  // inside Element
    bool Reload;        // the file is loaded again before each rewrite
  };
  const Case cases[] = {
      {"ChannelInTheRoot", "Quenlark/A", "Quenlark/A/X", false},
      {"EntryInAChannel", "Quenlark/C/E", "Quenlark/C/E/X", false},
      {"ChannelInALoadedFile", "Quenlark/A", "Quenlark/A/X", true},
      {"EntryInALoadedFile", "Quenlark/C/E", "Quenlark/C/E/X", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    OpenFresh();
    ASSERT_GT(Settings.SetValue("1", "Quenlark/B/Y"), 0);
    ASSERT_GT(Settings.SetValue("1", c.Value), 0);
    ASSERT_GT(Settings.SetValue("2", "Quenlark/C/F"), 0);
    std::string first;
    for (int round = 0; round < 4; ++round) {
      if (c.Reload) {
        ASSERT_TRUE(Settings.Save());
        ASSERT_EQ(Settings.Close(), 0);
        ASSERT_EQ(Settings.Open("test.xml"), 0);
      }
      ASSERT_EQ(Settings.RemoveNode(c.Element), 1);
      ASSERT_GT(Settings.SetValue("1", c.Value), 0);
      if (round == 0) {
        first = Saved();
      } else {
        ASSERT_EQ(Saved(), first) << "round " << round;
      }
    }
    EXPECT_EQ(Settings.GetValue("Quenlark/B/Y"), "1");
    EXPECT_EQ(Settings.GetValue("Quenlark/C/F"), "2");
    ASSERT_EQ(Settings.Close(), 0);
  }
}

TEST_F(XmlSettings, RemoveNodeTakesEveryElementThePathNames) {
  WriteFile(Dir.File("test.xml"), kDeclaration +
                                      "<Quenlark><A><X value=\"1\"/></A><B/><A><Y value=\"2\"/></A>"
                                      "<A id=\"k\"/></Quenlark>\n");
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  EXPECT_EQ(Settings.GetValue("Quenlark/A/Y"), "2") << "an entry is read from the second A";
  EXPECT_EQ(Settings.RemoveNode("Quenlark/A[@id=\"k\"]"), 1);
  EXPECT_EQ(Saved(),
            kDeclaration + "<Quenlark><A><X value=\"1\"/></A><B/><A><Y value=\"2\"/></A></Quenlark>\n")
      << "attributes still select";
  EXPECT_EQ(Settings.RemoveNode("Quenlark/A"), 1);
  EXPECT_FALSE(Settings.NodeExists("Quenlark/A"));
  EXPECT_EQ(Settings.GetValue("Quenlark/A/Y"), "");
  EXPECT_EQ(Saved(), kDeclaration + "<Quenlark><B/></Quenlark>\n");
}

TEST_F(XmlSettings, SaveEachChangeWritesEveryChangeAtOnce) {
  OpenFresh();
  Settings.SetSaveEachChange(true);
  ASSERT_EQ(Settings.SetValue("1", "Quenlark/A"), 1);
  EXPECT_EQ(ReadFile(Dir.File("test.xml")),
            kDeclaration + "<Quenlark><A value=\"1\">\n\t</A>\n</Quenlark>\n");
  ASSERT_EQ(Settings.RemoveNode("Quenlark/A"), 1);
  EXPECT_EQ(ReadFile(Dir.File("test.xml")), kFresh);
  ASSERT_EQ(Settings.Close(), 0);
  ASSERT_EQ(Settings.Open("test.xml"), 0);
  ASSERT_EQ(Settings.SetValue("2", "Quenlark/A"), 1);
  EXPECT_EQ(ReadFile(Dir.File("test.xml")), kFresh) << "Open turns saving each change off";
}

TEST_F(XmlSettings, FailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
  OpenFresh();
  ASSERT_GT(Settings.SetValue("1", "Quenlark/A"), 0);
  // A directory where the file was: the rename over it fails after the temporary file is written.
  ASSERT_TRUE(std::filesystem::remove(Dir.File("test.xml")));
  ASSERT_TRUE(std::filesystem::create_directory(Dir.File("test.xml")));
  EXPECT_FALSE(Settings.Save());
  EXPECT_EQ(ListDirectory(Dir.Path()), std::vector<std::string>{"test.xml"});
}

TEST_F(XmlSettings, DirectoryThatCannotBeWrittenFailsEveryWrite) {
  // A regular file as the directory: nothing can be created in it, even by root.
  WriteFile(Dir.File("plain"), "x");
  testsupport::SetEnvironment("QUENLARK_PRESET_DIR", Dir.File("plain").c_str());
  EXPECT_EQ(Settings.CreateDocument("Quenlark", "test.xml", true), 0);
  EXPECT_EQ(Settings.Open("test.xml"), CXMLSettingsAPI::kFail);
  testsupport::SetEnvironment("QUENLARK_PRESET_DIR", Dir.File("missing/dir").c_str());
  EXPECT_EQ(Settings.CreateDocument("Quenlark", "test.xml", true), 0);
  EXPECT_EQ(ListDirectory(Dir.Path()), std::vector<std::string>{"plain"});
}

}  // namespace
