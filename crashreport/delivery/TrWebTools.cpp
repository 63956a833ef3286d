#include "crashreport/delivery/TrWebTools.h"

#include <algorithm>
#include <charconv>

#include "crashreport/delivery/TrBase64.h"
#include "crashreport/delivery/TrSmtpMessage.h"

namespace tracira {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool IsAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::size_t FindText(std::string_view text, std::string_view what) {
  const auto it = std::search(text.begin(), text.end(), what.begin(), what.end(),
                              [](char x, char y) { return Lower(x) == Lower(y); });
  return it == text.end() ? std::string_view::npos : static_cast<std::size_t>(it - text.begin());
}

void AppendEscaped(std::string& out, char c) {
  const auto u = static_cast<unsigned char>(c);
  out += '%';
  out += kHex[u >> 4];
  out += kHex[u & 15];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A port's digits: 1 to 65535, else nullopt.
std::optional<std::uint16_t> PortNumber(std::string_view digits) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value == 0 ||
      value > 0xFFFF)
    return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// A part name inside a quoted parameter.
std::string QuotedParameter(std::string_view name) {
  std::string out = OneString(name);
  std::erase(out, '"');
  return out;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::string URLEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    if (IsAlnum(c))
      out += c;
    else
      AppendEscaped(out, c);
  }
  return out;
}

std::string EncodeURL(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    if (IsAlnum(c) || c == '-' || static_cast<unsigned char>(c) >= 0x80)
      out += c;
    else
      AppendEscaped(out, c);
  }
  return out;
}

std::string URLDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) << 4 | HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::optional<TUrlParts> ElaborateURL(std::string_view address) {
  std::string_view rest = TrimBlanks(address);
  TUrlParts parts;

  // A port at the very end (SetFullURL's older form, "http://host/page:8080").
  // Not in an address with a query, whose value may end in ":30".
  std::string_view body = rest;
  if (!body.empty() && body.back() == '/') body.remove_suffix(1);
  std::size_t digits = body.size();
  while (digits > 0 && IsDigit(body[digits - 1])) --digits;
  const std::size_t schemeEnd = rest.find("://");
  const std::size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
  const std::size_t firstSlash = rest.find('/', authorityStart);
  const bool pastAuthority = firstSlash != std::string_view::npos && digits > firstSlash;
  if (digits < body.size() && digits > 0 && body[digits - 1] == ':' && pastAuthority &&
      rest.find('?') == std::string_view::npos) {
    const auto port = PortNumber(body.substr(digits));
    if (!port) return std::nullopt;
    parts.Port = *port;
    rest = body.substr(0, digits - 1);
  }

  if (schemeEnd != std::string_view::npos) {
    const std::string_view scheme = rest.substr(0, schemeEnd);
    if (!scheme.empty() && std::all_of(scheme.begin(), scheme.end(), [](char c) {
          return IsAlnum(c) || c == '+' || c == '-' || c == '.';
        })) {
      parts.Protocol = scheme;
      rest.remove_prefix(schemeEnd + 3);
    }
  }

  const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view path = rest.substr(authorityEnd);
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  parts.Path = path;

  // User and password only where an "@" says so: "host:8080" is a host and
  // a port, not a user and a password.
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    parts.User = URLDecode(userInfo.substr(0, colon));
    if (colon != std::string_view::npos) parts.Password = URLDecode(userInfo.substr(colon + 1));
    authority.remove_prefix(at + 1);
  }
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    const auto port = PortNumber(authority.substr(colon + 1));
    if (!port) return std::nullopt;
    if (parts.Port == 0) parts.Port = *port;
    authority = authority.substr(0, colon);
  }
  parts.Host = authority;
  return parts;
}

std::string SetFullURL(std::string_view address, std::string_view user, std::string_view password,
                       std::uint32_t port) {
  std::string out(TrimBlanks(address));
  const std::size_t schemeEnd = out.find("://");
  const std::size_t authorityStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  if (port != 0) {
    const std::size_t authorityEnd = std::min(out.find_first_of("/?#", authorityStart), out.size());
    out.insert(authorityEnd, ":" + std::to_string(port & 0xFFFF));
  }
  if (!user.empty() || !password.empty())
    out.insert(authorityStart, URLEncode(user) + ":" + URLEncode(password) + "@");
  return out;
}

bool NamesHost(std::string_view address) {
  address = TrimBlanks(address);
  return !address.empty() && address.front() != ':';
}

std::string BasicAuthorization(std::string_view user, std::string_view password) {
  std::string credentials(user);
  credentials += ':';
  credentials += password;
  return "Basic " + Base64EncodeString(credentials);
}

std::string FormUrlEncode(const TFormFields& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += URLEncode(name) + "=" + URLEncode(value);
  }
  return out;
}

std::pair<std::string, std::string> SplitWebField(std::string_view entry) {
  const std::size_t eq = entry.find('=');
  if (eq == std::string_view::npos) return {std::string(entry), {}};
  return {std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1))};
}

std::string MakeBoundary(std::uint16_t a, std::uint16_t b, std::uint16_t c) {
  std::string out(27, '-');
  for (const std::uint16_t v : {a, b, c})
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[v >> shift & 15];
  return out;
}

std::string MultipartContentType(std::string_view boundary) {
  return "multipart/form-data; boundary=" + std::string(boundary);
}

std::string UploadFieldName(std::size_t index) { return "tr_upload_file_" + std::to_string(index); }

std::string GenerateRequestBody(std::string_view boundary, const TFormFields& fields,
                                const std::vector<TFormFile>& files) {
  const std::string b(boundary);
  std::string out;
  for (const auto& [name, value] : fields) {
    out += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + QuotedParameter(name) + "\";\r\n\r\n";
    out += value + "\r\n";
  }
  for (const TFormFile& file : files) {
    out += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + QuotedParameter(file.FieldName) +
           "\"; filename=\"" + QuotedParameter(file.DeliveryName) +
           "\";\r\nContent-Type: application/octet-stream\r\n\r\n";
    out += file.Bytes + "\r\n";
  }
  out += "--" + b + "--\r\n";
  return out;
}

std::int32_t UploadResult(std::string_view statusCode) {
  statusCode = TrimBlanks(statusCode);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(statusCode.data(), statusCode.data() + statusCode.size(), value);
  if (statusCode.empty() || error != std::errc() || end != statusCode.data() + statusCode.size())
    return 0x7FFFFFFF;
  return value == 200 ? 0 : value;
}

std::string WebErrorText(std::string_view section, std::int32_t code, std::string_view errorText) {
  std::string out = std::string(section) + " error code: " + std::to_string(code);
  if (code == -1)
    out += " - Cannot find the \"wininet.dll\" library.";
  else if (!errorText.empty())
    out += " (" + std::string(errorText) + ")";
  return out;
}

std::optional<std::string> FindHeader(std::string_view rawHeaders, std::string_view name) {
  while (!rawHeaders.empty()) {
    const std::size_t end = std::min(rawHeaders.find('\n'), rawHeaders.size());
    const std::string_view line = rawHeaders.substr(0, end);
    rawHeaders.remove_prefix(std::min(end + 1, rawHeaders.size()));
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && SameText(TrimBlanks(line.substr(0, colon)), name))
      return std::string(TrimBlanks(line.substr(colon + 1)));
  }
  return std::nullopt;
}

std::optional<std::string> RedirectTarget(int status, std::string_view rawHeaders) {
  std::optional<std::string> target;
  if (status == 301 || status == 302 || status == 303) {
    target = FindHeader(rawHeaders, "Location");
  } else if (status == 200) {
    const auto refresh = FindHeader(rawHeaders, "Refresh");
    const std::size_t url = refresh ? FindText(*refresh, "url=") : std::string_view::npos;
    if (url != std::string_view::npos) {
      std::string_view value = TrimBlanks(std::string_view(*refresh).substr(url + 4));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front())
        value = value.substr(1, value.size() - 2);
      target = std::string(value);
    }
  }
  if (target && target->empty()) target.reset();
  return target;
}

}  // namespace tracira
