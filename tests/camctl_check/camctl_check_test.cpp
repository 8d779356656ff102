// camctl check against camsim: a working camera passes every row in under 30 s and its HTML
// report is one strict-parsable page with a snapshot per codec; one injected failure fails
// exactly its row.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <pugixml.hpp>

#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "camctl_check/camctl_check_fixture.h"
#include "support/camsim_fixture.h"

namespace camctlcheck {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::Camsim;
using testsupport::CamsimOptions;

constexpr const char* kPython = "/usr/bin/python3";
constexpr std::array<uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

class CamctlCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
    ASSERT_FALSE(Presets.Path().empty());
  }

  // A camera with everything: three codecs, inputs, an output, built-in PTZ, Digest.
  static CamsimOptions FullCamera() {
    CamsimOptions options;
    options.Rtsp = true;
    options.Auth = "digest";
    options.Ptz = true;
    options.Model = "QL-6250";
    options.Inputs = 2;
    options.Outputs = 1;
    return options;
  }

  std::vector<std::string> CheckArguments(const Camsim& camera) const {
    return {"check",  "--port",       std::to_string(camera.HttpPort()),
            "--user", "admin",        "--password",
            "secret", "--preset-dir", Presets.Path()};
  }

  TempDir Presets;
};

// Text of a JSON row object: from {"function":"NAME" to the next row.
std::string JsonRow(const std::string& json, const std::string& function) {
  const size_t start = json.find("{\"function\":\"" + function + "\"");
  if (start == std::string::npos) return {};
  const size_t end = json.find("{\"function\":", start + 1);
  return json.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The verdict column of each table row, by function.
std::map<std::string, std::string> TableVerdicts(const std::string& table) {
  std::map<std::string, std::string> verdicts;
  std::istringstream lines(table);
  std::string line;
  constexpr size_t kFunctionColumn = 18;
  constexpr size_t kResultColumn = 12;
  // The rows run from the heading to the first blank line; hint and probe lines are indented.
  while (std::getline(lines, line) && line.rfind("function ", 0) != 0) {
  }
  while (std::getline(lines, line) && !line.empty()) {
    if (line.size() < kFunctionColumn + kResultColumn || line[0] == ' ') continue;
    auto trimmed = [](std::string text) { return text.erase(text.find_last_not_of(' ') + 1); };
    verdicts[trimmed(line.substr(0, kFunctionColumn))] = trimmed(line.substr(kFunctionColumn, kResultColumn));
  }
  return verdicts;
}

std::vector<uint8_t> DecodeBase64(const std::string& text) {
  std::vector<uint8_t> bytes;
  uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    if (c >= '0' && c <= '9') value = c - '0' + 52;
    if (c == '+') value = 62;
    if (c == '/') value = 63;
    if (value < 0) continue;  // padding
    group = group << 6 | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<uint8_t>(group >> bits));
    }
  }
  return bytes;
}

uint32_t BigEndian32(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 |
         bytes[at + 3];
}

TEST_F(CamctlCheck, WorkingCameraPassesEveryRowAndReportsAPagePerStrictXml) {
  CamsimOptions options = FullCamera();
  // Markup, a control character and a byte that is not UTF-8 in the camera's own text: the
  // page must stay well-formed.
  options.Model = "QL-6250 <b>&\"'\x01\xff";
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const std::string report = Presets.Path() + "/report.html";
  std::vector<std::string> arguments = CheckArguments(camera);
  arguments.insert(arguments.end(), {"--json", "--report", report});

  const CamctlRun run = RunCamctl(arguments);
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_LT(run.Took, std::chrono::seconds(30));
  std::printf("camctl check against camsim took %lld ms\n", static_cast<long long>(run.Took.count()));
  ASSERT_THAT(run.Out, StartsWith("{\"ok\":true,"));
  EXPECT_EQ(run.Out.find('\n'), run.Out.size() - 1) << "one line";
  EXPECT_EQ(run.Out.find("secret"), std::string::npos) << "password in the output";

  const std::map<std::string, std::string> rows = {
      {"capability query", "\"inputs\":2,\"outputs\":1,\"ptz\":true"},
      {"stream h264", "\"requested_width\":704,\"requested_height\":480,\"width\":704,\"height\":480"},
      {"stream mpeg4", "\"requested_width\":704,\"requested_height\":480,\"width\":704,\"height\":480"},
      {"stream mjpeg", "\"requested_width\":704,\"requested_height\":480,\"width\":704,\"height\":480"},
      {"digital inputs", "\"inputs\":2,\"read\":2"},
      {"PTZ", "\"any_function\":1"},
  };
  for (const auto& [function, values] : rows) {
    const std::string row = JsonRow(run.Out, function);
    EXPECT_THAT(row, HasSubstr("\"result\":\"pass\"")) << function << "\n" << run.Out;
    EXPECT_THAT(row, HasSubstr(values)) << function;
    EXPECT_THAT(row, ::testing::Not(HasSubstr("\"hint\""))) << function;
  }
  EXPECT_THAT(JsonRow(run.Out, "stream h264"), HasSubstr("\"decode_errors\":0"));
  EXPECT_THAT(JsonRow(run.Out, "digital outputs"), HasSubstr("\"result\":\"not tried\""));

  // A strict XML parser accepts the page, when the system has one at hand.
  if (access(kPython, X_OK) == 0) {
    const CamctlRun python =
        RunProgram(kPython, {"-c", "import sys, xml.etree.ElementTree as e; e.parse(sys.argv[1])", report});
    EXPECT_EQ(python.Status, 0) << python.Err;
  }
  pugi::xml_document page;
  const pugi::xml_parse_result parsed = page.load_file(report.c_str());
  ASSERT_TRUE(parsed) << parsed.description() << " at byte " << parsed.offset;
  EXPECT_THAT(page.select_node("//h1").node().text().get(), HasSubstr("Quenlark QL-6250 <b>&\"'??"));

  // Self-contained: no reference leaves the page.
  for (const pugi::xpath_node& node : page.select_nodes("//*[@src or @href]")) {
    for (const char* name : {"src", "href"}) {
      const pugi::xml_attribute attribute = node.node().attribute(name);
      if (attribute) {
        EXPECT_THAT(attribute.value(), StartsWith("data:")) << name;
      }
    }
  }
  EXPECT_TRUE(page.select_nodes("//script | //link | //iframe | //object").empty());
  const std::string style = page.select_node("//style").node().text().get();
  EXPECT_EQ(style.find("url("), std::string::npos);
  EXPECT_EQ(style.find("@import"), std::string::npos);

  // One snapshot per streamed codec: a PNG of the size the camera sent.
  std::vector<std::string> captions;
  for (const pugi::xpath_node& image : page.select_nodes("//img")) {
    const std::string source = image.node().attribute("src").value();
    const std::string prefix = "data:image/png;base64,";
    ASSERT_THAT(source, StartsWith(prefix));
    const std::vector<uint8_t> png = DecodeBase64(source.substr(prefix.size()));
    ASSERT_GT(png.size(), 24u);
    EXPECT_TRUE(std::equal(kPngSignature.begin(), kPngSignature.end(), png.begin()));
    // IHDR: width and height after the signature, the chunk length and its type.
    EXPECT_EQ(BigEndian32(png, 16), 704u);
    EXPECT_EQ(BigEndian32(png, 20), 480u);
    captions.push_back(image.node().attribute("alt").value());
  }
  EXPECT_THAT(captions, ::testing::UnorderedElementsAre("stream h264", "stream mpeg4", "stream mjpeg"));
}

TEST_F(CamctlCheck, OneInjectedFailureFailsExactlyThatRow) {
  Camsim camera(FullCamera());
  ASSERT_TRUE(camera.Ok());
  std::vector<std::string> arguments = CheckArguments(camera);
  arguments.insert(arguments.end(), {"--seconds", "1"});
  CamctlRun run;
  std::thread check([&] { run = RunCamctl(arguments); });

  // The last stream sets its codec first; the next camera request is the inputs' poll, which the
  // fault then refuses.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  bool lastStreamStarted = false;
  while (!lastStreamStarted && std::chrono::steady_clock::now() < deadline) {
    for (const std::string& request : camera.RequestLog()) {
      lastStreamStarted = lastStreamStarted || request.find("codec=MJPEG") != std::string::npos;
    }
    if (!lastStreamStarted) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(lastStreamStarted);
  EXPECT_TRUE(camera.InjectFault("status", 1, 500));
  check.join();

  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  const std::map<std::string, std::string> expected = {
      {"capability query", "pass"},     {"security", "pass"},     {"stream h264", "pass"},
      {"stream mpeg4", "pass"},         {"stream mjpeg", "pass"}, {"digital inputs", "FAIL"},
      {"digital outputs", "not tried"}, {"PTZ", "pass"},
  };
  EXPECT_EQ(TableVerdicts(run.Out), expected) << run.Out;
  const std::string inputs = LineWith(run.Out, "digital inputs");
  EXPECT_THAT(inputs, HasSubstr("0 of 2 input(s) read")) << inputs;
  // The hint sits under the failed row, and under no other.
  EXPECT_THAT(run.Out, HasSubstr(inputs + "\n" + std::string(18, ' ') + "hint"));
  EXPECT_EQ(run.Out.find("hint"), run.Out.rfind("hint")) << run.Out;
  EXPECT_THAT(run.Out, HasSubstr("1 function(s) failed, 0 skipped"));
  // The hint rests on a request of camctl's own after the module's refused poll.
  size_t polls = 0;
  for (const std::string& request : camera.RequestLog()) {
    polls += request.rfind("GET /config/io.cgi ", 0) == 0 ? 1 : 0;
  }
  EXPECT_GE(polls, 2u);
}

TEST_F(CamctlCheck, CameraThatIsNotThereFailsTheQueryWithItsHintAndSkipsTheRest) {
  const uint16_t port = ClosedPort();
  const CamctlRun run = RunCamctl({"check", "--port", std::to_string(port), "--preset-dir", Presets.Path()});
  EXPECT_EQ(run.Status, 1);
  const std::map<std::string, std::string> expected = {{"capability query", "FAIL"},
                                                       {"streams", "skipped"},
                                                       {"digital inputs", "skipped"},
                                                       {"PTZ", "skipped"}};
  EXPECT_EQ(TableVerdicts(run.Out), expected) << run.Out;
  EXPECT_THAT(run.Out, HasSubstr("hint        nothing listens on 127.0.0.1:" + std::to_string(port)));
}

// The security row: HTTPS and the key a recorder pins, or plain HTTP and whether the password then
// crosses the network readable.
TEST_F(CamctlCheck, SecurityRowSaysHowThePasswordTravels) {
  struct Case {
    const char* Auth;
    bool Https;
    const char* Result;
    const char* Figure;
  };
  for (const Case& c : {Case{"digest", false, "pass", "the password is never sent readable"},
                        Case{"basic", false, "FAIL", "the password crosses the network readable"},
                        Case{"digest", true, "pass", "HTTPS; the camera's key"}}) {
    CamsimOptions options;
    options.Rtsp = true;
    options.Auth = c.Auth;
    options.Https = c.Https;
    options.PlainHttp = !c.Https;
    Camsim camera(options);
    ASSERT_TRUE(camera.Ok());
    std::vector<std::string> arguments = CheckArguments(camera);
    if (c.Https) arguments[2] = std::to_string(camera.HttpsPort());
    arguments.insert(arguments.end(), {"--json", "--codec", "mjpeg", "--seconds", "1"});
    const CamctlRun run = RunCamctl(arguments);
    const std::string row = JsonRow(run.Out, "security");
    EXPECT_THAT(row, HasSubstr(std::string("\"result\":\"") + c.Result + "\"")) << c.Auth << "\n" << run.Out;
    EXPECT_THAT(row, HasSubstr(c.Figure)) << c.Auth;
    // None of these cameras serves RTSP over TLS.
    EXPECT_THAT(row, HasSubstr("video unencrypted")) << c.Auth;
    if (c.Https) {
      EXPECT_THAT(row, HasSubstr(camera.KeySha256()));
      EXPECT_THAT(JsonRow(run.Out, "stream mjpeg"), HasSubstr("\"result\":\"pass\"")) << run.Out;
    }
    if (std::string(c.Result) == "FAIL") {
      EXPECT_THAT(row, HasSubstr("switch the camera to HTTPS"));
    }
  }
}

}  // namespace
}  // namespace camctlcheck
