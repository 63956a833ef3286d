// The e-mail a report travels in: its SMTP command arguments, its From
// header and the whole DATA text (headers, MIME parts, Base64 attachments,
// dot-stuffing). Everything here works on ANSI bytes and reads no clock, no
// file and no system setting: the caller hands in the date text, the tick
// count and the attachments' bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tracira {

// Each run of control characters (C0 and DEL: CR, LF, NUL, TAB, ...) becomes
// one blank, and the ends are trimmed. Every text that goes into a header or
// an SMTP command passes through here, so no value can end a line early and
// smuggle in a header or a command of its own.
std::string OneString(std::string_view text);

// The addresses of a recipients option: split at "," and ";", trimmed, empty
// entries dropped.
std::vector<std::string> SplitRecipients(std::string_view addresses);

struct TFromAddress {
  std::string Header;    // the From header's value
  std::string Envelope;  // the MAIL FROM address, without angle brackets
};

// From header and envelope sender of the SMTPFrom option. A bare address
// gets the user's name in front: "Name" <address>. A value that already
// holds a display name or angle brackets is used as given; its envelope
// address is the text inside the first "<...>" pair.
TFromAddress MakeFromAddress(std::string_view smtpFrom, std::string_view userName);

inline constexpr std::string_view kMimeBoundary = "=_xcjvnxkbhvfkxzhfdbvzldjhfv";

struct TMailAttachment {
  std::string DeliveryName;  // the name the recipient sees
  std::string Bytes;         // the file's contents
};

struct TMailMessage {
  std::string Date;        // formatted by the caller (RFCDate)
  std::string FromHeader;  // TFromAddress::Header
  std::string Subject;
  std::string Recipient;
  std::uint32_t TickCount = 0;  // makes the Message-ID
  std::string Body;             // line breaks of any kind
  std::vector<TMailAttachment> Attachments;
};

// The whole text sent after DATA, dot-stuffed, ending with the "." line.
std::string ComposeMessage(const TMailMessage& message);

// The MIME type an attachment is announced with.
std::string_view AttachmentContentType(std::string_view deliveryName);

// Every line that starts with "." gets one more in front (RFC 5321 4.5.2).
// Lines are CR LF separated; a lone CR or LF is made a CR LF first, so the
// server sees exactly the lines that were stuffed.
std::string DotStuff(std::string_view text);

}  // namespace tracira
