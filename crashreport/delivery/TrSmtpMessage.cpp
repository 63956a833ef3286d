#include "crashreport/delivery/TrSmtpMessage.h"

#include <algorithm>
#include <cctype>

#include "crashreport/delivery/TrBase64.h"

namespace tracira {

namespace {

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || IsControl(text.front()))) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || IsControl(text.back()))) text.remove_suffix(1);
  return text;
}

constexpr std::string_view kMessageIdDomain = "tracira.localhost";

}  // namespace

std::string OneString(std::string_view text) {
  text = Trim(text);
  std::string out;
  out.reserve(text.size());
  bool inRun = false;
  for (const char c : text) {
    if (IsControl(c)) {
      if (!inRun) out += ' ';
      inRun = true;
    } else {
      out += c;
      inRun = false;
    }
  }
  return out;
}

std::vector<std::string> SplitRecipients(std::string_view addresses) {
  std::vector<std::string> out;
  while (true) {
    const std::size_t cut = addresses.find_first_of(",;");
    const std::string one = OneString(addresses.substr(0, cut));
    if (!one.empty()) out.push_back(one);
    if (cut == std::string_view::npos) break;
    addresses.remove_prefix(cut + 1);
  }
  return out;
}

TFromAddress MakeFromAddress(std::string_view smtpFrom, std::string_view userName) {
  const std::string from = OneString(smtpFrom);
  TFromAddress out;
  if (from.find_first_of("\"<") == std::string::npos) {
    // A double quote in the user's name would end the quoted display name.
    std::string name = OneString(userName);
    std::erase(name, '"');
    std::erase(name, '\\');
    out.Header = '"' + name + "\" <" + from + '>';
    out.Envelope = from;
    return out;
  }
  out.Header = from;
  const std::size_t open = from.find('<');
  const std::size_t close = open == std::string::npos ? open : from.find('>', open + 1);
  if (close != std::string::npos) {
    out.Envelope = from.substr(open + 1, close - open - 1);
  } else {
    // No address in brackets: what is left after the quoted name, if any.
    const std::size_t quote = from.rfind('"');
    out.Envelope =
        std::string(Trim(std::string_view(from).substr(quote == std::string::npos ? 0 : quote + 1)));
  }
  // Brackets inside the envelope address would close MAIL FROM:<...> early.
  std::erase(out.Envelope, '<');
  std::erase(out.Envelope, '>');
  out.Envelope = OneString(out.Envelope);
  return out;
}

std::string_view AttachmentContentType(std::string_view deliveryName) {
  const std::size_t dot = deliveryName.rfind('.');
  if (dot != std::string_view::npos) {
    std::string ext(deliveryName.substr(dot));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (ext == ".PNG") return "image/png";
  }
  return "application/octet-stream";
}

std::string DotStuff(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64 + 2);
  bool lineStart = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  return out;
}

std::string ComposeMessage(const TMailMessage& message) {
  const std::string boundary(kMimeBoundary);
  std::string text;
  text += "Date: " + OneString(message.Date) + "\r\n";
  text += "From: " + OneString(message.FromHeader) + "\r\n";
  text += "Subject: " + OneString(message.Subject) + "\r\n";
  text += "To: <" + OneString(message.Recipient) + ">\r\n";
  text += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\";\r\n";
  text += "MIME-Version: 1.0\r\n";
  text += "Message-ID: <" + std::to_string(message.TickCount) + "@" + std::string(kMessageIdDomain) + ">\r\n";
  text += "\r\n";
  text += "This is a multi-part message in MIME format\r\n";
  text += "\r\n";
  text += "--" + boundary + "\r\n";
  text += "Content-Type: text/plain\r\n";
  text += "Content-Transfer-Encoding: 7bit\r\n";
  text += "\r\n";
  text += message.Body + "\r\n";
  for (const TMailAttachment& file : message.Attachments) {
    if (file.DeliveryName.empty()) continue;
    // A quote or line break in a file name would end the parameter early.
    std::string name = OneString(file.DeliveryName);
    std::erase(name, '"');
    text += "\r\n";
    text += "--" + boundary + "\r\n";
    text += "Content-Type: " + std::string(AttachmentContentType(name)) + ";\r\n";
    text += "        name=\"" + name + "\"\r\n";
    text += "Content-Transfer-Encoding: base64\r\n";
    text += "Content-Disposition: attachment;\r\n";
    text += "        filename=\"" + name + "\"\r\n";
    text += "\r\n";
    text += Base64EncodeToString(file.Bytes) + "\r\n";
  }
  text += "--" + boundary + "--\r\n";
  return DotStuff(text) + ".\r\n";
}

}  // namespace tracira
