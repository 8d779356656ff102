// Cameras' RTSP dialects through the exports: an H.265-only camera gets a clear word and the slow
// retry, and a keep-alive the camera answers with 454 reconnects at once.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "http/refusal_backoff.h"
#include "media/channels/supervision_intervals.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/decoder.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;

// UDP ports of this process between first and last: the channel's RTP port among them.
std::vector<uint16_t> OwnUdpPorts(uint16_t first, uint16_t last) {
  std::set<std::string> inodes;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      char target[256] = {};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      const std::string text(target, n > 0 ? static_cast<size_t>(n) : 0);
      if (text.rfind("socket:[", 0) == 0) inodes.insert(text.substr(8, text.size() - 9));
    }
    closedir(dir);
  }
  std::vector<uint16_t> ports;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const uint16_t port = static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    if (port >= first && port <= last && inodes.count(inode) != 0) ports.push_back(port);
  }
  return ports;
}

// A foreign H.264 stream from the camera's address: other source port, other SSRC.
void SendForeignStream(uint16_t to, int datagrams) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(to);
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < datagrams; ++i) {
    const uint16_t seq = static_cast<uint16_t>(i);
    const uint32_t ts = static_cast<uint32_t>(i) * 3000;
    const uint8_t packet[] = {0x80,
                              0x80 | 96,  // V=2; marker, PT=96
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq),  // sequence number
                              static_cast<uint8_t>(ts >> 24),
                              static_cast<uint8_t>(ts >> 16),
                              static_cast<uint8_t>(ts >> 8),
                              static_cast<uint8_t>(ts),  // timestamp
                              0xF0,
                              0x0F,
                              0xF0,
                              0x0F,  // SSRC of the other stream
                              0x65,
                              0x88,
                              0x84,
                              0x00,
                              0x33,
                              0xFF,
                              0x12,
                              0x34,
                              0x56,
                              0x78};  // an IDR slice of nothing sensible
    sendto(fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  close(fd);
}

class SessionDialects : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
    setenv(korvalt::CRefusalBackoff::kFirstDelayVariable, "100", 1);
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
  }

  void TearDown() override {
    if (Driver != nullptr) Module.Delete(Driver);
  }

  void Open(uint16_t httpPort) {
    Params.Config.Address = "127.0.0.1";
    Params.Config.Port = httpPort;
    Params.Config.UserName = "admin";
    Params.Config.Password = "secret";
    Params.Config.CodecType = ipc::kCodecTypeH264;
    Params.Config.Channels = 1;
    Driver = Module.Create();
    ASSERT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
    ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  }

  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  hostkit::FrameSink Frames;
  hostkit::ChannelSettings Settings{40, 60, 320, 240};
  ipc::IIPCaptureDriverEx3* Driver = nullptr;
};

TEST_F(SessionDialects, AnH265OnlyCameraIsToldOnceAndAskedAgainOnlySlowly) {
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\na=control:trackID=0\r\n";
  const std::string describe =
      "RTSP/1.0 200 OK\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
      "\r\n\r\n" + sdp;
  testsupport::ScriptedTcpServer rtsp(
      testsupport::ScriptedTcpServer::Replies(std::vector<std::string>(50, describe)));
  testsupport::CamsimOptions options;
  options.RtspPort = rtsp.Port();
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  Open(camera.HttpPort());
  // 9 s here are 90 s at the back-off's real pace.
  std::this_thread::sleep_for(std::chrono::seconds(9));
  Module.Delete(Driver);
  Driver = nullptr;

  const std::vector<std::string> requests = rtsp.Requests();
  const auto count = [&](const std::string& method) {
    return std::count_if(requests.begin(), requests.end(),
                         [&](const std::string& r) { return r.rfind(method + " ", 0) == 0; });
  };
  EXPECT_EQ(count("SETUP"), 0) << "a track the channel cannot hand over is not set up";
  EXPECT_GE(count("DESCRIBE"), 3);
  EXPECT_LE(count("DESCRIBE"), 8) << "a retry per second would be 9";
  const std::string line =
      "korvalt::CBaseRTSPChannel::StartSession: camera 127.0.0.1 offers only H265/90000, the channel needs "
      "H264: set the camera's stream to H.264; next try in ";
  EXPECT_EQ(Debug.Count(line), 1u);
  for (const auto& l : Debug.Lines()) {
    if (l.Text.rfind(line, 0) == 0) {
      EXPECT_EQ(l.Level, ipc::kDebugLevelError);
    }
  }
  EXPECT_EQ(Frames.Frames.load(), 0u);
}

TEST_F(SessionDialects, AKeepAliveAnsweredWith454ReconnectsAtOnce) {
  testsupport::CamsimOptions options;
  options.Rtsp = true;
  options.ExtraArgs = {"--session-timeout", "4"};  // a keep-alive every 2 s
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  Open(camera.HttpPort());
  ASSERT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= 10; }, 30000));
  EXPECT_NE(camera.SimGet("/sim/sessions?act=drop"), "dropped=0\r\n");
  ASSERT_TRUE(testsupport::Eventually(
      [&] {
        return Debug.Count(
                   "korvalt::CBaseRTSPChannel::KeepAliveTick: camera 127.0.0.1: keep-alive OPTIONS "
                   "failed: 454") == 1;
      },
      10000));
  const uint64_t before = Frames.Frames.load();
  EXPECT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= before + 10; }, 15000));
  EXPECT_EQ(Debug.Count("Signal was lost"), 0u) << "reconnected before the signal-loss time-out";
  for (const auto& l : Debug.Lines()) {
    if (l.Text.find("keep-alive") != std::string::npos) {
      EXPECT_EQ(l.Level, ipc::kDebugLevelError);
    }
  }
}

TEST_F(SessionDialects, AForeignStreamFromTheCamerasAddressReachesNoPicture) {
  testsupport::CamsimOptions options;
  options.Rtsp = true;
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  std::mutex lock;
  size_t pictures = 0;
  size_t errors = 0;
  std::unique_ptr<hostkit::Decoder> decoder;
  hostkit::FrameSink sink([&](const hostkit::FrameSample& sample) {
    std::lock_guard<std::mutex> guard(lock);
    if (!decoder) decoder = std::make_unique<hostkit::Decoder>(sample.FourCC);
    if (!decoder->Decode(sample.Data.data(), sample.DataSize)) ++errors;
    ++pictures;
    return true;
  });
  Params.Config.Address = "127.0.0.1";
  Params.Config.Port = camera.HttpPort();
  Params.Config.CodecType = ipc::kCodecTypeH264;
  Params.Config.Channels = 1;
  Driver = Module.Create();
  ASSERT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &sink, &Settings));
  ASSERT_TRUE(testsupport::Eventually(
      [&] {
        std::lock_guard<std::mutex> guard(lock);
        return pictures >= 10;
      },
      30000));
  const std::vector<uint16_t> ports = OwnUdpPorts(3556, 4555);
  ASSERT_FALSE(ports.empty());
  constexpr int kForeign = 300;
  for (const uint16_t port : ports) {
    if (port % 2 == 0) SendForeignStream(port, kForeign);
  }
  const size_t before = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return pictures;
  }();
  ASSERT_TRUE(testsupport::Eventually(
      [&] {
        std::lock_guard<std::mutex> guard(lock);
        return pictures >= before + 10;
      },
      10000));
  Module.Delete(Driver);
  Driver = nullptr;
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(errors, 0u) << "no foreign picture reached the host";
  ASSERT_EQ(Debug.Count("korvalt::CBaseRTPChannel::OnRTPPacket: camera 127.0.0.1: dropped "), 1u);
  for (const auto& l : Debug.Lines()) {
    if (l.Text.find("datagrams of other streams") == std::string::npos) continue;
    const unsigned long dropped = std::stoul(l.Text.substr(l.Text.find("dropped ") + 8));
    EXPECT_GE(dropped, static_cast<unsigned long>(kForeign));
  }
}

}  // namespace
