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

TEST(RTSPFraming, IncompleteAndOversizedMessages) {
  size_t length = 0;
  CRTSPFraming::Scan scan;
  const std::string head = "RTSP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n";
  EXPECT_EQ(CRTSPFraming::NextMessage(head + "12345", 1024, length, scan), CRTSPFraming::Result::kIncomplete);
  // The scan goes on where it stopped while the buffer grows.
  EXPECT_EQ(CRTSPFraming::NextMessage(head + "1234567890", 1024, length, scan),
            CRTSPFraming::Result::kComplete);
  EXPECT_EQ(length, head.size() + 10);
  struct Case {
    const char* Name;
    std::string Text;
  };
  const Case tooLarge[] = {
      {"body beyond the limit", "RTSP/1.0 200 OK\r\nContent-Length: 2000\r\n\r\n"},
      {"length beyond any number", "RTSP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"},
      {"endless header block", "RTSP/1.0 200 OK\r\nX: " + std::string(1100, 'x')},
  };
  for (const Case& c : tooLarge) {
    CRTSPFraming::Scan fresh;
    EXPECT_EQ(CRTSPFraming::NextMessage(c.Text, 1024, length, fresh), CRTSPFraming::Result::kTooLarge)
        << c.Name;
  }
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
