// The preset store on both systems: presets_smoke DIR [GOLDEN_DIR] | presets_smoke --exe-dir
// Writes DIR/smoke.xml through CXMLSettingsAPI and reads it back, and opens and saves a file that
// another program wrote (DIR/foreign.xml). With GOLDEN_DIR (the files the Linux build writes for the
// same steps, tests/windows/presets_golden/), the bytes must be the same, and the golden smoke.xml,
// copied to DIR/linux.xml, must read back with the same values. Malformed files
// must be refused as unparsable. On Windows the calling thread sits in a single-threaded apartment
// throughout, as a recorder's thread may, and must still be there at the end.
// Exit status 0 when all hold.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "presets/xml/xml_settings_api.h"
#include "presets/xml_preposition_reader.h"

#ifdef _WIN32
#include <objbase.h>
#endif

namespace {

using korvalt::CXMLSettingsAPI;

int gFailures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++gFailures;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

void SetDirectory(const std::string& directory) {
#ifdef _WIN32
  ::_putenv_s("QUENLARK_PRESET_DIR", directory.c_str());
#else
  ::setenv("QUENLARK_PRESET_DIR", directory.c_str(), 1);
#endif
}

constexpr const char* kOddName = "T\xC3\xBCr & <Tor> \"5\"\ttab 'q'";

void Fill() {
  CXMLSettingsAPI store;
  Check(store.CreateDocument("PresetList", "smoke.xml", true) == 1, "CreateDocument");
  Check(store.Open("smoke.xml") == 0, "Open the new document");
  Check(store.SetValue("7", "PresetList/Camera[@id=\"%d\"]/Count", 1) > 0, "SetValue Count");
  Check(store.SetValue("Home", "PresetList/Camera[@id=\"1\"]/Preset[@index=\"0\"]/Name") > 0,
        "SetValue Name 0");
  Check(store.SetValue(kOddName, "PresetList/Camera[@id=\"1\"]/Preset[@index=\"1\"]/Name") > 0,
        "SetValue Name 1");
  Check(store.SetValue("1.5", "PresetList/Camera[@id=\"1\"]/Preset[@index=\"1\"]/Zoom") > 0, "SetValue Zoom");
  Check(store.SetValue("x", "PresetList/Camera[@id=\"2\"]/Count") > 0, "SetValue camera 2");
  Check(store.RemoveNode("PresetList/Camera[@id=\"2\"]") == 1, "RemoveNode camera 2");
  Check(store.RemoveNode("PresetList") == 0, "the root is never removed");
  Check(store.SetValue("7", "PresetList/Camera[@id=\"1\"]/Count") > 0, "SetValue after a removal");
  Check(store.Save(), "Save");
  Check(store.Close() == 0, "Close");
}

void ReadBack(const std::string& fileName) {
  CXMLSettingsAPI store;
  Check(store.Open(fileName) == 0, "Open " + fileName);
  Check(store.GetValue("PresetList/Camera[@id=\"1\"]/Count") == "7", fileName + ": Count");
  Check(store.GetValue("PresetList/Camera[@id=\"1\"]/Preset[@index=\"0\"]/Name") == "Home",
        fileName + ": Name 0");
  Check(store.GetValue("PresetList/Camera[@id=\"1\"]/Preset[@index=\"1\"]/Name") == kOddName,
        fileName + ": Name 1");
  Check(store.GetValue("PresetList/Camera[@id=\"1\"]/Preset[@index=\"1\"]/Zoom") == "1.5",
        fileName + ": Zoom");
  Check(!store.NodeExists("PresetList/Camera[@id=\"2\"]"), fileName + ": camera 2 removed");
  Check(store.GetValue("PresetList/Camera[@id=\"9\"]/Count").empty(), fileName + ": missing value empty");
  store.Close();
}

void Refused(const std::string& directory, const std::string& name, const std::string& bytes) {
  WriteBytes(directory + name, bytes);
  CXMLSettingsAPI store;
  Check(store.Open(name) == CXMLSettingsAPI::kParseError, "refused as unparsable: " + name);
  Check(!store.IsOpen(), "not open after refusal: " + name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: presets_smoke DIR [GOLDEN]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // every line out before a crash
#ifdef _WIN32
  // The recorder's thread: a single-threaded apartment the store must leave alone.
  Check(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK,
        "caller enters a single-threaded apartment");
#endif
  if (std::string(argv[1]) == "--exe-dir") {
    // The store in the executable's own directory, which may be named in any script.
#ifdef _WIN32
    ::_putenv_s("QUENLARK_PRESET_DIR", "");
#else
    ::unsetenv("QUENLARK_PRESET_DIR");
#endif
    std::printf("storage directory: %s\n", CXMLSettingsAPI::StorageDirectory().c_str());
    Fill();
    ReadBack("smoke.xml");
    std::printf("%s\n", gFailures == 0 ? "presets_smoke: all passed" : "presets_smoke: FAILED");
    return gFailures == 0 ? 0 : 1;
  }
  std::string directory = argv[1];
  if (directory.back() != '/' && directory.back() != '\\') directory += '/';
  SetDirectory(directory);

  Fill();
  ReadBack("smoke.xml");
  const std::string written = ReadBytes(directory + "smoke.xml");
  std::string goldenDirectory = argc > 2 ? argv[2] : "";
  if (argc > 2) {
    if (goldenDirectory.back() != '/' && goldenDirectory.back() != '\\') goldenDirectory += '/';
    const std::string golden = ReadBytes(goldenDirectory + "smoke.xml");
    Check(!golden.empty() && written == golden, "smoke.xml has the Linux build's bytes");
    WriteBytes(directory + "linux.xml", golden);
    ReadBack("linux.xml");
  }

  // A file another program wrote: its layout, comments, CDATA and character references.
  // Line feeds only and no literal tab inside a value: the DOM normalises those, as XML demands.
  WriteBytes(directory + "foreign.xml",
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- made elsewhere -->\n"
             "<PresetList a='x&#10;y&#9;z'>\n\t<!-- note -->\n\t<?keep this?>\n"
             "\t<Camera id=\"1\" b=\"&gt;&apos;\"><![CDATA[a<b]]>text &amp; more&#13;&#x41;</Camera>\n"
             "\t<E></E>\n</PresetList>\n");
  {
    CXMLSettingsAPI store;
    Check(store.Open("foreign.xml") == 0 && store.Save(), "foreign.xml opened and saved");
  }
  if (argc > 2) {
    const std::string golden = ReadBytes(goldenDirectory + "foreign.xml");
    Check(!golden.empty() && ReadBytes(directory + "foreign.xml") == golden,
          "foreign.xml saved with the Linux build's bytes");
  }

  {
    // Many siblings, each found again through its predicate, and one removed from the middle.
    CXMLSettingsAPI store;
    constexpr int kCameras = 300;
    bool all = store.CreateDocument("PresetList", "many.xml", true) == 1 && store.Open("many.xml") == 0;
    for (int i = 0; all && i < kCameras; ++i) {
      all = store.SetValue(std::to_string(i * 3), "PresetList/Camera[@id=\"%d\"]/Count", i) > 0;
    }
    all = all && store.RemoveNode("PresetList/Camera[@id=\"150\"]") == 1 && store.Save();
    store.Close();
    all = all && store.Open("many.xml") == 0;
    for (int i = 0; all && i < kCameras; ++i) {
      const std::string value = store.GetValue("PresetList/Camera[@id=\"%d\"]/Count", i);
      all = i == 150 ? value.empty() : value == std::to_string(i * 3);
    }
    Check(all, "300 cameras written, one removed, read back");
  }

  std::string deep = "<?xml version='1.0'?>\n";
  for (int i = 0; i < 70; ++i) deep += "<a>";
  for (int i = 0; i < 70; ++i) deep += "</a>";
  Refused(directory, "deep.xml", deep);
  Refused(directory, "broken.xml", "<?xml version='1.0'?>\n<PresetList><Camera></PresetList>\n");
  Refused(directory, "two-roots.xml", "<A/><B/>\n");
  {
    // UTF-16 with its byte-order mark, as the other backend reads it.
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<PresetList><A value=\"\xC3\xBC\"/></PresetList>";
    std::string utf16 = "\xFF\xFE";
    for (size_t at = 0; at < text.size(); ++at) {
      // ASCII but for one "ü" (U+00FC).
      if (text[at] == '\xC3') {
        utf16 += '\xFC';
        utf16 += '\0';
        ++at;
        continue;
      }
      utf16 += text[at];
      utf16 += '\0';
    }
    WriteBytes(directory + "utf16.xml", utf16);
    CXMLSettingsAPI store;
    Check(store.Open("utf16.xml") == 0 && store.GetValue("PresetList/A") == "\xC3\xBC", "UTF-16 file read");
  }
  {
    // A corrupt file is moved aside, never overwritten, and a fresh one takes its place.
    const std::string broken = "<?xml version='1.0'?>\n<PresetList><Camera></PresetList>\n";
    WriteBytes(directory + "corrupt.xml", broken);
    korvalt::CXMLPrepositionReader reader("PresetList");
    Check(reader.OpenFile("corrupt.xml"), "a fresh file opened in place of a corrupt one");
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("corrupt.xml.corrupt-", 0) == 0 && ReadBytes(entry.path().string()) == broken) ++aside;
    }
    Check(aside == 1, "the corrupt file kept aside");
  }
  {
    CXMLSettingsAPI store;
    WriteBytes(directory + "empty.xml", "");
    Check(store.Open("empty.xml") == CXMLSettingsAPI::kFail, "empty file: kFail");
    Check(store.Open("missing.xml") == CXMLSettingsAPI::kFail, "missing file: kFail");
  }

#ifdef _WIN32
  // Still the same apartment: S_FALSE means this thread was already in it.
  const HRESULT again = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Check(again == S_FALSE, "caller still in its single-threaded apartment");
  if (SUCCEEDED(again)) ::CoUninitialize();
  ::CoUninitialize();
#endif
  std::printf("%s\n", gFailures == 0 ? "presets_smoke: all passed" : "presets_smoke: FAILED");
  return gFailures == 0 ? 0 : 1;
}
