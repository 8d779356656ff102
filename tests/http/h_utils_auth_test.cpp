#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "http/h_utils.h"
#include "http/md5.h"

namespace korvalt {
namespace {

TEST(MD5Hex, MatchesTheRfc1321TestSuite) {
  const std::pair<std::string, std::string> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, digest] : suite) EXPECT_EQ(HUtils::MD5Hex(text), digest) << '"' << text << '"';
  // Block-boundary lengths around the 56-byte padding limit.
  EXPECT_EQ(HUtils::MD5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(HUtils::MD5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(HUtils::MD5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Base64Encode, PadsAndRefusesWhatDoesNotFit) {
  struct Case {
    std::string User;
    std::string Password;
    bool Ok;
    std::string Encoded;
  };
  const Case cases[] = {
      {"", "", true, "Og=="},
      {"admin", "12345", true, "YWRtaW46MTIzNDU="},             // 11 bytes: one "="
      {"admin", "123456", true, "YWRtaW46MTIzNDU2"},            // 12 bytes: no padding
      {std::string(40, 'u'), std::string(31, 'p'), true, ""},   // 72 bytes: 96 characters
      {std::string(40, 'u'), std::string(32, 'p'), false, ""},  // 73 bytes
  };
  for (const Case& c : cases) {
    std::string encoded;
    EXPECT_EQ(HUtils::EncodeCredentials(c.User, c.Password, encoded), c.Ok)
        << c.User.size() + c.Password.size();
    const size_t expectedSize = c.Ok ? (c.Encoded.empty() ? 96u : c.Encoded.size()) : 0u;
    EXPECT_EQ(encoded.size(), expectedSize);
    EXPECT_TRUE(c.Encoded.empty() || encoded == c.Encoded) << encoded;
  }

  char out[8];
  size_t capacity = sizeof out;
  EXPECT_FALSE(HUtils::Base64Encode(nullptr, 1, out, &capacity));
  EXPECT_FALSE(HUtils::Base64Encode(reinterpret_cast<const uint8_t*>("a"), 1, nullptr, &capacity));
  EXPECT_FALSE(HUtils::Base64Encode(reinterpret_cast<const uint8_t*>("a"), 1, out, nullptr));
  capacity = sizeof out;
  ASSERT_TRUE(HUtils::Base64Encode(reinterpret_cast<const uint8_t*>("ab"), 2, out, &capacity));
  EXPECT_EQ(std::string(out, capacity), "YWI=");
}

TEST(MD5Hex, PiecesAcrossBlockBoundariesGiveTheSameDigest) {
  const std::string text(130, 'q');
  for (const size_t piece : {1u, 7u, 55u, 64u, 65u}) {
    CMd5 md5;
    for (size_t at = 0; at < text.size(); at += piece) {
      const size_t length = std::min(piece, text.size() - at);
      md5.Update(reinterpret_cast<const uint8_t*>(text.data() + at), length);
    }
    std::string hex;
    for (const uint8_t byte : md5.Finish()) {
      static constexpr char kHex[] = "0123456789abcdef";
      hex += kHex[byte >> 4];
      hex += kHex[byte & 0x0F];
    }
    EXPECT_EQ(hex, HUtils::MD5Hex(text)) << piece;
  }
}

}  // namespace
}  // namespace korvalt
