// Base64 as attachments, AUTH LOGIN and Basic authorization use it.
#include <gtest/gtest.h>

#include "crashreport/delivery/TrBase64.h"

namespace tracira {
namespace {

TEST(Base64, EncodesAndDecodesKnownVectors) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0\xFF\xFE", 3), "AP/+"},
      {"user:pa ss", "dXNlcjpwYSBzcw=="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64EncodeString(c.bytes), c.text);
    EXPECT_EQ(CalcEncodedSize(c.bytes.size()), c.text.size());
    EXPECT_EQ(Base64Decode(c.text), c.bytes) << c.text;
  }
}

TEST(Base64, AttachmentTextBreaksAfterEvery80Characters) {
  // 120 bytes make exactly 160 characters: two full lines, each with its break.
  const std::string bytes120(120, '\x5A');
  const std::string text = Base64EncodeToString(bytes120);
  ASSERT_EQ(text.size(), 164u);
  EXPECT_EQ(text.substr(80, 2), "\r\n");
  EXPECT_TRUE(text.ends_with("\r\n"));
  EXPECT_EQ(text.find('\r'), 80u);
  EXPECT_EQ(Base64Decode(text), bytes120);

  // One more byte: a third, short line without a break.
  const std::string text121 = Base64EncodeToString(bytes120 + "x");
  EXPECT_EQ(text121.size(), 164u + 4u);
  EXPECT_FALSE(text121.ends_with("\n"));
  EXPECT_EQ(Base64Decode(text121), bytes120 + "x");

  // Short texts stay on one line.
  EXPECT_EQ(Base64EncodeToString("foo"), "Zm9v");
}

TEST(Base64, DecodeRefusesMalformedText) {
  for (const char* bad : {"Zg=", "Z===", "Zm9v!A==", "Zh==", "Zg==Zg==", "Zm=v", "Zm 9v"})
    EXPECT_EQ(Base64Decode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace tracira
