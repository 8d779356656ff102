// A DESCRIBE answer whose Content-Base and SDP come from the input: controls (relative or
// absolute), parameter sets and the MPEG-4 "config=" of the video. The SETUP request is built from
// what was parsed, and the announced configuration goes in front of a key frame led by a
// group-of-VOP header, as an MPEG-4 channel would use it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_host.h"
#include "media/parsers/mpeg4_rtp_media_parser.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The first line is the Content-Base (left out when empty), the rest the SDP.
  const size_t newline = input.find('\n');
  const std::string base = newline == std::string::npos ? std::string() : input.substr(0, newline);
  const std::string sdp = newline == std::string::npos ? input : input.substr(newline + 1);
  std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
  if (!base.empty() && base.find_first_of("\r\n") == std::string::npos)
    answer += "Content-Base: " + base + "\r\n";
  answer +=
      "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;

  korvalt::CBaseRTSPClient client;
  korvalt::RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = "192.0.2.10";
  params.UrlPath = size % 2 == 0 ? "rtpvideo1.sdp" : "";
  params.RequestUrlSelector = static_cast<int32_t>(size % 4);
  client.SetConnection(params);
  client.TakeResponse(answer.substr(0, answer.find('\0')), korvalt::kRtspDescribe);
  const std::string setup = client.BuildRequest(korvalt::kRtspSetup);
  if (setup.rfind("SETUP ", 0) != 0) __builtin_trap();

  fuzzhost::Driver driver;
  fuzzhost::Client sink;
  {
    korvalt::CMpeg4RTPMediaParser parser("fuzz", &driver);
    parser.SetClient(&sink);
    parser.AcceptConfiguration(client.VideoConfig());
    std::vector<uint8_t> payload = {0, 0, 1, 0xB3, 0x00, 0x10, 0x07, 0, 0, 1, 0xB6, 0x10, 0x55, 0x55};
    korvalt::RTP_PACKET_INFO info;
    info.Marker = 1;
    info.SequenceNumber = 1;
    info.Payload = payload.data();
    info.PayloadLength = static_cast<uint32_t>(payload.size());
    parser.ProcessPacket(info);
  }
  if (driver.SamplesLeaked()) __builtin_trap();
  return 0;
}
