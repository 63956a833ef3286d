#include "crashreport/delivery/TrSmtpSession.h"

#include <algorithm>
#include <utility>

#include "crashreport/delivery/TrBase64.h"
#include "crashreport/delivery/TrSmtpMessage.h"
#include "crashreport/delivery/TrSocketError.h"

namespace tracira {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An address inside "<...>": brackets of its own would end it early.
std::string BracketArgument(std::string_view text) {
  std::string out = OneString(text);
  std::erase(out, '<');
  std::erase(out, '>');
  return out;
}

std::string CodesText(const std::vector<int>& codes) {
  std::string out;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (i > 0) out += " or ";
    out += std::to_string(codes[i]);
  }
  return out;
}

}  // namespace

// ---- TSmtpReplyReader ----

std::size_t TSmtpReplyReader::Feed(std::string_view bytes) {
  std::size_t used = 0;
  while (used < bytes.size() && fState == TState::Reading) {
    const char c = bytes[used++];
    if (c == '\n') {
      if (!fLine.empty() && fLine.back() == '\r') fLine.pop_back();
      EndLine();
      continue;
    }
    if (fLine.size() >= kMaxLine) {
      Fail("A reply line is longer than " + std::to_string(kMaxLine) + " bytes.");
      break;
    }
    fLine += c;
  }
  return used;
}

void TSmtpReplyReader::EndLine() {
  const std::string line = std::exchange(fLine, {});
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
      (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
    Fail("A reply line has no three-digit code: \"" + OneString(line) + "\".");
    return;
  }
  const int code = std::stoi(line.substr(0, 3));
  if (fLines > 0 && code != fReply.Code) {
    Fail("A continued reply changed its code from " + std::to_string(fReply.Code) + " to " +
         std::to_string(code) + ".");
    return;
  }
  if (++fLines > kMaxLines) {
    Fail("A reply has more than " + std::to_string(kMaxLines) + " lines.");
    return;
  }
  fReply.Code = code;
  if (fLines > 1) fReply.Text += "\r\n";
  if (line.size() > 4) fReply.Text += line.substr(4);
  if (line.size() == 3 || line[3] == ' ') fState = TState::Complete;
}

void TSmtpReplyReader::Fail(std::string text) {
  fState = TState::Failed;
  fError = std::move(text);
}

// ---- TSmtpSession ----

TSmtpSession::TSmtpSession(const TSmtpSessionOptions& options) {
  std::string hello = OneString(options.HelloName);
  if (hello.empty()) hello = "localhost";
  AddStep(TStage::Greeting, {}, {220});
  if (options.UserID.empty() && options.Password.empty()) {
    AddStep(TStage::Hello, "HELO " + hello, {250});
    AddStep(TStage::Hello, "RSET", {250});
  } else {
    AddStep(TStage::Hello, "EHLO " + hello, {250});
    AddStep(TStage::Hello, "RSET", {250});
    AddStep(TStage::Authenticating, "AUTH LOGIN", {334});
    AddStep(TStage::Authenticating, Base64EncodeString(options.UserID), {334}, "<user ID>");
    AddStep(TStage::Authenticating, Base64EncodeString(options.Password), {235}, "<password>");
  }
  AddStep(TStage::Envelope, "MAIL FROM:<" + BracketArgument(options.EnvelopeFrom) + ">", {250});
  AddStep(TStage::Envelope, "RCPT TO:<" + BracketArgument(options.Recipient) + ">", {250, 251});
  AddStep(TStage::Data, "DATA", {354});
  // The message text carries its own line ends and its final "." line.
  TStep message{TStage::Message,
                options.MessageText,
                "<message text of " + std::to_string(options.MessageText.size()) + " bytes>",
                {250}};
  fSteps.push_back(std::move(message));
  StartStep();
}

void TSmtpSession::AddStep(TStage stage, std::string command, std::initializer_list<int> accepted,
                           std::string logged) {
  if (!command.empty()) command += "\r\n";
  if (logged.empty())
    logged = command;
  else
    logged += "\r\n";
  fSteps.push_back({stage, std::move(command), std::move(logged), accepted});
}

void TSmtpSession::StartStep() {
  fReader.Reset();
  fOutput = fSteps[fCurrent].Command;
  fCommandTaken = fOutput.empty();
}

TSmtpSession::TStage TSmtpSession::Stage() const {
  if (fFailed) return TStage::Failed;
  if (fCurrent >= fSteps.size()) return TStage::Done;
  return fSteps[fCurrent].Stage;
}

std::string TSmtpSession::TakeOutput() {
  if (fFailed || fOutput.empty()) return {};
  if (!fCommandTaken && fCurrent < fSteps.size()) {
    fLog += fSteps[fCurrent].Logged;
    fCommandTaken = true;
  }
  return std::exchange(fOutput, {});
}

void TSmtpSession::Receive(std::string_view bytes) {
  if (bytes.empty() || fFailed || fCurrent >= fSteps.size()) return;
  if (!fCommandTaken || !fOutput.empty()) {
    Fail(-1, "The server sent data before the command was sent.");
    return;
  }
  const std::size_t used = fReader.Feed(bytes);
  fLog.append(bytes.substr(0, used));
  switch (fReader.State()) {
    case TSmtpReplyReader::TState::Reading:
      return;
    case TSmtpReplyReader::TState::Failed:
      Fail(-1, fReader.Error());
      return;
    case TSmtpReplyReader::TState::Complete:
      break;
  }
  if (used < bytes.size()) {
    Fail(-1, "The server sent more than one reply to one command.");
    return;
  }
  const TStep& step = fSteps[fCurrent];
  const TSmtpReply& reply = fReader.Reply();
  if (std::find(step.Accepted.begin(), step.Accepted.end(), reply.Code) == step.Accepted.end()) {
    const std::string what =
        step.Command.empty() ? std::string("the connection") : "\"" + OneString(step.Logged) + "\"";
    Fail(reply.Code, "The server answered " + std::to_string(reply.Code) + " \"" + OneString(reply.Text) +
                         "\" to " + what + " (expected " + CodesText(step.Accepted) + ").");
    return;
  }
  if (++fCurrent < fSteps.size()) {
    StartStep();
  } else {
    fOutput = "QUIT\r\n";
  }
}

void TSmtpSession::Fail(int code, std::string text) {
  fFailed = true;
  fOutput.clear();
  fErrorCode = code;
  fErrorText = std::move(text) + "\r\nSocket log:\r\n" + fLog;
}

std::size_t TSmtpSession::MessageSize() const { return fSteps.back().Command.size(); }

// ---- one message per recipient ----

bool TSendOutcome::AnySent() const {
  return std::any_of(Recipients.begin(), Recipients.end(), [](const TRecipientOutcome& r) { return r.Sent; });
}

std::string TSendOutcome::ErrorText() const {
  std::string out;
  for (const TRecipientOutcome& r : Recipients) {
    if (r.Sent) continue;
    if (!out.empty()) out += "\r\n\r\n";
    out += r.Recipient + ": " + r.Error;
  }
  return out;
}

TSendOutcome SendToEachRecipient(const std::vector<std::string>& recipients, const TSendOne& send) {
  TSendOutcome outcome;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    TRecipientOutcome one{recipients[i], false, {}};
    try {
      send(recipients[i], i + 1, recipients.size());
      one.Sent = true;
    } catch (const ETraciraSocketError& e) {
      one.Error = e.Text();
    }
    outcome.Recipients.push_back(std::move(one));
  }
  return outcome;
}

}  // namespace tracira
