// The MX query and the reading of answers, hostile ones included.
#include <gtest/gtest.h>

#include <fstream>

#include "DnsAnswer.h"
#include "crashreport/delivery/TrDns.h"
#include "crashreport/delivery/TrSocketError.h"

namespace tracira {
namespace {

using test::Labels;
using test::Pointer;
using test::TAnswer;

TEST(Dns, DomainOfAddress) {
  EXPECT_EQ(DomainOfAddress("support@tavrix.test"), "tavrix.test");
  EXPECT_EQ(DomainOfAddress("\"a@b\"@tavrix.test."), "tavrix.test");
  EXPECT_EQ(DomainOfAddress(" <dev@tavrix.test>"), "tavrix.test");
  for (const char* bad : {"nobody", "dev@", "dev@."})
    EXPECT_THROW(DomainOfAddress(bad), ETraciraSocketError) << bad;
}

TEST(Dns, Query) {
  const std::string expected = std::string("\xAB\xCD\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12) +
                               "\x06tavrix\x04test" + std::string("\x00\x00\x0F\x00\x01", 5);
  EXPECT_EQ(CreateMXQuery(0xABCD, "tavrix.test"), expected);
  EXPECT_EQ(CreateMXQuery(0xABCD, "tavrix.test."), expected);
  const std::string label63(63, 'a');
  EXPECT_NO_THROW(CreateMXQuery(1, label63 + ".test"));
  for (const std::string& bad : {std::string(), std::string("a..b"), std::string(".a"), label63 + "a.test",
                                 std::string("a b.test"), std::string("a\nb.test"), std::string(254, 'a')})
    EXPECT_THROW(CreateMXQuery(1, bad), ETraciraSocketError) << bad;
}

TEST(Dns, MailExchangersByPreferenceAndCnameIsNotOne) {
  TAnswer answer(0x1234, "tavrix.test");
  // A CNAME's target read as if it were an MX would give a "preference" of
  // its first two bytes and a garbled host.
  answer.Record(5, Labels("alias.tavrix.test"));
  answer.Mx(20, "\x03mx2" + Pointer(test::kQuestionName));
  answer.Mx(10, Labels("mx1.tavrix.test"));
  answer.Mx(20, Labels("backup.other.test"));
  answer.Record(1, std::string("\x7F\0\0\x01", 4));
  const auto hosts = ParseMXAnswer(answer.Text(), 0x1234, "Tavrix.Test");
  ASSERT_EQ(hosts.size(), 3u);
  EXPECT_EQ(hosts[0].Host, "mx1.tavrix.test");
  EXPECT_EQ(hosts[0].Preference, 10);
  EXPECT_EQ(hosts[1].Host, "mx2.tavrix.test");
  EXPECT_EQ(hosts[2].Host, "backup.other.test");
}

TEST(Dns, UnusableExchangersArePassedOver) {
  TAnswer answer(7, "tavrix.test");
  answer.Mx(0, std::string(1, '\0'));           // null MX: no mail here
  answer.Mx(5, std::string("\x04mx\0a\0", 6));  // a NUL inside the name
  answer.Mx(6, Labels("mx .tavrix.test"));      // a blank inside the name
  EXPECT_THROW(ParseMXAnswer(answer.Text(), 7, "tavrix.test"), ETraciraSocketError);
  answer.Mx(9, Labels("good.tavrix.test"));
  const auto hosts = ParseMXAnswer(answer.Text(), 7, "tavrix.test");
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].Host, "good.tavrix.test");
}

std::string WithFlags(std::string bytes, unsigned flags) {
  bytes[2] = static_cast<char>(flags >> 8);
  bytes[3] = static_cast<char>(flags & 0xFF);
  return bytes;
}

TEST(Dns, HostileAnswersFailWithTheReason) {
  const std::string good = TAnswer(9, "tavrix.test").Mx(10, Labels("mx.tavrix.test")).Text();
  ASSERT_NO_THROW(ParseMXAnswer(good, 9, "tavrix.test"));

  std::string longName;
  for (int i = 0; i < 5; ++i) longName += std::string(60, 'a') + ".";
  std::string selfPointer = TAnswer(9, "tavrix.test").Text();
  // An MX record whose exchange is a pointer to itself.
  {
    TAnswer a(9, "tavrix.test");
    const unsigned at = static_cast<unsigned>(a.Bytes.size()) + 2 + 2 + 2 + 4 + 2 + 2;
    a.Mx(10, Pointer(at));
    selfPointer = a.Text();
  }
  std::string twoStepLoop;
  {
    // label "x" then a pointer back to the label: each jump aims at the start.
    TAnswer a(9, "tavrix.test");
    const unsigned at = static_cast<unsigned>(a.Bytes.size()) + 2 + 2 + 2 + 4 + 2 + 2;
    a.Mx(10, "\x01x" + Pointer(at));
    twoStepLoop = a.Text();
  }

  const struct {
    std::string bytes;
    std::string reason;
  } cases[] = {
      {good.substr(0, 11), "shorter than a DNS header"},
      {TAnswer(8, "tavrix.test").Mx(10, Labels("mx.tavrix.test")).Text(), "ID isn't the query's"},
      {WithFlags(good, 0x0100), "a query, not an answer"},
      {WithFlags(good, 0x8183), "doesn't exist"},
      {WithFlags(good, 0x8182), "error 2"},
      {WithFlags(good, 0x8980), "another kind of query"},
      {TAnswer(9, "other.test").Mx(10, Labels("mx.other.test")).Text(), "another question"},
      {TAnswer(9, "tavrix.test").Text(), "no mail exchanger"},
      {WithFlags(TAnswer(9, "tavrix.test").Text(), 0x8380), "truncated"},
      {selfPointer, "doesn't point back"},
      {twoStepLoop, "doesn't point back"},
      {TAnswer(9, "tavrix.test").Mx(10, Pointer(0x3FFF)).Text(), "doesn't point back"},
      {TAnswer(9, "tavrix.test").Mx(10, Labels(longName)).Text(), "longer than 255"},
      {TAnswer(9, "tavrix.test").Mx(10, "\x42xx").Text(), "label type"},
      {TAnswer(9, "tavrix.test").Mx(10, Labels("mx.tavrix.test") + "junk").Text(), "length doesn't match"},
      {TAnswer(9, "tavrix.test").Record(15, "\x01").Text(), "too short"},
  };
  for (const auto& c : cases) {
    try {
      ParseMXAnswer(c.bytes, 9, "tavrix.test");
      ADD_FAILURE() << "accepted: " << c.reason;
    } catch (const ETraciraSocketError& e) {
      EXPECT_NE(e.Text().find(c.reason), std::string::npos) << e.Text();
      EXPECT_TRUE(e.Text().starts_with("Cannot resolve the \"tavrix.test\" MX record: ")) << e.Text();
    }
  }

  // Every cut of a good answer is refused cleanly (a cut record, not a read
  // past the end).
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_THROW(ParseMXAnswer(good.substr(0, n), 9, "tavrix.test"), ETraciraSocketError) << n;
}

}  // namespace
}  // namespace tracira
