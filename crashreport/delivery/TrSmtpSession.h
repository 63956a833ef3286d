// The SMTP dialogue of one message to one recipient, as a state machine that
// a socket layer drives: it sends what TakeOutput() gives, feeds every byte
// it receives to Receive(), and stops at Done or Failed. Nothing here waits
// or reads a clock; the socket layer owns the time-outs.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracira {

// One complete server reply: its code and its lines' texts (after the code
// and the "-" or blank), joined by CR LF.
struct TSmtpReply {
  int Code = 0;
  std::string Text;
};

// Reads one reply, possibly multi-line ("250-..." lines up to "250 ..."),
// from bytes as they arrive. A line longer than kMaxLine, more than kMaxLines
// lines, a line without a three-digit code or a continuation with another
// code is a failure: the reader never grows without bound.
class TSmtpReplyReader {
 public:
  static constexpr std::size_t kMaxLine = 2048;
  static constexpr std::size_t kMaxLines = 200;

  enum class TState { Reading, Complete, Failed };

  // Consumes bytes; returns how many it used (it stops after the reply's
  // last line, the rest belongs to no reply yet).
  std::size_t Feed(std::string_view bytes);
  TState State() const { return fState; }
  const TSmtpReply& Reply() const { return fReply; }   // when Complete
  const std::string& Error() const { return fError; }  // when Failed
  void Reset() { *this = TSmtpReplyReader{}; }

 private:
  void EndLine();
  void Fail(std::string text);

  TState fState = TState::Reading;
  std::string fLine;
  std::size_t fLines = 0;
  TSmtpReply fReply;
  std::string fError;
};

struct TSmtpSessionOptions {
  std::string HelloName;  // the local host name
  std::string EnvelopeFrom;
  std::string Recipient;
  // A user ID or a password switches to EHLO and AUTH LOGIN. Leave both
  // empty towards a recipient's mail exchanger.
  std::string UserID;
  std::string Password;
  std::string MessageText;  // ComposeMessage's output
};

class TSmtpSession {
 public:
  // What the dialogue is doing: the socket layer's progress labels.
  enum class TStage { Greeting, Hello, Authenticating, Envelope, Data, Message, Done, Failed };

  explicit TSmtpSession(const TSmtpSessionOptions& options);

  // Bytes to send now; empty while a reply is awaited or when finished.
  // After Done this holds "QUIT": sending it is a courtesy, its answer is not
  // awaited.
  std::string TakeOutput();
  // Received bytes. A reply that comes before its command was taken, or
  // bytes after a reply, are a failure: the server is out of step.
  void Receive(std::string_view bytes);

  TStage Stage() const;
  bool Done() const { return Stage() == TStage::Done; }
  bool Failed() const { return Stage() == TStage::Failed; }
  bool AwaitingReply() const { return !Done() && !Failed() && fOutput.empty(); }

  // The failure: the server's reply code (-1 for a broken reply) and a text
  // naming the command, the reply and the session so far.
  int ErrorCode() const { return fErrorCode; }
  const std::string& ErrorText() const { return fErrorText; }
  // The session so far, commands and replies, with the AUTH credentials
  // masked: it ends up in the report.
  const std::string& Log() const { return fLog; }

  // The size of the message text, for a progress bar over the DATA phase.
  std::size_t MessageSize() const;

 private:
  struct TStep {
    TStage Stage;
    std::string Command;  // with CR LF; empty for the greeting
    std::string Logged;   // how it appears in the log
    std::vector<int> Accepted;
  };
  void AddStep(TStage stage, std::string command, std::initializer_list<int> accepted,
               std::string logged = {});
  void StartStep();
  void Fail(int code, std::string text);

  std::vector<TStep> fSteps;
  std::size_t fCurrent = 0;
  bool fFailed = false;
  std::string fOutput;
  bool fCommandTaken = false;
  TSmtpReplyReader fReader;
  std::string fLog;
  int fErrorCode = 0;
  std::string fErrorText;
};

// One message per recipient, each on its own connection. send(recipient,
// number, count) delivers to one (number counts from 1: the send window's
// "1/3"); an ETraciraSocketError from it (its MX lookup, its connection, its
// dialogue) fails that recipient only and the next is still tried. Other
// exceptions go through.
struct TRecipientOutcome {
  std::string Recipient;
  bool Sent = false;
  std::string Error;  // when not sent
};
struct TSendOutcome {
  std::vector<TRecipientOutcome> Recipients;
  // The run counts as delivered when one recipient got the message.
  bool AnySent() const;
  // The failures, one paragraph each, for the report's error section.
  std::string ErrorText() const;
};
using TSendOne = std::function<void(const std::string& recipient, std::size_t number, std::size_t count)>;
TSendOutcome SendToEachRecipient(const std::vector<std::string>& recipients, const TSendOne& send);

}  // namespace tracira
