#include "transport/rtsp_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvalt {
namespace {

// Cuts a buffer into messages as the client does, skipping line ends between them.
std::vector<std::string> Messages(std::string buffer, size_t maxSize = 1024) {
  std::vector<std::string> out;
  for (;;) {
    buffer.erase(0, CRTSPFraming::LeadingLineEnds(buffer));
    CRTSPFraming::Scan scan;
    size_t length = 0;
    if (CRTSPFraming::NextMessage(buffer, maxSize, length, scan) != CRTSPFraming::Result::kComplete) break;
    out.push_back(buffer.substr(0, length));
    buffer.erase(0, length);
  }
  return out;
}

TEST(RTSPFraming, SeveralAnswersInOneBufferAreCutAtTheirLengths) {
  const std::string describe = "RTSP/1.0 200 OK\r\nCSeq: 1\r\ncontent-length: 6\r\n\r\nv=0\r\n\r";
  const std::string setup = "RTSP/1.0 200 OK\nCSeq: 2\n\n";
  const std::string play = "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n";
  EXPECT_EQ(Messages(describe + "\n\r\n" + setup + play + "RTSP/1.0 200"),
            (std::vector<std::string>{describe, setup, play}));
}

TEST(RTSPFraming, SequenceNumberOfAMessage) {
  EXPECT_EQ(CRTSPFraming::SequenceNumber("RTSP/1.0 200 OK\r\nCseq : 42\r\n\r\n"), 42u);
  EXPECT_EQ(CRTSPFraming::SequenceNumber("RTSP/1.0 401 Unauthorized\r\nX-CSeq: 9\r\n\r\n"), std::nullopt);
  EXPECT_EQ(CRTSPFraming::SequenceNumber("RTSP/1.0 200 OK\r\n\r\nCSeq: 5\r\n"), std::nullopt)
      << "a body line";
  EXPECT_EQ(CRTSPFraming::SequenceNumber("RTSP/1.0 200 OK\r\nCSeq: 4294967296\r\n\r\n"), std::nullopt);
  EXPECT_TRUE(CRTSPFraming::IsEarlier(1, 2));
  EXPECT_FALSE(CRTSPFraming::IsEarlier(2, 2));
  EXPECT_TRUE(CRTSPFraming::IsEarlier(0xFFFFFFFFu, 0)) << "numbers wrap";
}

}  // namespace
}  // namespace korvalt
