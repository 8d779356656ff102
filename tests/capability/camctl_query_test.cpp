// camctl query, run as a child process against camsim.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/camsim_fixture.h"
#include "support/child_process.h"

namespace {

using testsupport::Camsim;
using testsupport::CamsimOptions;

using testsupport::CamctlPath;

// Runs camctl with the arguments; its stdout and exit status.
std::string RunCamctl(const std::string& arguments, int& status) {
  const std::string command = CamctlPath() + " " + arguments + " 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return out;
  }
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = pclose(pipe);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

class CamctlQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
  }
};

TEST_F(CamctlQuery, JsonMatchesTheCamerasConfiguration) {
  CamsimOptions options;
  options.Auth = "digest";
  options.User = "operator";
  options.Password = "pa ss";
  options.Model = "QL-6250";
  options.Standard = "pal";
  options.Inputs = 3;
  options.Outputs = 2;
  options.ExtraArgs = {"--firmware", "3.01b", "--mac", "00:11:22:AA:BB:CC"};
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());

  int status = -1;
  const std::string port = std::to_string(camera.HttpPort());
  const std::string out = RunCamctl(
      "query --address 127.0.0.1 --port " + port + " --user operator --password 'pa ss' --json", status);
  EXPECT_EQ(status, 0) << out;
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
  for (const std::string& expected : {
           std::string("{\"ok\":true,"),
           std::string("\"name\":\"Quenlark QL-6250\""),
           std::string("{\"id\":1,\"name\":\"ptz\",\"value\":1}"),
           std::string("{\"id\":2,\"name\":\"inputs\",\"value\":3}"),
           std::string("{\"id\":3,\"name\":\"outputs\",\"value\":2}"),
           std::string("\"codecs\":[\"mjpeg\",\"mpeg4\",\"h264\"]"),
           std::string("\"frameIntervals\":{\"default\":40,\"intervals\":[200,83,40]}"),
           std::string("{\"text\":\"704x576\",\"width\":704,\"height\":576,\"frameInterval\":40}"),
           std::string("\"address\":{\"address\":\"127.0.0.1\",\"port\":\"" + port +
                       "\",\"user\":\"operator\",\"password\":\"pa ss\"}"),
           std::string("{\"index\":1,\"name\":\"Video standard\",\"type\":\"number\",\"value\":\"0\"}"),
           std::string("{\"index\":2,\"name\":\"Firmware\",\"type\":\"text\",\"value\":\"3.01b\"}"),
           std::string("{\"index\":3,\"name\":\"MAC Address\",\"type\":\"text\",\"value\":\"001122AABBCC\"}"),
       }) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\nnot in\n" << out;
  }
}

TEST_F(CamctlQuery, FailureGivesCodeMessageAndStatus) {
  CamsimOptions options;
  options.Auth = "basic";
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const std::string port = std::to_string(camera.HttpPort());

  int status = -1;
  std::string out = RunCamctl("query --port " + port + " --user admin --password wrong --json", status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("{\"ok\":false,\"errorCode\":3,\"message\":\"Failed to get camera properties\""),
            std::string::npos)
      << out;

  out = RunCamctl("query --port " + port + " --user admin --password secret", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("name        Quenlark QL-3110"), std::string::npos) << out;
  EXPECT_EQ(out.find("secret"), std::string::npos) << "password shown in text output:\n" << out;
}

}  // namespace
