#include "crashreport/core/TrText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
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

namespace {

std::optional<std::wstring> Widen(std::string_view text, unsigned codePage) {
  if (text.empty()) return std::wstring{};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), n);
  return out;
}

std::optional<std::string> Narrow(std::wstring_view text, unsigned codePage) {
  if (text.empty()) return std::string{};
  const int size = static_cast<int>(text.size());
  // The UTF code pages take neither the best-fit flag nor the default-character test.
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : utf ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL lost = FALSE;
  BOOL* lostFlag = utf ? nullptr : &lost;
  const int n = WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, lostFlag);
  if (n == 0 || lost) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(codePage, flags, text.data(), size, out.data(), n, nullptr, lostFlag);
  return out;
}

}  // namespace

std::optional<std::string> Utf8ToCodePage(std::string_view text, unsigned codePage) {
  const std::optional<std::wstring> wide = Widen(text, CP_UTF8);
  return wide ? Narrow(*wide, codePage) : std::nullopt;
}

std::optional<std::string> CodePageToUtf8(std::string_view text, unsigned codePage) {
  const std::optional<std::wstring> wide = Widen(text, codePage);
  return wide ? Narrow(*wide, CP_UTF8) : std::nullopt;
}

std::filesystem::path AnsiToPath(std::string_view text) { return std::filesystem::path(FromAnsi(text)); }
std::string PathToAnsi(const std::filesystem::path& path) { return ToAnsi(path.wstring()); }

#else

std::string ToAnsi(std::wstring_view text) { return rtl::ToUtf8(std::wstring(text)); }
std::wstring FromAnsi(std::string_view text) { return rtl::FromUtf8(std::string(text)); }
std::filesystem::path AnsiToPath(std::string_view text) { return std::filesystem::path(std::string(text)); }

namespace {

std::string IconvName(unsigned codePage) {
  return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

// iconv without transliteration: a character the target lacks stops it.
std::optional<std::string> Iconv(std::string_view text, const std::string& from, const std::string& to) {
  const iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  std::size_t done = 0;
  bool ok = true;
  for (;;) {
    char* outPtr = out.data() + done;
    std::size_t outLeft = out.size() - done;
    // With the input all taken, a call without input ends any shift state.
    const bool flush = inLeft == 0;
    const std::size_t r =
        flush ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft) : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    done = out.size() - outLeft;
    if (r == static_cast<std::size_t>(-1) && errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // A count above 0 is of characters converted irreversibly: not the text.
    if (r != 0) ok = false;
    if (r != 0 || flush) break;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(done);
  return out;
}

}  // namespace

std::optional<std::string> Utf8ToCodePage(std::string_view text, unsigned codePage) {
  return Iconv(text, "UTF-8", IconvName(codePage));
}

std::optional<std::string> CodePageToUtf8(std::string_view text, unsigned codePage) {
  return Iconv(text, IconvName(codePage), "UTF-8");
}
std::string PathToAnsi(const std::filesystem::path& path) { return path.string(); }

#endif

std::string Utf8ToAnsi(std::string_view text) { return ToAnsi(rtl::FromUtf8(std::string(text))); }
std::string AnsiToUtf8(std::string_view text) { return rtl::ToUtf8(FromAnsi(text)); }

std::string MessageOf(const std::exception* e) {
  if (!e) return {};
  if (const auto* own = dynamic_cast<const rtl::Exception*>(e)) return ToAnsi(own->Message());
  return Utf8ToAnsi(e->what());
}

std::filesystem::path Utf8ToPath(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace tracira
