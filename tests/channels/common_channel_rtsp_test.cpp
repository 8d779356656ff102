// Stream profile configuration: what the channel asks of the camera before each opening.

#include <gtest/gtest.h>

#include <string>

#include "media/channels/common_channel_rtsp.h"
#include "support/camsim_fixture.h"
#include "support/fake_driver.h"
#include "tools/hostkit/video.h"

namespace {

using korvalt::CCommonChannelRTSP;
using korvalt::StreamSettings;

// A channel whose configuration step can be driven directly, without a worker.
class ProfileChannel : public CCommonChannelRTSP {
 public:
  ProfileChannel(korvalt::IDriver* driver, korvalt::ipcapture::IFrameSink* sink, uint32_t codec)
      : CCommonChannelRTSP(0, driver, sink, codec) {}
  ~ProfileChannel() override { Stop(); }
  void ProcessPacket(const korvalt::RTP_PACKET_INFO&) override {}
  using CBaseCameraChannel::UseSettings;
  void SetRtspPort(uint32_t port) { RtspPort = port; }
};

std::string Profile(const std::string& resolution, uint32_t bitrate, const std::string& codec,
                    uint32_t framerate, uint32_t port, const std::string& tail) {
  return "resolution=" + resolution + "\r\nbitrate=" + std::to_string(bitrate) + "\r\ncodec=" + codec +
         "\r\nframerate=" + std::to_string(framerate) +
         "\r\ngoplength=1\r\nformat=RTP\r\nport=" + std::to_string(port) + "\r\n" + tail;
}

constexpr const char* kMulticast = "&multicast=off&multicast_addr=228.0.0.1&multicast_port=10000";

TEST(ProfileRequest, BuiltFromTheHostSettingsWhenAnyValueDiffers) {
  struct Case {
    const char* Name;
    uint32_t Codec;
    StreamSettings Settings;  // interval, quality, width, height
    std::string Current;
    std::string Expected;  // empty: no request
  };
  const std::string base = "/config/video.cgi?profileid=1";
  const Case cases[] = {
      {"documented H.264 example",
       3,
       {40, 50, 704, 480},
       "",
       base + "&resolution=704x480&bitrate=750&codec=H264&framerate=25&goplength=1&format=RTP" + kMulticast +
           "&port=554&vbr=33"},
      {"profile already matches",
       3,
       {40, 50, 704, 480},
       Profile("704x480", 750, "H264", 25, 554, "vbr=33\r\n"),
       ""},
      {"quality 100 caps the bit-rate index",
       3,
       {33, 100, 640, 480},
       "",
       base + "&resolution=640x480&bitrate=4000&codec=H264&framerate=30&goplength=1&format=RTP" + kMulticast +
           "&port=554&vbr=16"},
      {"quality 0",
       3,
       {1000, 0, 320, 240},
       "",
       base + "&resolution=320x240&bitrate=64&codec=H264&framerate=1&goplength=1&format=RTP" + kMulticast +
           "&port=554&vbr=50"},
      {"Motion-JPEG quality 100",
       1,
       {40, 100, 640, 480},
       "",
       base + "&resolution=640x480&bitrate=4000&codec=MJPEG&framerate=25&goplength=1&format=RTP" +
           kMulticast + "&port=554&quality=5"},
      {"Motion-JPEG quality 0",
       1,
       {40, 0, 640, 480},
       "",
       base + "&resolution=640x480&bitrate=64&codec=MJPEG&framerate=25&goplength=1&format=RTP" + kMulticast +
           "&port=554&quality=1"},
      {"MPEG-4 quality 100 and 0",
       2,
       {40, 100, 640, 480},
       "",
       base + "&resolution=640x480&bitrate=4000&codec=MPEG4&framerate=25&goplength=1&format=RTP" +
           kMulticast + "&port=554&vbr=3"},
      {"MPEG-4 quality 0",
       2,
       {40, 0, 640, 480},
       "",
       base + "&resolution=640x480&bitrate=64&codec=MPEG4&framerate=25&goplength=1&format=RTP" + kMulticast +
           "&port=554&vbr=31"},
      {"only vbr differs",
       3,
       {40, 50, 704, 480},
       Profile("704x480", 750, "H264", 25, 554, "vbr=20\r\n"),
       base + "&resolution=704x480&bitrate=750&codec=H264&framerate=25&goplength=1&format=RTP" + kMulticast +
           "&port=554&vbr=33"},
      {"missing codec counts as different",
       3,
       {40, 50, 704, 480},
       "resolution=704x480\r\nbitrate=750\r\nframerate=25\r\ngoplength=1\r\nformat=RTP\r\nport=554\r\nvbr="
       "33\r\n",
       base + "&resolution=704x480&bitrate=750&codec=H264&framerate=25&goplength=1&format=RTP" + kMulticast +
           "&port=554&vbr=33"},
      {"zero interval keeps the camera's rate",
       3,
       {0, 50, 704, 480},
       Profile("704x480", 750, "H264", 12, 554, "vbr=33\r\n"),
       ""},
  };
  testsupport::FakeDriver driver;
  hostkit::FrameSink sink;
  for (const Case& c : cases) {
    ProfileChannel channel(&driver, &sink, c.Codec);
    channel.UseSettings(c.Settings);
    EXPECT_EQ(channel.BuildProfileRequest(c.Current), c.Expected) << c.Name;
  }
}

TEST(ProfileRequest, FrameRateIsRoundedHalfUp) {
  const std::pair<uint32_t, std::string> cases[] = {{33, "framerate=30"},  {40, "framerate=25"},
                                                    {1000, "framerate=1"}, {67, "framerate=15"},
                                                    {1, "framerate=1000"}, {2000, "framerate=1&"}};
  testsupport::FakeDriver driver;
  hostkit::FrameSink sink;
  ProfileChannel channel(&driver, &sink, 3);
  for (const auto& [interval, expected] : cases) {
    channel.UseSettings({interval, 50, 640, 480});
    EXPECT_NE(channel.BuildProfileRequest("").find(expected), std::string::npos) << interval;
  }
}

TEST(ProfileRequest, OnlyAPortATcpConnectionCanHaveIsTakenFromTheProfile) {
  struct Case {
    const char* Profile;
    bool Found;
    uint32_t Port;  // after the call, starting from 554
  };
  const Case cases[] = {
      {"format=RTP\r\nport=8554\r\n", true, 8554},  {"format=RTP\r\nport=65535", true, 65535},
      {"format=RTP\r\nport=65536\r\n", false, 554}, {"format=RTP\r\nport=70000\r\n", false, 554},
      {"format=RTP\r\nport=-1\r\n", false, 554},    {"format=RTP\r\nport=0\r\n", false, 554},
      {"format=HTTP\r\nport=8554\r\n", false, 554}, {"", false, 554},
  };
  for (const Case& c : cases) {
    uint32_t port = CCommonChannelRTSP::kDefaultRtspPort;
    EXPECT_EQ(CCommonChannelRTSP::ProfileRtspPort(c.Profile, port), c.Found) << c.Profile;
    EXPECT_EQ(port, c.Port) << c.Profile;
  }
}

// Against the simulator: what reaches the camera.
class ProfileOnCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Camera.Ok());
    korvalt::DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = Camera.HttpPort();
    device.UserName = "admin";
    device.Password = "secret";
    device.NetworkTimeout = 2000;
    Driver.SetDeviceInfo(device);
  }

  // Profile-1 set requests that reached the camera.
  std::vector<std::string> SetRequests() {
    std::vector<std::string> sets;
    for (const auto& line : Camera.RequestLog()) {
      if (line.find("profileid=1&") != std::string::npos) sets.push_back(line);
    }
    return sets;
  }

  testsupport::Camsim Camera{testsupport::CamsimOptions{}};
  testsupport::FakeDriver Driver;
  hostkit::FrameSink Sink;
};

TEST_F(ProfileOnCamera, MatchingProfileGetsNoSetRequest) {
  ProfileChannel channel(&Driver, &Sink, 3);
  channel.UseSettings({40, 50, 704, 480});
  ASSERT_TRUE(channel.ConfigureCamera());
  ASSERT_EQ(SetRequests().size(), 1u) << "first configuration writes the profile";
  Camera.ClearLog();
  ASSERT_TRUE(channel.ConfigureCamera());
  EXPECT_TRUE(SetRequests().empty()) << "the camera already holds every value";
  EXPECT_EQ(channel.GetRtspPort(), Camera.RtspPort());
}

TEST_F(ProfileOnCamera, ProfilePortIsUsedAndWrittenBack) {
  ASSERT_FALSE(Camera.SimGet("/config/video.cgi?profileid=1&port=8554").empty());
  ProfileChannel channel(&Driver, &Sink, 1);
  channel.UseSettings({40, 75, 320, 240});
  Camera.ClearLog();
  ASSERT_TRUE(channel.ConfigureCamera());
  EXPECT_EQ(channel.GetRtspPort(), 8554u);
  const auto sets = SetRequests();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_NE(sets[0].find("&port=8554&quality=4"), std::string::npos) << sets[0];
  EXPECT_NE(sets[0].find("&codec=MJPEG"), std::string::npos) << sets[0];
}

TEST_F(ProfileOnCamera, NonRtpProfileMovesPastProfileTwosPort) {
  ASSERT_FALSE(Camera.SimGet("/config/video.cgi?profileid=1&format=HTTP").empty());
  ASSERT_FALSE(Camera.SimGet("/config/video.cgi?profileid=2&port=554").empty());
  ProfileChannel channel(&Driver, &Sink, 3);
  channel.UseSettings({40, 50, 704, 480});
  Camera.ClearLog();
  ASSERT_TRUE(channel.ConfigureCamera());
  EXPECT_EQ(channel.GetRtspPort(), 555u);
  const auto sets = SetRequests();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_NE(sets[0].find("&format=RTP"), std::string::npos);
  EXPECT_NE(sets[0].find("&port=555&"), std::string::npos) << sets[0];
}

TEST_F(ProfileOnCamera, UnreadableProfileFailsWithoutRequest) {
  ASSERT_TRUE(Camera.InjectFault("status", 1, 500));
  ProfileChannel channel(&Driver, &Sink, 3);
  channel.UseSettings({40, 50, 704, 480});
  Camera.ClearLog();
  EXPECT_FALSE(channel.ConfigureCamera());
  EXPECT_TRUE(SetRequests().empty());
}

}  // namespace
