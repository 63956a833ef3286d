#include "crashreport/core/TrText.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include "rtl/Exceptions.h"

namespace tracira {

#ifdef _WIN32

std::string ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromAnsi(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, out.data(), n);
  return out;
}

std::filesystem::path AnsiToPath(std::string_view text) { return std::filesystem::path(FromAnsi(text)); }
std::string PathToAnsi(const std::filesystem::path& path) { return ToAnsi(path.wstring()); }

#else

std::string ToAnsi(std::wstring_view text) { return rtl::ToUtf8(std::wstring(text)); }
std::wstring FromAnsi(std::string_view text) { return rtl::FromUtf8(std::string(text)); }
std::filesystem::path AnsiToPath(std::string_view text) { return std::filesystem::path(std::string(text)); }
std::string PathToAnsi(const std::filesystem::path& path) { return path.string(); }

#endif

std::string Utf8ToAnsi(std::string_view text) { return ToAnsi(rtl::FromUtf8(std::string(text))); }
std::string AnsiToUtf8(std::string_view text) { return rtl::ToUtf8(FromAnsi(text)); }

}  // namespace tracira
