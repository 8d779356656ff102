// RTP and RTCP inside the RTSP connection: the framing of "$" frames among messages, and the
// client's reader that separates them while requests go on.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_tcp_server.h"
#include "transport/base_rtsp_client.h"
#include "transport/interleaved_reader.h"
#include "transport/rtsp_framing.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

using testsupport::ScriptedTcpServer;
using Clock = std::chrono::steady_clock;

std::string Frame(uint8_t channel, const std::string& data) {
  return std::string{'$', static_cast<char>(channel), static_cast<char>(data.size() >> 8),
                     static_cast<char>(data.size() & 0xFF)} +
         data;
}

// An RTP-looking payload (version 2) of n bytes.
std::string Rtp(size_t n, char fill = 'x') {
  std::string data(n, fill);
  data[0] = '\x80';
  return data;
}

struct Recorder : IInterleavedSink {
  void OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> guard(Lock);
    Frames.emplace_back(channel, std::string(reinterpret_cast<const char*>(data), length));
  }
  void OnInterleavedEnded() override { Ended = true; }
  std::vector<std::pair<uint8_t, std::string>> Taken() {
    std::lock_guard<std::mutex> guard(Lock);
    return Frames;
  }
  std::mutex Lock;
  std::vector<std::pair<uint8_t, std::string>> Frames;
  std::atomic<bool> Ended{false};
};

// Everything the buffer yields from bytes fed chunk bytes at a time: frames as "channel:data",
// responses as they stand.
std::vector<std::string> Units(const std::string& bytes, size_t chunk) {
  CRTSPConnectionBuffer buffer(1024);
  Recorder sink;
  std::vector<std::string> out;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    buffer.Append(bytes.data() + at, std::min(chunk, bytes.size() - at));
    std::string response;
    for (;;) {
      const auto taken = buffer.Take(&sink, response);
      for (const auto& [channel, data] : sink.Taken()) out.push_back(std::to_string(channel) + ":" + data);
      sink.Frames.clear();
      if (taken == CRTSPConnectionBuffer::Taken::kNeedMore) break;
      if (taken == CRTSPConnectionBuffer::Taken::kResponse) out.push_back(response);
      if (taken == CRTSPConnectionBuffer::Taken::kTooLarge) out.push_back("too large");
    }
  }
  return out;
}

TEST(InterleavedFraming, FramesAndResponsesAreSeparatedWhereverTheBytesAreCut) {
  const std::string rtp = Rtp(20);
  const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 4\r\n\r\n";
  const std::string serverRequest = "GET_PARAMETER rtsp://camera/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 9\r\n\r\n";
  const struct {
    const char* Name;
    std::string Bytes;
    std::vector<std::string> Expected;
  } cases[] = {
      {"an answer between two frames",
       Frame(0, rtp) + answer + Frame(1, rtp),
       {"0:" + rtp, answer, "1:" + rtp}},
      {"the server's own request is no answer", serverRequest + answer, {answer}},
      {"line ends after a body, stray bytes",
       "\r\n" + Frame(0, rtp) + "\x01\x02" + answer,
       {"0:" + rtp, answer}},
      {"a '$' whose data is no RTP is stray",
       std::string("$\x00\x00\x05hello", 9) + Frame(0, rtp),
       {"0:" + rtp}},
      {"an empty frame", Frame(0, "") + answer, {"0:", answer}},
      {"an answer too large is dropped, what follows is read",
       "RTSP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + Frame(0, rtp),
       {"too large", "0:" + rtp}},
  };
  for (const auto& c : cases) {
    for (const size_t chunk : {c.Bytes.size(), size_t{1}, size_t{3}, size_t{7}}) {
      std::vector<std::string> got = Units(c.Bytes, chunk);
      EXPECT_EQ(got, c.Expected) << c.Name << ", chunks of " << chunk;
    }
  }
}

TEST(InterleavedFraming, ALyingLengthHoldsNoMoreThanOneFrame) {
  // A length of 65535 swallows the answer behind it, but no more than that many bytes are held.
  CRTSPConnectionBuffer buffer(1024);
  const std::string swallowed = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n";
  const std::string lying = std::string("$\x00\xFF\xFF", 4) + Rtp(10) + swallowed;
  buffer.Append(lying.data(), lying.size());
  std::string response;
  EXPECT_EQ(buffer.Take(nullptr, response), CRTSPConnectionBuffer::Taken::kNeedMore);
  EXPECT_GT(buffer.Room(), 0u);
  const std::string rest(65535 - 10 - swallowed.size(), 'z');
  buffer.Append(rest.data(), rest.size());
  const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n";
  buffer.Append(answer.data(), answer.size());
  ASSERT_EQ(buffer.Take(nullptr, response), CRTSPConnectionBuffer::Taken::kResponse);
  EXPECT_EQ(response, answer) << "the stream is in step again after the frame";
}

RTSP_CONNECTION_PARAMS ParamsFor(uint16_t port) {
  RTSP_CONNECTION_PARAMS p;
  p.ServerAddress = "127.0.0.1";
  p.ServerPort = port;
  p.UrlPath = "rtpvideo1.sdp";
  p.ConnectTimeout = 5000;
  p.ReceiveTimeout = 5000;
  p.Interleaved = true;
  return p;
}

TEST(InterleavedClient, KeepAliveAnswerAmongFramesAndReportsBackOnTheRtcpChannel) {
  const std::string rtp = Rtp(1400, 'a');
  std::atomic<bool> reportSeen{false};
  ScriptedTcpServer server([&](ScriptedTcpServer::Connection& connection) {
    const auto setup = connection.ReadRequest();
    if (!setup || setup->find("Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n") == std::string::npos)
      return;
    // The server chooses channels 2 and 3.
    connection.Send(
        "RTSP/1.0 200 OK\r\nCSeq: 1\r\nSession: 5\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n\r\n");
    if (!connection.ReadRequest()) return;
    // PLAY's answer and the first frame in one piece.
    connection.Send("RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n" + Frame(2, rtp));
    const auto options = connection.ReadRequest();
    if (!options) return;
    // A frame cut in two, the keep-alive answer between two frames, trickled.
    const std::string next = Frame(2, rtp) + "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n" + Frame(3, Rtp(28, 'r'));
    connection.Trickle(next, 100, 1);
    const auto report = connection.ReadUntil(std::string(28, 'q').substr(0, 0) + "\x81\xC9", 5000);
    reportSeen = report.has_value() && report->find(std::string("$\x03\x00\x08", 4)) != std::string::npos;
    connection.Close();
  });
  Recorder sink;
  CBaseRTSPClient client;
  client.SetInterleavedSink(&sink);
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  ASSERT_TRUE(client.Exchange(kRtspSetup));
  EXPECT_TRUE(client.InterleavedAccepted());
  EXPECT_EQ(client.RtpChannel(), 2);
  EXPECT_EQ(client.RtcpChannel(), 3);
  ASSERT_TRUE(client.Exchange(kRtspPlay));
  ASSERT_TRUE(client.StartReader());
  ASSERT_TRUE(client.Exchange(kRtspOptions)) << client.FailureText();
  EXPECT_EQ(client.StatusCode(), 200);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (sink.Taken().size() < 3 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto frames = sink.Taken();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], std::make_pair(uint8_t{2}, rtp));
  EXPECT_EQ(frames[1], std::make_pair(uint8_t{2}, rtp));
  EXPECT_EQ(frames[2].first, 3);
  const uint8_t bye[8] = {0x81, 0xC9, 0, 1, 0, 0, 0, 9};  // stands in for a receiver report
  EXPECT_TRUE(client.SendInterleaved(client.RtcpChannel(), bye));
  // The server closes: the watch says so at once, and so does the reader's sink.
  const auto start = Clock::now();
  EXPECT_EQ(client.WatchConnection(10000), CBaseRTSPClient::Activity::kClosed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(sink.Ended.load());
  EXPECT_TRUE(reportSeen.load());
  client.Disconnect();
}

TEST(InterleavedClient, WatchWithoutReaderTellsAQuietConnectionFromAClosedOne) {
  std::atomic<bool> closeNow{false};
  ScriptedTcpServer server([&](ScriptedTcpServer::Connection& connection) {
    while (!closeNow.load()) {
      if (!connection.Pause(10)) return;
    }
    connection.Close();
  });
  RTSP_CONNECTION_PARAMS params = ParamsFor(server.Port());
  params.Interleaved = false;
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(params));
  EXPECT_EQ(client.WatchConnection(100), CBaseRTSPClient::Activity::kQuiet);
  closeNow = true;
  const auto start = Clock::now();
  EXPECT_EQ(client.WatchConnection(10000), CBaseRTSPClient::Activity::kClosed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  korvalt::platform::Event stop(korvalt::platform::Event::ResetMode::kManual);
  CBaseRTSPClient stopped(&stop);
  ASSERT_TRUE(stopped.Connect(params));
  stop.Set();
  EXPECT_EQ(stopped.WatchConnection(10000), CBaseRTSPClient::Activity::kStopped);
}

}  // namespace
}  // namespace korvalt
