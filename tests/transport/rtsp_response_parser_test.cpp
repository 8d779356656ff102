#include "transport/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

struct ResponseCase {
  const char* Name;
  std::string Text;
  int Method;
  bool Result;
  int Status;
  std::string Reason;
  std::string Session;
  int Timeout;
  int Scheme;
  std::string Realm;
  std::string Nonce;
};

void PrintTo(const ResponseCase& c, std::ostream* os) {
  *os << c.Name;
}

class ResponseParse : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseParse, ReadsStatusSessionAndChallenge) {
  const ResponseCase& c = GetParam();
  CRTSPResponseParser parser;
  EXPECT_EQ(parser.Parse(c.Text, c.Method), c.Result);
  EXPECT_EQ(parser.StatusCode, c.Status);
  EXPECT_EQ(parser.Reason, c.Reason);
  EXPECT_EQ(parser.Session, c.Session);
  EXPECT_EQ(parser.SessionTimeout, c.Timeout);
  EXPECT_EQ(parser.AuthScheme, c.Scheme);
  EXPECT_EQ(parser.Realm, c.Realm);
  EXPECT_EQ(parser.Nonce, c.Nonce);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResponseParse,
    ::testing::Values(
        ResponseCase{"SessionWithTimeout",
                     "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 12345678;timeout=60\r\n\r\n", kRtspSetup, true,
                     200, "OK", "12345678", 60, kRtspAuthNone, "", ""},
        ResponseCase{"SessionKeepsItsCase", "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: AbCdEf\r\n\r\n",
                     kRtspSetup, true, 200, "OK", "AbCdEf", 0, kRtspAuthNone, "", ""},
        ResponseCase{"SessionCaseKeptWithTimeout", "RTSP/1.0 200 OK\r\nSESSION: XyZ;Timeout=45\r\n\r\n",
                     kRtspSetup, true, 200, "OK", "XyZ", 45, kRtspAuthNone, "", ""},
        ResponseCase{"TimeoutZeroMeans30", "RTSP/1.0 200 OK\r\nSession: 77;timeout=0\r\n\r\n", kRtspSetup,
                     true, 200, "OK", "77", 30, kRtspAuthNone, "", ""},
        ResponseCase{"SessionWithOtherParameterFails", "RTSP/1.0 200 OK\r\nSession: 77;foo=1\r\n\r\n",
                     kRtspSetup, false, 200, "OK", "", 0, kRtspAuthNone, "", ""},
        ResponseCase{"SessionValueContainingAnotherHeaderName", "RTSP/1.0 200 OK\r\nSession: 4update\r\n\r\n",
                     kRtspSetup, true, 200, "OK", "4update", 0, kRtspAuthNone, "", ""},
        ResponseCase{"NotFoundIsFalseWithStatus", "RTSP/1.0 404 Not Found\r\nCSeq: 2\r\n\r\n", kRtspDescribe,
                     false, 404, "Not", "", 0, kRtspAuthNone, "", ""},
        ResponseCase{"StatusLineMissingReason", "RTSP/1.0 200\r\n\r\n", kRtspOptions, false, 0, "", "", 0,
                     kRtspAuthNone, "", ""},
        ResponseCase{"Empty", "", kRtspOptions, false, 0, "", "", 0, kRtspAuthNone, "", ""},
        ResponseCase{"DigestChallenge",
                     "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n"
                     "WWW-Authenticate: Digest realm=\"cam\", nonce=\"a1b2c3\"\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "cam", "a1b2c3"},
        ResponseCase{
            "DigestRealmIsTheWholeQuotedString",
            "RTSP/1.0 401 Unauthorized\r\n"
            "WWW-Authenticate: Digest realm=\"Streaming Server, Lobby\", nonce=\"n 1\", stale=FALSE\r\n\r\n",
            kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "Streaming Server, Lobby",
            "n 1"},
        ResponseCase{"DigestWithoutNonceFails",
                     "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"cam\"\r\n\r\n",
                     kRtspDescribe, false, 401, "Unauthorized", "", 0, kRtspAuthDigest, "cam", ""},
        ResponseCase{"CnonceIsNotTheNonce",
                     "RTSP/1.0 401 Unauthorized\r\n"
                     "WWW-Authenticate: Digest cnonce=\"x\", realm=\"r\", nonce=\"n\"\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "r", "n"},
        ResponseCase{"DigestBeatsBasicInAnyOrder",
                     "RTSP/1.0 401 Unauthorized\r\n"
                     "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n"
                     "WWW-Authenticate: Basic realm=\"basic realm\"\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "r", "n"},
        ResponseCase{
            "StrongestDigestWins",
            "RTSP/1.0 401 Unauthorized\r\n"
            "WWW-Authenticate: Basic realm=\"b\"\r\n"
            "WWW-Authenticate: Digest realm=\"r\", nonce=\"md5\", algorithm=MD5, qop=\"auth\"\r\n"
            "WWW-Authenticate: Digest realm=\"r\", nonce=\"sha\", algorithm=SHA-256, qop=\"auth\"\r\n"
            "WWW-Authenticate: Digest realm=\"r\", nonce=\"md5b\", algorithm=MD5-sess\r\n\r\n",
            kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "r", "sha"},
        ResponseCase{"AlgorithmWeCannotAnswerIsPassedOver",
                     "RTSP/1.0 401 Unauthorized\r\n"
                     "WWW-Authenticate: Digest realm=\"r\", nonce=\"x\", algorithm=SHA-512-256\r\n"
                     "WWW-Authenticate: Digest realm=\"r\", nonce=\"m\", algorithm=md5\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "r", "m"},
        ResponseCase{"OnlyAuthIntIsPassedOverForBasic",
                     "RTSP/1.0 401 Unauthorized\r\n"
                     "WWW-Authenticate: Digest realm=\"r\", nonce=\"x\", qop=\"auth-int\"\r\n"
                     "WWW-Authenticate: Basic realm=\"b\"\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthBasic, "b", ""},
        ResponseCase{"MissingBodyOfAnnouncedLengthFails", "RTSP/1.0 200 OK\r\nContent-Length: 10\r\n",
                     kRtspDescribe, false, 200, "OK", "", 0, kRtspAuthNone, "", ""},
        ResponseCase{"NoEmptyLineAndNoLengthSucceeds", "RTSP/1.0 200 OK\r\nCSeq: 4\r\n", kRtspOptions, true,
                     200, "OK", "", 0, kRtspAuthNone, "", ""},
        ResponseCase{"UnreadableCSeqFails", "RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n", kRtspOptions, false, 200,
                     "OK", "", 0, kRtspAuthNone, "", ""},
        ResponseCase{"LineFeedOnlyLineEnds", "RTSP/1.0 200 OK\nCSeq: 3\nSession: 12;timeout=60\n\n",
                     kRtspSetup, true, 200, "OK", "12", 60, kRtspAuthNone, "", ""},
        ResponseCase{"HeaderNamesInAnyCase",
                     "RTSP/1.0 401 Unauthorized\r\nCseq: 1\r\n"
                     "www-authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "cam", "n1"},
        ResponseCase{"SchemeInAnyCase",
                     "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: DIGEST realm=\"r\", nonce=\"n\"\r\n\r\n",
                     kRtspDescribe, true, 401, "Unauthorized", "", 0, kRtspAuthDigest, "r", "n"},
        ResponseCase{"ValueMentioningSessionIsNoSessionHeader",
                     "RTSP/1.0 200 OK\r\nSession: abc;timeout=60\r\nX-Info: Session kept\r\n\r\n", kRtspSetup,
                     true, 200, "OK", "abc", 60, kRtspAuthNone, "", ""}),
    [](const auto& info) { return std::string(info.param.Name); });

std::string DescribeAnswer(const std::string& sdp) {
  return "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Type: application/sdp\r\nContent-Length: " +
         std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

TEST(SdpParse, ControlsBelongToTheirMedia) {
  const std::string sdp =
      "v=0\r\na=control:*\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n"
      "m=audio 0 RTP/AVP 0\r\na=control:trackID=2\r\nm=application 0 RTP/AVP 107\r\na=control:trackID=9\r\n"
      "m=metadata 0 RTP/AVP 108\r\na=control:trackID=3\r\n";
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(DescribeAnswer(sdp), kRtspDescribe));
  EXPECT_EQ(parser.VideoControl, "trackID=1");
  EXPECT_EQ(parser.AudioControl, "trackID=2");
  EXPECT_EQ(parser.MetadataControl, "trackID=3");
  EXPECT_EQ(parser.ContentType, "application/sdp");
  EXPECT_EQ(parser.CSeq, 1u);
}

TEST(SdpParse, ContentBaseAbsoluteControlAndVideoConfiguration) {
  const std::string control = "rtsp://192.0.2.7:554/rtpvideo1.sdp/trackID=0/" + std::string(300, 'x');
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:" + control +
                          "\r\na=fmtp:96 profile-level-id=1; config=000001b0F5\r\n"
                          "m=audio 0 RTP/AVP 97\r\na=fmtp:97 config=1210\r\n";
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nContent-Base: rtsp://192.0.2.7/live/\r\nContent-Length: " +
                               std::to_string(sdp.size()) + "\r\n\r\n" + sdp,
                           kRtspDescribe));
  EXPECT_EQ(parser.ContentBase, "rtsp://192.0.2.7/live/");
  EXPECT_EQ(parser.VideoControl, control) << "a long URL is kept whole";
  EXPECT_EQ(parser.VideoConfig, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB0, 0xF5}))
      << "the audio's config is not";
  // Not hexadecimal, or an odd number of digits: left out, the earlier one stays.
  for (const char* bad : {"config=0G", "config=000"}) {
    ASSERT_TRUE(parser.Parse(DescribeAnswer(std::string("m=video 0 RTP/AVP 96\r\na=fmtp:96 ") + bad + "\r\n"),
                             kRtspDescribe));
    EXPECT_EQ(parser.VideoConfig.size(), 5u) << bad;
  }
}

TEST(ResponseParse, ReasonPhraseIsKeptWhole) {
  CRTSPResponseParser parser;
  EXPECT_FALSE(parser.Parse("RTSP/1.0 454 Session Not Found\r\nCSeq: 2\r\n\r\n", kRtspPlay));
  EXPECT_EQ(parser.Reason, "Session");
  EXPECT_EQ(parser.ReasonPhrase, "Session Not Found");
}

TEST(SdpParse, BodyIsParsedOnlyForDescribe) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(DescribeAnswer("m=video 0 RTP/AVP 96\r\na=control:v\r\n"), kRtspSetup));
  EXPECT_EQ(parser.VideoControl, "");
}

TEST(SdpParse, EmptyControlFailsAndClearsTheMember) {
  CRTSPResponseParser parser;
  parser.VideoControl = "old";
  EXPECT_FALSE(parser.Parse(DescribeAnswer("m=video 0 RTP/AVP 96\r\na=control:\r\n"), kRtspDescribe));
  EXPECT_EQ(parser.VideoControl, "");
}

TEST(SdpParse, ParameterSetsAreDecodedAndAppended) {
  // SPS of 18 bytes (24 characters), PPS of 4 bytes.
  const std::string fmtp =
      "m=video 0 RTP/AVP 96\r\n"
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==;"
      "profile-level-id=420029\r\n";
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(DescribeAnswer(fmtp), kRtspDescribe));
  ASSERT_EQ(parser.Sps.size(), 18u);
  EXPECT_EQ(parser.Sps[0], 0x67);
  EXPECT_EQ(parser.Pps, (std::vector<uint8_t>{0x68, 0xCE, 0x3C, 0x80}));
  ASSERT_TRUE(parser.Parse(DescribeAnswer(fmtp), kRtspDescribe));
  EXPECT_EQ(parser.Sps.size(), 36u);  // never cleared, appended to
}

TEST(SdpParse, ParameterSetsAsFirstFormatParameter) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(
      DescribeAnswer("m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=Z0IAKQ==,aM48gA==\r\n"),
      kRtspDescribe));
  EXPECT_EQ(parser.Sps, (std::vector<uint8_t>{0x67, 0x42, 0x00, 0x29}));
  EXPECT_EQ(parser.Pps.size(), 4u);
}

TEST(SdpParse, IncompleteOrOversizedParameterSetsAreLeftOut) {
  CRTSPResponseParser parser;
  const std::string tooLong(400, 'A');  // 300 bytes do not fit 256
  ASSERT_TRUE(parser.Parse(DescribeAnswer("a=fmtp:96 sprop-parameter-sets=Z0IAKQ==\r\n"
                                          "a=fmtp:96 sprop-parameter-sets=,aM48gA==\r\n"
                                          "a=fmtp:96 sprop-parameter-sets=" +
                                          tooLong + ",aM48gA==\r\n"),
                           kRtspDescribe));
  EXPECT_TRUE(parser.Sps.empty());
  EXPECT_EQ(parser.Pps.size(), 4u);  // the third line's second element still decodes
}

TEST(ResponseState, FieldsPersistUntilOverwritten) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: S1;timeout=60\r\n\r\n", kRtspSetup));
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nCSeq: 6\r\n\r\n", kRtspPlay));
  EXPECT_EQ(parser.CSeq, 6u);
  EXPECT_EQ(parser.Session, "S1");
  EXPECT_EQ(parser.SessionTimeout, 60);
  // A later Session without parameters keeps the time-out.
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nSession: S2\r\n\r\n", kRtspOptions));
  EXPECT_EQ(parser.Session, "S2");
  EXPECT_EQ(parser.SessionTimeout, 60);
  // CSeq is the last response's own: none here.
  EXPECT_FALSE(parser.CSeq.has_value());
}

TEST(Base64Decode, SkipsForeignCharactersAndStopsAtCapacity) {
  uint8_t out[4] = {};
  size_t length = 0;
  EXPECT_TRUE(CRTSPResponseParser::DecodeBase64("aM4 8\ngA==", out, sizeof out, length));
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(out[3], 0x80);
  EXPECT_TRUE(CRTSPResponseParser::DecodeBase64("QQ", out, 1, length));  // two characters: one byte
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(out[0], 'A');
  EXPECT_TRUE(CRTSPResponseParser::DecodeBase64("QUI", out, 2, length));
  EXPECT_EQ(length, 2u);
  EXPECT_FALSE(CRTSPResponseParser::DecodeBase64("QUJD", out, 2, length));  // three bytes into two
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(CRTSPResponseParser::DecodeBase64(std::string_view("QUJD\0QUJD", 9), out, 3, length));
  EXPECT_EQ(length, 3u);  // input ends at the zero byte
}

TEST(ResponseParserSession, TheSmallestAnnouncedTimeoutHolds) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nSession: 7;timeout=60\r\n\r\n", kRtspSetup));
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nSession: 7;timeout=120\r\n\r\n", kRtspPlay));
  EXPECT_EQ(parser.SessionTimeout, 60);
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nSession: 7;timeout=45\r\n\r\n", kRtspPlay));
  EXPECT_EQ(parser.SessionTimeout, 45);
  ASSERT_TRUE(parser.Parse("RTSP/1.0 200 OK\r\nSession: 7\r\n\r\n", kRtspOptions));
  EXPECT_EQ(parser.SessionTimeout, 45);
}

TEST(ResponseParserSdp, VideoEncodingsAreReadFromTheVideoMediaOnly) {
  CRTSPResponseParser parser;
  const std::string sdp =
      "v=0\r\nm=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/16000/2\r\n"
      "m=video 0 RTP/AVP 96 98\r\na=rtpmap:96 H265/90000\r\na=rtpmap:98  h264/90000\r\na=control:v\r\n";
  ASSERT_TRUE(parser.Parse(
      "RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp, kRtspDescribe));
  EXPECT_EQ(parser.VideoEncodings, (std::vector<std::string>{"H265/90000", "h264/90000"}));
  const std::string plain = "v=0\r\nm=video 0 RTP/AVP 26\r\na=control:v\r\n";
  ASSERT_TRUE(
      parser.Parse("RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(plain.size()) + "\r\n\r\n" + plain,
                   kRtspDescribe));
  EXPECT_TRUE(parser.VideoEncodings.empty()) << "each DESCRIBE answer replaces them";
}

}  // namespace
}  // namespace korvalt
