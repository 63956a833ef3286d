// The SMTP dialogue driven the way the socket layer drives it, against
// scripted server replies, and the reply reader's limits.
#include <gtest/gtest.h>

#include "crashreport/delivery/TrSmtpSession.h"
#include "crashreport/delivery/TrSocketError.h"

namespace tracira {
namespace {

struct TExchange {
  std::string Command;  // what the session must send ("" for the greeting)
  std::string Reply;
};

// Plays the script; stops early when the session stops.
void Play(TSmtpSession& session, const std::vector<TExchange>& script) {
  for (const TExchange& step : script) {
    if (session.Done() || session.Failed()) return;
    EXPECT_EQ(session.TakeOutput(), step.Command);
    EXPECT_TRUE(session.AwaitingReply());
    session.Receive(step.Reply);
  }
}

TSmtpSessionOptions Options() {
  TSmtpSessionOptions o;
  o.HelloName = "bench-pc";
  o.EnvelopeFrom = "dev@tavrix.test";
  o.Recipient = "support@tavrix.test";
  o.MessageText = "Subject: x\r\n\r\nbody\r\n.\r\n";
  return o;
}

const std::vector<TExchange> kPlainScript = {
    {"", "220 mx.tavrix.test ESMTP\r\n"},
    {"HELO bench-pc\r\n", "250 mx.tavrix.test\r\n"},
    {"RSET\r\n", "250 OK\r\n"},
    {"MAIL FROM:<dev@tavrix.test>\r\n", "250 OK\r\n"},
    {"RCPT TO:<support@tavrix.test>\r\n", "251 User not local; will forward\r\n"},
    {"DATA\r\n", "354 End data with <CR><LF>.<CR><LF>\r\n"},
    {"Subject: x\r\n\r\nbody\r\n.\r\n", "250 Queued as 1234\r\n"},
};

TEST(SmtpSession, PlainDialogue) {
  TSmtpSession session(Options());
  EXPECT_EQ(session.Stage(), TSmtpSession::TStage::Greeting);
  Play(session, kPlainScript);
  ASSERT_TRUE(session.Done()) << session.ErrorText();
  EXPECT_EQ(session.TakeOutput(), "QUIT\r\n");
  EXPECT_EQ(session.TakeOutput(), "");
  EXPECT_NE(session.Log().find("RCPT TO:<support@tavrix.test>\r\n251 User not local"), std::string::npos);
  EXPECT_NE(session.Log().find("<message text of 23 bytes>"), std::string::npos);
}

TEST(SmtpSession, RepliesInPiecesAndBareLineFeeds) {
  TSmtpSession session(Options());
  std::vector<TExchange> script = kPlainScript;
  script[1].Reply = "250 mx\n";
  for (const TExchange& step : script) {
    ASSERT_EQ(session.TakeOutput(), step.Command);
    for (const char c : step.Reply) session.Receive(std::string_view(&c, 1));
  }
  EXPECT_TRUE(session.Done()) << session.ErrorText();
}

TEST(SmtpSession, AuthLoginWithMultiLineEhloAndMaskedLog) {
  TSmtpSessionOptions o = Options();
  o.UserID = "user";
  o.Password = "secret";
  TSmtpSession session(o);
  Play(session, {
                    {"", "220-mx.tavrix.test ESMTP\r\n220 welcome\r\n"},
                    {"EHLO bench-pc\r\n", "250-mx.tavrix.test\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n"},
                    {"RSET\r\n", "250 OK\r\n"},
                    {"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n"},
                    {"dXNlcg==\r\n", "334 UGFzc3dvcmQ6\r\n"},
                    {"c2VjcmV0\r\n", "235 Authentication successful\r\n"},
                    {"MAIL FROM:<dev@tavrix.test>\r\n", "250 OK\r\n"},
                    {"RCPT TO:<support@tavrix.test>\r\n", "250 OK\r\n"},
                    {"DATA\r\n", "354 go\r\n"},
                    {o.MessageText, "250 OK\r\n"},
                });
  ASSERT_TRUE(session.Done()) << session.ErrorText();
  EXPECT_EQ(session.Log().find("c2VjcmV0"), std::string::npos);
  EXPECT_EQ(session.Log().find("dXNlcg=="), std::string::npos);
  EXPECT_NE(session.Log().find("<password>\r\n235"), std::string::npos);
}

TEST(SmtpSession, WrongReplyStopsWithTheServersCodeAndText) {
  const struct {
    std::size_t step;  // index into kPlainScript whose reply is replaced
    std::string reply;
    int code;
    std::string mention;
  } cases[] = {
      {0, "554 No service\r\n", 554, "to the connection"},
      {4, "550 5.1.1 No such user\r\n", 550, "\"RCPT TO:<support@tavrix.test>\" (expected 250 or 251)"},
      {5, "250 Ok?\r\n", 250, "\"DATA\" (expected 354)"},
      {6, "452 Mailbox full\r\n", 452, "452 \"Mailbox full\""},
  };
  for (const auto& c : cases) {
    std::vector<TExchange> script = kPlainScript;
    script[c.step].Reply = c.reply;
    TSmtpSession session(Options());
    Play(session, script);
    ASSERT_TRUE(session.Failed()) << c.reply;
    EXPECT_EQ(session.ErrorCode(), c.code);
    EXPECT_NE(session.ErrorText().find(c.mention), std::string::npos) << session.ErrorText();
    EXPECT_NE(session.ErrorText().find("\r\nSocket log:\r\n"), std::string::npos);
    EXPECT_EQ(session.TakeOutput(), "");  // nothing more goes out
  }
}

TEST(SmtpSession, ServerOutOfStepFails) {
  {
    // A reply before the command was taken.
    TSmtpSession session(Options());
    session.Receive("220 hi\r\n");
    session.Receive("250 early\r\n");
    EXPECT_TRUE(session.Failed());
    EXPECT_EQ(session.ErrorCode(), -1);
  }
  {
    // Two replies to one command.
    TSmtpSession session(Options());
    session.Receive("220 hi\r\n250 extra\r\n");
    EXPECT_TRUE(session.Failed());
  }
}

TEST(SmtpSession, EveryArgumentStaysOnItsCommandLine) {
  TSmtpSessionOptions o = Options();
  o.HelloName = "pc\r\nRSET";
  o.EnvelopeFrom = "a@b>\r\nRCPT TO:<victim@else";
  o.Recipient = "support@tavrix.test>\r\nDATA";
  TSmtpSession session(o);
  session.Receive("220 hi\r\n");
  for (int i = 0; i < 4; ++i) {
    const std::string command = session.TakeOutput();
    EXPECT_EQ(command.find("\r\n"), command.size() - 2) << command;
    EXPECT_EQ(command.find('\n'), command.size() - 1) << command;
    EXPECT_EQ(std::count(command.begin(), command.end(), '<'),
              std::count(command.begin(), command.end(), '>'));
    session.Receive("250 OK\r\n");
  }
}

TEST(SmtpReplyReader, LimitsAndMalformedLines) {
  const struct {
    std::string bytes;
    TSmtpReplyReader::TState state;
  } cases[] = {
      {"250\r\n", TSmtpReplyReader::TState::Complete},
      {"250-a\r\n250-b\r\n", TSmtpReplyReader::TState::Reading},
      {"25\r\n", TSmtpReplyReader::TState::Failed},
      {"abc def\r\n", TSmtpReplyReader::TState::Failed},
      {"250x\r\n", TSmtpReplyReader::TState::Failed},
      {"250-a\r\n251 b\r\n", TSmtpReplyReader::TState::Failed},
      {std::string(TSmtpReplyReader::kMaxLine + 1, '2'), TSmtpReplyReader::TState::Failed},
      {std::string(TSmtpReplyReader::kMaxLine, '2'), TSmtpReplyReader::TState::Reading},
  };
  for (const auto& c : cases) {
    TSmtpReplyReader reader;
    reader.Feed(c.bytes);
    EXPECT_EQ(reader.State(), c.state) << c.bytes.substr(0, 40);
  }

  TSmtpReplyReader reader;
  std::string many;
  for (std::size_t i = 0; i < TSmtpReplyReader::kMaxLines; ++i) many += "250-line\r\n";
  reader.Feed(many);
  EXPECT_EQ(reader.State(), TSmtpReplyReader::TState::Reading);
  reader.Feed("250 last\r\n");
  EXPECT_EQ(reader.State(), TSmtpReplyReader::TState::Failed);
  EXPECT_NE(reader.Error().find("more than"), std::string::npos);

  reader.Reset();
  EXPECT_EQ(reader.Feed("250-a\r\n250 b\r\nleft"), 14u);
  EXPECT_EQ(reader.Reply().Code, 250);
  EXPECT_EQ(reader.Reply().Text, "a\r\nb");
}

TEST(SmtpSession, OneRecipientsFailureDoesNotStopTheOthers) {
  const std::vector<std::string> recipients = {"a@one.test", "b@unknown.test", "c@three.test"};
  std::vector<std::string> numbers;
  const TSendOutcome outcome =
      SendToEachRecipient(recipients, [&](const std::string& to, std::size_t number, std::size_t count) {
        numbers.push_back(std::to_string(number) + "/" + std::to_string(count));
        if (to == "b@unknown.test")
          throw ETraciraSocketError("Cannot resolve the \"unknown.test\" MX record.");
      });
  EXPECT_EQ(numbers, (std::vector<std::string>{"1/3", "2/3", "3/3"}));
  ASSERT_EQ(outcome.Recipients.size(), 3u);
  EXPECT_TRUE(outcome.Recipients[0].Sent);
  EXPECT_FALSE(outcome.Recipients[1].Sent);
  EXPECT_TRUE(outcome.Recipients[2].Sent);
  EXPECT_TRUE(outcome.AnySent());
  EXPECT_EQ(outcome.ErrorText(), "b@unknown.test: Cannot resolve the \"unknown.test\" MX record.");

  const TSendOutcome none = SendToEachRecipient(recipients, [](const std::string&, std::size_t, std::size_t) {
    throw ETraciraSocketError("Socket timeout.");
  });
  EXPECT_FALSE(none.AnySent());
  const std::string errors = none.ErrorText();
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 4);
  // Anything but a delivery failure isn't swallowed.
  EXPECT_THROW(SendToEachRecipient(recipients, [](const std::string&, std::size_t,
                                                  std::size_t) { throw std::logic_error("bug"); }),
               std::logic_error);
}

}  // namespace
}  // namespace tracira
