// The mail text and the values that go into headers and SMTP commands.
#include <gtest/gtest.h>

#include "crashreport/delivery/TrBase64.h"
#include "crashreport/delivery/TrSmtpMessage.h"

namespace tracira {
namespace {

TEST(SmtpMessage, OneStringFoldsEveryControlRun) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"a\r\nb", "a b"},
      {"a\r\n\r\n\tb", "a b"},
      {std::string("x\0y", 3), "x y"},
      {"\x1b[1mbold\x7F!", "[1mbold !"},
      {" \r\n padded \n", "padded"},
  };
  for (const auto& c : cases) EXPECT_EQ(OneString(c.in), c.out) << c.in;
}

TEST(SmtpMessage, SplitsRecipientsAtCommasAndSemicolons) {
  EXPECT_EQ(SplitRecipients("a@x.com; b@y.org,c@z.net"),
            (std::vector<std::string>{"a@x.com", "b@y.org", "c@z.net"}));
  EXPECT_TRUE(SplitRecipients(" ,; ,").empty());
  // A line break inside an entry can't start a command of its own.
  EXPECT_EQ(SplitRecipients("a@x\r\nRSET"), (std::vector<std::string>{"a@x RSET"}));
}

TEST(SmtpMessage, FromHeaderAndEnvelope) {
  const struct {
    std::string from, user, header, envelope;
  } cases[] = {
      {"dev@tavrix.test", "Ivan Petrov", "\"Ivan Petrov\" <dev@tavrix.test>", "dev@tavrix.test"},
      // A display name already there: used unchanged.
      {"\"Bench\" <dev@tavrix.test>", "Ivan", "\"Bench\" <dev@tavrix.test>", "dev@tavrix.test"},
      // Text after the address doesn't end up in MAIL FROM.
      {"Bench <dev@tavrix.test> (lab)", "Ivan", "Bench <dev@tavrix.test> (lab)", "dev@tavrix.test"},
      // A quote in the user's name would end the display name.
      {"dev@tavrix.test", "I\"van", "\"Ivan\" <dev@tavrix.test>", "dev@tavrix.test"},
      {"\"Bench\" dev@tavrix.test", "Ivan", "\"Bench\" dev@tavrix.test", "dev@tavrix.test"},
      // A line break can't reach the header or MAIL FROM.
      {"dev@tavrix.test\r\nRCPT TO:<x@y>", "Ivan", "dev@tavrix.test RCPT TO:<x@y>", "x@y"},
  };
  for (const auto& c : cases) {
    const TFromAddress from = MakeFromAddress(c.from, c.user);
    EXPECT_EQ(from.Header, c.header) << c.from;
    EXPECT_EQ(from.Envelope, c.envelope) << c.from;
  }
}

TMailMessage SampleMessage() {
  TMailMessage m;
  m.Date = "Fri, 11 Dec 2026 10:15:00 +0300";
  m.FromHeader = "\"Ivan\" <dev@tavrix.test>";
  m.Subject = "Crash in Tavrix";
  m.Recipient = "support@tavrix.test";
  m.TickCount = 123456;
  m.Body = "Report follows.";
  return m;
}

TEST(SmtpMessage, LayoutWithOneAttachment) {
  TMailMessage m = SampleMessage();
  m.Attachments.push_back({"BugReport.zip", "PK\x03\x04"});
  const std::string expected =
      "Date: Fri, 11 Dec 2026 10:15:00 +0300\r\n"
      "From: \"Ivan\" <dev@tavrix.test>\r\n"
      "Subject: Crash in Tavrix\r\n"
      "To: <support@tavrix.test>\r\n"
      "Content-Type: multipart/mixed; boundary=\"=_xcjvnxkbhvfkxzhfdbvzldjhfv\";\r\n"
      "MIME-Version: 1.0\r\n"
      "Message-ID: <123456@tracira.localhost>\r\n"
      "\r\n"
      "This is a multi-part message in MIME format\r\n"
      "\r\n"
      "--=_xcjvnxkbhvfkxzhfdbvzldjhfv\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "\r\n"
      "Report follows.\r\n"
      "\r\n"
      "--=_xcjvnxkbhvfkxzhfdbvzldjhfv\r\n"
      "Content-Type: application/octet-stream;\r\n"
      "        name=\"BugReport.zip\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment;\r\n"
      "        filename=\"BugReport.zip\"\r\n"
      "\r\n"
      "UEsDBA==\r\n"
      "--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n"
      ".\r\n";
  EXPECT_EQ(ComposeMessage(m), expected);
}

TEST(SmtpMessage, WithoutAttachmentsThereIsNoAttachmentBlock) {
  TMailMessage m = SampleMessage();
  m.Attachments.push_back({"", "ignored"});
  const std::string text = ComposeMessage(m);
  EXPECT_EQ(text.find("Content-Disposition"), std::string::npos);
  EXPECT_TRUE(text.ends_with("Report follows.\r\n--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n.\r\n"));
}

TEST(SmtpMessage, AttachmentTypeAndBytesSurvive) {
  EXPECT_EQ(AttachmentContentType("shot.PnG"), "image/png");
  EXPECT_EQ(AttachmentContentType("png"), "application/octet-stream");
  EXPECT_EQ(AttachmentContentType("BugReport.zip"), "application/octet-stream");

  // 120 bytes with NULs and line-break bytes: two Base64 lines of 80.
  std::string bytes;
  for (int i = 0; i < 120; ++i) bytes += static_cast<char>(i * 37);
  TMailMessage m = SampleMessage();
  m.Attachments.push_back({"Screen \"1\".png", bytes});
  const std::string text = ComposeMessage(m);
  EXPECT_NE(text.find("Content-Type: image/png;\r\n        name=\"Screen 1.png\"\r\n"), std::string::npos);
  const std::size_t start = text.find("\r\n\r\n", text.find("filename=")) + 4;
  const std::size_t end = text.find("\r\n--=_", start);
  const std::string base64 = text.substr(start, end - start);
  // Two lines of 80, each with its break; the block's own break follows.
  EXPECT_EQ(base64.size(), 164u);
  EXPECT_EQ(base64.substr(80, 2), "\r\n");
  EXPECT_EQ(Base64Decode(base64), bytes);
}

TEST(SmtpMessage, BodyLinesStartingWithDotArriveIntact) {
  TMailMessage m = SampleMessage();
  m.Body = "first\r\n.\r\n.hidden\nbare lf\rbare cr\r\n..two";
  const std::string text = ComposeMessage(m);
  EXPECT_NE(text.find("\r\nfirst\r\n..\r\n..hidden\r\nbare lf\r\nbare cr\r\n...two\r\n"), std::string::npos);
  // The only line that is a single "." is the last one; no lone CR or LF.
  EXPECT_EQ(text.find("\r\n.\r\n"), text.size() - 5);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') EXPECT_EQ(text[i + 1], '\n') << i;
    if (text[i] == '\n') EXPECT_EQ(text[i - 1], '\r') << i;
  }
}

TEST(SmtpMessage, HeaderValuesCannotAddHeaders) {
  TMailMessage m = SampleMessage();
  m.Subject = "Crash\r\nBcc: victim@else.test";
  m.Recipient = "support@tavrix.test>\nBcc: x@y";
  m.Date = "today\r\n\r\nbody starts early";
  const std::string text = ComposeMessage(m);
  EXPECT_EQ(text.find("\r\nBcc:"), std::string::npos);
  EXPECT_NE(text.find("\r\nSubject: Crash Bcc: victim@else.test\r\n"), std::string::npos);
  EXPECT_EQ(text.find("\r\n\r\n"), text.find("\r\n\r\nThis is a multi-part"));
}

}  // namespace
}  // namespace tracira
