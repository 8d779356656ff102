// camctl stream names the transport the module chose and the losses it reported.

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "camctl_check_fixture.h"
#include "support/camsim_fixture.h"

namespace {

using camctlcheck::CamctlPath;
using camctlcheck::LineWith;
using camctlcheck::RunCamctl;

TEST(CamctlTransport, StreamSaysUdpWasBlockedAndTcpCarriesTheVideo) {
  if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
  testsupport::CamsimOptions options;
  options.Rtsp = true;
  options.ExtraArgs = {"--udp-blocked"};
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const auto run =
      RunCamctl({"stream", "--port", std::to_string(camera.HttpPort()), "--user", "admin", "--password",
                 "secret", "--codec", "h264", "--width", "320", "--height", "240", "--seconds", "9"});
  ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_NE(LineWith(run.Out, "transport          TCP: no RTP arrived over UDP within 5000 ms after PLAY"),
            "")
      << run.Out;
  EXPECT_NE(LineWith(run.Out, "loss               none reported"), "") << run.Out;
  EXPECT_NE(LineWith(run.Out, "hint               UDP blocked, streaming over TCP"), "") << run.Out;
}

}  // namespace
