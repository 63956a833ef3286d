#include "crashreport/delivery/TrDns.h"

#include <algorithm>

#include "crashreport/delivery/TrSmtpMessage.h"
#include "crashreport/delivery/TrSocketError.h"

namespace tracira {

namespace {

constexpr std::uint16_t kTypeMX = 15;
constexpr std::uint16_t kClassIN = 1;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kMaxNameWire = 255;  // RFC 1035 3.1, length bytes included
// More jumps than a name has labels can only be a loop; the strictly
// decreasing targets below already rule one out, this is the second fence.
constexpr int kMaxJumps = 128;

bool IsHostByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) {
             return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

std::string_view WithoutFinalDot(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  return domain;
}

// Reads the answer, failing with the domain's message for anything unsound.
class TAnswerReader {
 public:
  TAnswerReader(std::string_view message, std::string_view domain) : fMsg(message), fDomain(domain) {}

  [[noreturn]] void Fail(const std::string& reason) const {
    throw ETraciraSocketError("Cannot resolve the \"" + std::string(fDomain) + "\" MX record: " + reason +
                              ".");
  }

  std::size_t Pos() const { return fPos; }
  void Seek(std::size_t pos) { fPos = pos; }

  void Need(std::size_t n) const {
    if (n > fMsg.size() - fPos) Fail("the answer ends inside a record");
  }
  std::uint16_t U16() {
    Need(2);
    const auto hi = static_cast<unsigned char>(fMsg[fPos]);
    const auto lo = static_cast<unsigned char>(fMsg[fPos + 1]);
    fPos += 2;
    return static_cast<std::uint16_t>(hi << 8 | lo);
  }
  void Skip(std::size_t n) {
    Need(n);
    fPos += n;
  }

  struct TName {
    std::string Text;   // labels joined by "."
    bool Plain = true;  // every label a host name's letters, digits, "-", "_"
  };

  // A name at the current position, following compression pointers; the
  // position ends after the name's own bytes (its first pointer included).
  TName Name() {
    TName name;
    std::size_t p = fPos;
    std::size_t bound = fPos;  // every pointer must aim below the last one's target
    std::size_t wire = 1;      // the final zero byte
    int jumps = 0;
    bool jumped = false;
    while (true) {
      if (p >= fMsg.size()) Fail("a name runs past the end of the answer");
      const auto len = static_cast<unsigned char>(fMsg[p]);
      if ((len & 0xC0) == 0xC0) {
        if (p + 1 >= fMsg.size()) Fail("a name runs past the end of the answer");
        const std::size_t target = (len & 0x3Fu) << 8 | static_cast<unsigned char>(fMsg[p + 1]);
        if (target >= bound || ++jumps > kMaxJumps) Fail("a name's compression pointer doesn't point back");
        if (!jumped) fPos = p + 2;
        jumped = true;
        bound = target;
        p = target;
        continue;
      }
      if ((len & 0xC0) != 0) Fail("a name has a label type that isn't defined");
      if (len == 0) {
        if (!jumped) fPos = p + 1;
        return name;
      }
      if (len > fMsg.size() - p - 1) Fail("a name runs past the end of the answer");
      wire += 1 + len;
      if (wire > kMaxNameWire) Fail("a name is longer than 255 bytes");
      const std::string_view label = fMsg.substr(p + 1, len);
      if (!name.Text.empty()) name.Text += '.';
      name.Text += label;
      name.Plain = name.Plain && std::all_of(label.begin(), label.end(), IsHostByte);
      p += 1 + len;
    }
  }

 private:
  std::string_view fMsg;
  std::string_view fDomain;
  std::size_t fPos = 0;
};

}  // namespace

std::string DomainOfAddress(std::string_view address) {
  const std::string text = OneString(address);
  const std::size_t at = text.rfind('@');
  std::string_view domain =
      at == std::string::npos ? std::string_view() : std::string_view(text).substr(at + 1);
  if (!domain.empty() && domain.back() == '>') domain.remove_suffix(1);
  domain = WithoutFinalDot(domain);
  if (domain.empty()) throw ETraciraSocketError("The e-mail address \"" + text + "\" names no domain.");
  return std::string(domain);
}

std::string CreateMXQuery(std::uint16_t id, std::string_view domain) {
  const std::string_view name = WithoutFinalDot(domain);
  const auto fail = [&](const char* reason) -> void {
    throw ETraciraSocketError("The domain \"" + std::string(domain) + "\" can't be looked up: " + reason +
                              ".");
  };
  if (name.empty()) fail("it is empty");
  if (name.size() > 253) fail("it is longer than 253 characters");
  std::string query;
  query += static_cast<char>(id >> 8);
  query += static_cast<char>(id & 0xFF);
  query += std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    const std::string_view label = name.substr(start, dot - start);
    if (label.empty()) fail("it has an empty label");
    if (label.size() > 63) fail("a label is longer than 63 characters");
    if (std::any_of(label.begin(), label.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return u <= 0x20 || u == 0x7F;
        }))
      fail("it holds a blank or a control character");
    query += static_cast<char>(label.size());
    query += label;
    start = dot + 1;
  }
  query += std::string("\x00\x00\x0F\x00\x01", 5);
  return query;
}

std::vector<TMxRecord> ParseMXAnswer(std::string_view answer, std::uint16_t id, std::string_view domain) {
  TAnswerReader in(answer, domain);
  if (answer.size() < kHeaderSize) in.Fail("the answer is shorter than a DNS header");
  const std::uint16_t answerId = in.U16();
  const std::uint16_t flags = in.U16();
  const std::uint16_t questions = in.U16();
  const std::uint16_t answers = in.U16();
  in.Skip(4);  // authority and additional counts: not read
  if (answerId != id) in.Fail("the answer's ID isn't the query's");
  if ((flags & 0x8000) == 0) in.Fail("the message is a query, not an answer");
  if ((flags >> 11 & 0xF) != 0) in.Fail("the answer is to another kind of query");
  const int rcode = flags & 0xF;
  if (rcode == 3) in.Fail("the domain doesn't exist");
  if (rcode != 0) in.Fail("the DNS server answered with error " + std::to_string(rcode));
  if (questions != 1) in.Fail("the answer doesn't repeat the one question");

  const auto question = in.Name();
  const std::uint16_t qtype = in.U16();
  const std::uint16_t qclass = in.U16();
  if (!SameName(question.Text, WithoutFinalDot(domain)) || qtype != kTypeMX || qclass != kClassIN)
    in.Fail("the answer is to another question");

  std::vector<TMxRecord> found;
  for (int i = 0; i < answers; ++i) {
    (void)in.Name();
    const std::uint16_t type = in.U16();
    const std::uint16_t rclass = in.U16();
    in.Skip(4);  // TTL
    const std::uint16_t length = in.U16();
    in.Need(length);
    const std::size_t end = in.Pos() + length;
    if (type != kTypeMX || rclass != kClassIN) {
      in.Seek(end);
      continue;
    }
    if (length < 3) in.Fail("an MX record is too short");
    TMxRecord record;
    record.Preference = in.U16();
    const auto host = in.Name();
    if (in.Pos() != end) in.Fail("an MX record's length doesn't match its contents");
    // The root name is a "null MX" (RFC 7505): this domain takes no mail.
    if (host.Plain && !host.Text.empty()) found.push_back({record.Preference, host.Text});
  }
  if (found.empty())
    in.Fail((flags & 0x0200) != 0 ? "the answer was truncated" : "the domain has no mail exchanger");
  std::stable_sort(found.begin(), found.end(),
                   [](const TMxRecord& a, const TMxRecord& b) { return a.Preference < b.Preference; });
  return found;
}

}  // namespace tracira
