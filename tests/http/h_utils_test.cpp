#include "http/h_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "support/recording_sink.h"

namespace korvalt {
namespace {

const std::string kCgi = "\r\n";

struct ValueCase {
  const char* Name;
  std::string Key;
  std::string Separator;
  std::string Text;
  std::string Terminators;
  std::string Expected;
};
void PrintTo(const ValueCase& c, std::ostream* os) {
  *os << c.Name;
}

class GetValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(GetValueTest, FindsTheValueOfTheFirstMatchingLine) {
  const ValueCase& c = GetParam();
  EXPECT_EQ(HUtils::GetValue(c.Key, c.Separator, c.Text, c.Terminators), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GetValueTest,
    ::testing::Values(ValueCase{"FirstLine", "model", "=", "model=AB-1\r\ninputs=2\r\n", kCgi, "AB-1"},
                      ValueCase{"SecondLine", "inputs", "=", "model=AB-1\r\ninputs=2\r\n", kCgi, "2"},
                      ValueCase{"MissingKey", "outputs", "=", "model=AB-1\r\ninputs=2\r\n", kCgi, ""},
                      ValueCase{"NameTrimmedValueNot", "model", "=", " model = x\r\n", kCgi, " x"},
                      ValueCase{"TabsAroundName", "model", "=", "\tmodel\t=x", kCgi, "x"},
                      ValueCase{"KeyInsideLongerName", "model", "=", "mymodel=1\r\nmodel=2", kCgi, "2"},
                      ValueCase{"KeyAsPrefixOfName", "model", "=", "modelx=1\r\nmodel=2\r\n", kCgi, "2"},
                      ValueCase{"KeyInsideValue", "model", "=", "name=model\r\nmodel=3\r\n", kCgi, "3"},
                      ValueCase{"KeyOnlyInsideValue", "model", "=", "name=model\r\n", kCgi, ""},
                      ValueCase{"EmptyValue", "model", "=", "model=\r\nx=1\r\n", kCgi, ""},
                      ValueCase{"SeparatorLastInText", "model", "=", "model=", kCgi, ""},
                      ValueCase{"FirstDuplicateWins", "a", "=", "a=1\r\na=2\r\n", kCgi, "1"},
                      ValueCase{"LoneLineFeedEndsLine", "b", "=", "a=1\nb=2\n", kCgi, "2"},
                      ValueCase{"LoneCarriageReturnEndsLine", "b", "=", "a=1\rb=2", kCgi, "2"},
                      ValueCase{"SeparatorOnNextLineOnly", "a", "=", "a\r\n=1", kCgi, ""},
                      ValueCase{"ValueKeepsLaterSeparators", "url", "=", "url=a=b\r\n", kCgi, "a=b"},
                      ValueCase{"RtspHeaderStyle", "Session", ":",
                                "RTSP/1.0 200 OK\r\nSession: 12;timeout=60\r\n", kCgi, " 12;timeout=60"},
                      ValueCase{"MultiCharacterSeparator", "k", ": ", "k: v\r\n", kCgi, "v"},
                      ValueCase{"EmptyKey", "", "=", "=1\r\n", kCgi, ""},
                      ValueCase{"EmptySeparator", "a", "", "a=1\r\n", kCgi, ""},
                      ValueCase{"EmptyTerminators", "a", "=", "a=1\r\n", "", ""},
                      ValueCase{"EmptyText", "a", "=", "", kCgi, ""},
                      ValueCase{"KeyHoldingTerminatorDoesNotHang", "\nmodel", "=", "x=1\nmodel\nmodel", "\n",
                                ""}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HUtilsParsing, IntAndIsValueFollowTheValue) {
  const std::string reply = "inputs=2\r\nbad=x7\r\nlead= 12abc\r\nempty=\r\nname=Cam\r\n";
  EXPECT_EQ(HUtils::GetIntValue("inputs", "=", reply, kCgi), 2);
  EXPECT_EQ(HUtils::GetIntValue("bad", "=", reply, kCgi), 0);
  EXPECT_EQ(HUtils::GetIntValue("lead", "=", reply, kCgi), 12);
  EXPECT_EQ(HUtils::GetIntValue("missing", "=", reply, kCgi), 0);
  EXPECT_TRUE(HUtils::IsValue("name", "=", "Cam", reply, kCgi));
  EXPECT_FALSE(HUtils::IsValue("name", "=", "cam", reply, kCgi));
  EXPECT_FALSE(HUtils::IsValue("empty", "=", "", reply, kCgi));
  EXPECT_FALSE(HUtils::IsValue("missing", "=", "", reply, kCgi));
}

TEST(HUtilsParsing, ValueListDropsEmptyPieces) {
  using List = std::vector<std::string>;
  EXPECT_EQ(HUtils::GetValueList("codecs", "=", "codecs=h264,,mjpeg,\r\n", ",", kCgi),
            (List{"h264", "mjpeg"}));
  EXPECT_EQ(HUtils::GetValueList("codecs", "=", "codecs=,h264", ",", kCgi), (List{"h264"}));
  EXPECT_EQ(HUtils::GetValueList("codecs", "=", "codecs=a;;b", ";;", kCgi), (List{"a", "b"}));
  EXPECT_EQ(HUtils::GetValueList("codecs", "=", "codecs=,,,", ",", kCgi), List{});
  EXPECT_EQ(HUtils::GetValueList("codecs", "=", "codecs=a,b", "", kCgi), List{});
  EXPECT_EQ(HUtils::GetValueList("missing", "=", "codecs=a", ",", kCgi), List{});
}

TEST(HUtilsStrings, SplitListKeepsInnerEmptyPieces) {
  using List = std::vector<std::string>;
  EXPECT_EQ(HUtils::SplitList("a,,b"), (List{"a", "", "b"}));
  EXPECT_EQ(HUtils::SplitList("a,b,"), (List{"a", "b"}));
  EXPECT_EQ(HUtils::SplitList(""), List{});
  EXPECT_EQ(HUtils::SplitList(",a"), (List{"", "a"}));
  EXPECT_EQ(HUtils::SplitList(" a , b"), (List{" a ", " b"}));
}

TEST(HUtilsStrings, ParseIntAcceptsOnlySignedDecimals) {
  struct Case {
    std::string Text;
    bool Ok;
    int Value;
  };
  const Case cases[] = {
      {"-12", true, -12},
      {"+7", true, 7},
      {"0", true, 0},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {"1 ", false, 0},
      {" 1", false, 0},
      {"1a", false, 0},
      {"+-1", false, 0},
      {"0x10", false, 0},
      {"2147483648", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    int out = 12345;
    EXPECT_EQ(HUtils::ParseInt(c.Text, out), c.Ok) << c.Text;
    EXPECT_EQ(out, c.Value) << c.Text;
  }
}

TEST(HUtilsStrings, TextHelpers) {
  EXPECT_EQ(HUtils::Trim(" \t a b \t"), "a b");
  EXPECT_EQ(HUtils::Trim(" \t "), "");
  EXPECT_EQ(HUtils::Trim("\r\na\r\n"), "\r\na\r\n");
  EXPECT_EQ(HUtils::RemoveChars("a-b_c-", "-_"), "abc");
  EXPECT_EQ(HUtils::ToLower("AbC1"), "abc1");
  EXPECT_EQ(HUtils::ToUpper("AbC1"), "ABC1");
  // Bytes above 127 are valid input (UTF-8 names) and must pass through untouched.
  EXPECT_EQ(HUtils::ToLower("\xC3\x84X"), "\xC3\x84x");
  EXPECT_EQ(HUtils::ToUpper("\xC3\xA4x"), "\xC3\xA4X");
  const std::string longText(10000, 'x');
  EXPECT_EQ(HUtils::Format("%s|%d%%", longText.c_str(), 5), longText + "|5%");
}

TEST(HUtilsResolve, NumericAddressesResolveWithoutTheSystem) {
  EXPECT_EQ(HUtils::ResolveHost(""), 0u);
  EXPECT_EQ(HUtils::ResolveHost("127.0.0.1"), htonl(0x7f000001));
  EXPECT_EQ(HUtils::ResolveHost("10.1.2.3"), htonl(0x0a010203));
}

TEST(HUtilsResolve, LocalNameResolvesToIpv4) {
  // A bare build root may have no /etc/hosts: then the system itself cannot resolve the name,
  // which says nothing about the module.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo("localhost", nullptr, &hints, &found) != 0 || found == nullptr) {
    GTEST_SKIP() << "this system does not resolve \"localhost\"";
  }
  const uint32_t expected = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  EXPECT_EQ(HUtils::ResolveHost("localhost"), expected);
}

TEST(HUtilsShouldLog, ThinsRepeatedMessagesEverMoreRarely) {
  testsupport::RecordingSink sink;
  std::vector<uint32_t> logged;  // 1-based call numbers that were allowed through
  for (uint32_t call = 1; call <= 65536; ++call) {
    if (HUtils::ShouldLog(&sink)) logged.push_back(call);
  }
  const std::vector<uint32_t> head(logged.begin(), logged.begin() + 16);
  EXPECT_EQ(head, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 32}));
  auto was = [&](uint32_t call) { return std::find(logged.begin(), logged.end(), call) != logged.end(); };
  EXPECT_FALSE(was(15));
  EXPECT_TRUE(was(240));
  EXPECT_FALSE(was(254));  // multiples of 16 stop at 254
  EXPECT_TRUE(was(256));
  EXPECT_FALSE(was(272));
  EXPECT_TRUE(was(3840));
  EXPECT_TRUE(was(4096));
  EXPECT_FALSE(was(4352));
  EXPECT_TRUE(was(61440));
  // Call 65535 wraps the counter to 4095 (not logged); the next one is 4096 again.
  EXPECT_FALSE(was(65535));
  EXPECT_TRUE(was(65536));
  EXPECT_EQ(logged.size(), 14u + 15u + 15u + 15u + 1u);
  EXPECT_EQ(sink.RepetitionCounter.load(), 4096u);
  EXPECT_FALSE(HUtils::ShouldLog(nullptr));
}

TEST(HUtilsShouldLog, CountsEveryCallFromSeveralThreads) {
  testsupport::RecordingSink sink;
  constexpr int kThreads = 4;
  constexpr int kCalls = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&sink] {
      for (int i = 0; i < kCalls; ++i) HUtils::ShouldLog(&sink);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sink.RepetitionCounter.load(), static_cast<uint32_t>(kThreads * kCalls));
}

}  // namespace
}  // namespace korvalt
