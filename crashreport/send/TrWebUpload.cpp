#include "crashreport/send/TrWebUpload.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <wininet.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <system_error>

#include "crashreport/core/TrText.h"
#include "rtl/SysErrors.h"

namespace tracira {

namespace {

constexpr DWORD kPiece = 1024;
constexpr DWORD kTimeoutMs = 30000;

struct TInternetCloser {
  void operator()(HINTERNET handle) const {
    if (handle) InternetCloseHandle(handle);
  }
};
using TInternetHandle = std::unique_ptr<void, TInternetCloser>;

std::int32_t LastError(std::string& errorText) {
  const DWORD code = GetLastError();
  if (errorText.empty()) {
    // WinInet keeps its own texts (and the server's for FTP).
    wchar_t text[1024] = {};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                       GetModuleHandleW(L"wininet.dll"), code, 0, text, static_cast<DWORD>(std::size(text)),
                       nullptr))
      errorText = ToAnsi(text);
    else
      errorText = ToAnsi(rtl::SysErrorMessage(code));
    while (!errorText.empty() && (errorText.back() == '\n' || errorText.back() == '\r')) errorText.pop_back();
    DWORD detail = 0, size = 0;
    if (code == ERROR_INTERNET_EXTENDED_ERROR && !InternetGetLastResponseInfoW(&detail, nullptr, &size) &&
        size) {
      std::wstring response(size + 1, L'\0');
      if (InternetGetLastResponseInfoW(&detail, response.data(), &size))
        errorText += " " + ToAnsi(response.c_str());
    }
  }
  return code ? static_cast<std::int32_t>(code) : 0x7FFFFFFF;
}

bool ReadWhole(const std::filesystem::path& file, std::string& bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

TInternetHandle OpenSession(const TWebTarget& target) {
  const std::wstring proxy = FromAnsi(target.ProxyServer);
  TInternetHandle session(
      proxy.empty() ? InternetOpenW(L"TraciraLog", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)
                    : InternetOpenW(L"TraciraLog", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), L"<local>", 0));
  if (session) {
    // A server that takes the connection and then says nothing must not
    // hold the handling for ever.
    DWORD timeout = kTimeoutMs;
    for (DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
      InternetSetOptionW(session.get(), option, &timeout, sizeof timeout);
  }
  return session;
}

}  // namespace

std::int32_t HTTPUploadFiles(const TWebTarget& target, const TFormFields& fields,
                             const std::vector<TUploadFile>& files, std::string& errorText,
                             const TUploadProgress& progress) {
  errorText.clear();
  std::vector<TFormFile> parts;
  for (const TUploadFile& file : files) {
    TFormFile part;
    std::error_code error;
    if (!std::filesystem::is_regular_file(file.File, error) || !ReadWhole(file.File, part.Bytes)) continue;
    part.FieldName = UploadFieldName(parts.size());
    part.DeliveryName = file.DeliveryName;
    parts.push_back(std::move(part));
  }
  if (parts.empty()) return 0;

  std::random_device random;
  const std::string boundary = MakeBoundary(static_cast<std::uint16_t>(random() % 0xFFFF),
                                            static_cast<std::uint16_t>(random() % 0xFFFF),
                                            static_cast<std::uint16_t>(random() % 0xFFFF));
  const std::string body = GenerateRequestBody(boundary, fields, parts);
  if (progress) progress(0, body.size());

  const TInternetHandle session = OpenSession(target);
  if (!session) return LastError(errorText);
  const INTERNET_PORT port =
      target.Port ? target.Port : (target.Https ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
  const TInternetHandle connection(InternetConnectW(session.get(), FromAnsi(target.Host).c_str(), port,
                                                    nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return LastError(errorText);
  // No certificate check is switched off: a report goes only where the
  // system trusts the server to be the one named.
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
  if (target.Https) flags |= INTERNET_FLAG_SECURE;
  const std::wstring path = L"/" + FromAnsi(target.Path);
  const TInternetHandle request(
      HttpOpenRequestW(connection.get(), L"POST", path.c_str(), nullptr, nullptr, nullptr, flags, 0));
  if (!request) return LastError(errorText);
  std::wstring headers = L"Content-Type: " + FromAnsi(MultipartContentType(boundary)) + L"\r\n";
  if (!target.User.empty() || !target.Password.empty())
    headers += L"Authorization: " + FromAnsi(BasicAuthorization(target.User, target.Password)) + L"\r\n";
  HttpAddRequestHeadersW(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                         HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
  if (!target.ProxyUser.empty()) {
    std::wstring user = FromAnsi(target.ProxyUser), password = FromAnsi(target.ProxyPassword);
    InternetSetOptionW(request.get(), INTERNET_OPTION_PROXY_USERNAME, user.data(),
                       static_cast<DWORD>(user.size()));
    InternetSetOptionW(request.get(), INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                       static_cast<DWORD>(password.size()));
  }

  INTERNET_BUFFERSW buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = static_cast<DWORD>(body.size());
  if (!HttpSendRequestExW(request.get(), &buffers, nullptr, 0, 0)) return LastError(errorText);
  for (std::size_t done = 0; done < body.size();) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(kPiece, body.size() - done));
    DWORD written = 0;
    if (!InternetWriteFile(request.get(), body.data() + done, piece, &written) || written == 0)
      return LastError(errorText);
    done += written;
    if (progress) progress(done, body.size());
  }
  if (!HttpEndRequestW(request.get(), nullptr, 0, 0)) return LastError(errorText);

  wchar_t status[32] = {}, statusText[256] = {};
  DWORD size = sizeof status;
  HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE, status, &size, nullptr);
  size = sizeof statusText;
  HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_TEXT, statusText, &size, nullptr);
  const std::int32_t result = UploadResult(ToAnsi(status));
  if (result != 0) errorText = ToAnsi(statusText);
  return result;
}

std::int32_t FTPUploadFiles(const TWebTarget& target, const std::vector<TUploadFile>& files,
                            std::string& errorText, const TUploadProgress& progress) {
  errorText.clear();
  std::vector<const TUploadFile*> existing;
  std::size_t total = 0;
  for (const TUploadFile& file : files) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file.File, error)) continue;
    existing.push_back(&file);
    total += static_cast<std::size_t>(std::filesystem::file_size(file.File, error));
  }
  if (existing.empty()) return 0;
  if (progress) progress(0, total);

  const TInternetHandle session = OpenSession(target);
  if (!session) return LastError(errorText);
  const std::wstring user = FromAnsi(target.User), password = FromAnsi(target.Password);
  const TInternetHandle connection(InternetConnectW(
      session.get(), FromAnsi(target.Host).c_str(), target.Port ? target.Port : INTERNET_DEFAULT_FTP_PORT,
      user.empty() ? nullptr : user.c_str(), password.empty() ? nullptr : password.c_str(),
      INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0));
  if (!connection) return LastError(errorText);
  std::string folder = target.Path;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::size_t done = 0;
  for (const TUploadFile* file : existing) {
    std::string bytes;
    if (!ReadWhole(file->File, bytes)) continue;
    const std::wstring remote = FromAnsi(folder + file->DeliveryName);
    const TInternetHandle upload(
        FtpOpenFileW(connection.get(), remote.c_str(), GENERIC_WRITE, FTP_TRANSFER_TYPE_BINARY, 0));
    if (!upload) return LastError(errorText);
    for (std::size_t sent = 0; sent < bytes.size();) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(kPiece, bytes.size() - sent));
      DWORD written = 0;
      if (!InternetWriteFile(upload.get(), bytes.data() + sent, piece, &written) || written == 0)
        return LastError(errorText);
      sent += written;
      done += written;
      if (progress) progress(done, total);
    }
  }
  return 0;
}

}  // namespace tracira
