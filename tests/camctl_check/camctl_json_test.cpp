// camctl's --json summaries, as scripts read them: one line, the fields in a fixed order.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "camctl_check/camctl_check_fixture.h"
#include "support/camsim_fixture.h"

namespace camctlcheck {
namespace {

using testsupport::Camsim;
using testsupport::CamsimOptions;

class CamctlJson : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
  }
};

// The text with every "time":"HH:MM:SS.mmm" value shown as "T".
std::string WithoutTimes(std::string text) {
  const std::string key = "\"time\":\"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    const size_t start = at + key.size();
    text.replace(start, text.find('"', start) - start, "T");
  }
  return text;
}

TEST_F(CamctlJson, IoSummaryIsOneObjectWithEveryFieldInItsPlace) {
  CamsimOptions options;
  options.Inputs = 2;
  options.Outputs = 1;
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const std::string port = std::to_string(camera.HttpPort());
  const CamctlRun run = RunCamctl({"io", "--address", "127.0.0.1", "--port", port, "--inputs", "2",
                                   "--outputs", "1", "--set", "0=on", "--json"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(WithoutTimes(run.Out),
            "{\"address\":\"127.0.0.1\",\"port\":" + port +
                ",\"inputs\":2,\"outputs\":1,\"started\":true,\"stopped\":true,\"interrupted\":false,"
                "\"changes\":[{\"time\":\"T\",\"index\":0,\"state\":\"off\"},{\"time\":\"T\",\"index\":1,"
                "\"state\":\"off\"}],\"failures\":[],\"outputs_set\":[{\"index\":0,\"state\":\"on\","
                "\"queued\":true}],\"ok\":true}\n");
}

TEST_F(CamctlJson, StreamSummaryNamesItsFiguresInOrder) {
  CamsimOptions options;
  options.Rtsp = true;
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const TempDir dir;
  const CamctlRun run =
      RunCamctl({"stream", "--address", "127.0.0.1", "--port", std::to_string(camera.HttpPort()), "--codec",
                 "mjpeg", "--seconds", "1", "--out", dir.Path() + "/s.mjpeg", "--json"});
  ASSERT_EQ(run.Out.find('\n'), run.Out.size() - 1) << run.Out;
  EXPECT_EQ(run.Out.rfind("{\"ok\":", 0), 0u) << run.Out;
  size_t at = 0;
  for (const char* key : {"frames", "decoded", "decode_errors", "key_frames", "bytes", "width", "height",
                          "fourcc", "first_frame_ms", "stop_ms", "states", "last_frame_ms", "diagnostics"}) {
    const size_t found = run.Out.find(",\"" + std::string(key) + "\":", at);
    ASSERT_NE(found, std::string::npos) << key << " in " << run.Out;
    at = found;
  }
  EXPECT_EQ(run.Out.substr(run.Out.size() - 2), "}\n");
}

}  // namespace
}  // namespace camctlcheck
