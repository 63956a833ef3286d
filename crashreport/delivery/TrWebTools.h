// The platform-neutral part of web delivery: addresses as the options give
// them, URL encodings, form bodies and the mapping of HTTP answers to the
// delivery's results. The transfer itself is WinInet's (the Windows layer):
// it reads status lines, headers and bodies, so no HTTP reader lives here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tracira {

// ASCII letters and digits stay; every other byte becomes "%XX" (upper-case
// hexadecimal). For form fields and query strings.
std::string URLEncode(std::string_view text);
// The "mailto:" form: letters, digits, "-" and bytes from 0x80 stay.
std::string EncodeURL(std::string_view text);
// "%XX" back to bytes; a "%" without two hexadecimal digits stays as it is.
std::string URLDecode(std::string_view text);

struct TUrlParts {
  std::string Protocol;
  std::string User;
  std::string Password;
  std::string Host;
  std::uint16_t Port = 0;  // 0: none given
  std::string Path;        // without a leading or trailing "/"
};

// Reads an address as the options hold it (SetFullURL's form):
// [protocol "://"] [user [":" password] "@"] host [":" port] ["/" path]
// [":" port]. A port may stand after the host or at the very end of the
// address; a port at the end wins. User and password are percent-decoded.
// nullopt when a port isn't a number from 1 to 65535.
std::optional<TUrlParts> ElaborateURL(std::string_view address);

// The address with a non-zero port appended (":" + port) and, when a user or
// password is given, "user:password@" inserted after "://" (in front when
// there is none). User and password are percent-encoded, so that a ":", "@"
// or "/" in them reads back unchanged.
std::string SetFullURL(std::string_view address, std::string_view user, std::string_view password,
                       std::uint32_t port);

// A proxy address names a host: SetFullURL of an empty ProxyURL gives "" or
// ":port", which means "no proxy".
bool NamesHost(std::string_view address);

// "Basic " credentials for an Authorization header.
std::string BasicAuthorization(std::string_view user, std::string_view password);

using TFormFields = std::vector<std::pair<std::string, std::string>>;

// name=value pairs joined by "&", both URL-encoded: a query after "?" or an
// application/x-www-form-urlencoded body.
std::string FormUrlEncode(const TFormFields& fields);

// "name=value" of a web-fields entry; the value may hold further "=".
std::pair<std::string, std::string> SplitWebField(std::string_view entry);

struct TFormFile {
  std::string FieldName;     // the form field, e.g. "tr_upload_file_0"
  std::string DeliveryName;  // the name the server sees
  std::string Bytes;
};

// 27 dashes and three groups of four upper-case hexadecimal digits of the
// caller's random numbers (each below 0xFFFF).
std::string MakeBoundary(std::uint16_t a, std::uint16_t b, std::uint16_t c);
// "multipart/form-data; boundary=" + boundary.
std::string MultipartContentType(std::string_view boundary);
// The multipart/form-data body: the fields, then the files, then the closing
// boundary. A quote or line break in a name can't start a part of its own.
std::string GenerateRequestBody(std::string_view boundary, const TFormFields& fields,
                                const std::vector<TFormFile>& files);
// The plain upload's files are the fields "tr_upload_file_0", "_1", ...
std::string UploadFieldName(std::size_t index);

// The plain upload's result from the status code's text: 0 for 200, the
// number for any other, 0x7FFFFFFF when it isn't a number.
std::int32_t UploadResult(std::string_view statusCode);

// "<section> error code: <code><suffix>": the suffix names the missing
// "wininet.dll" for -1, else is " (" + error text + ")" when there is one.
std::string WebErrorText(std::string_view section, std::int32_t code, std::string_view errorText);

// The address a tracker answer sends the client on to: a 301, 302 or 303
// with a Location header, or a 200 with a "Refresh" header holding "url=".
// rawHeaders: the header lines as HttpQueryInfo gives them, CR LF separated.
std::optional<std::string> RedirectTarget(int status, std::string_view rawHeaders);
// The value of a header (case-insensitive name), first occurrence.
std::optional<std::string> FindHeader(std::string_view rawHeaders, std::string_view name);

// Counts the redirects a tracker request follows; a loop ends as a failure.
class TRedirectCounter {
 public:
  static constexpr int kMaxRedirects = 10;
  // False once the limit is passed: don't follow this one.
  bool Follow() { return ++fCount <= kMaxRedirects; }
  int Count() const { return fCount; }

 private:
  int fCount = 0;
};

}  // namespace tracira
