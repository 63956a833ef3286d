#include "rtl/SysErrors.h"

#include <cwchar>
#include <memory>

#include "rtl/MessageInserts.h"

namespace rtl {

namespace {

std::wstring SystemText(DWORD code, const wchar_t* fallback, const std::vector<std::wstring>& inserts,
                        bool* usedFirst) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::unique_ptr<wchar_t, decltype(&LocalFree)> owner(buffer, &LocalFree);
  std::wstring text = length != 0 && buffer != nullptr
                          ? FillMessageInserts(std::wstring_view(buffer, length), inserts, usedFirst)
                          : std::wstring();
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    wchar_t numbered[64];
    std::swprintf(numbered, 64, L"%ls 0x%08lX", fallback, static_cast<unsigned long>(code));
    text = numbered;
  }
  return text;
}

}  // namespace

std::wstring SysErrorMessage(DWORD code, const wchar_t* fallback) {
  return SystemText(code, fallback, {}, nullptr);
}

std::wstring SysErrorMessage(DWORD code, const std::vector<std::wstring>& Inserts, bool* UsedFirst) {
  if (UsedFirst) *UsedFirst = false;
  return SystemText(code, L"System error", Inserts, UsedFirst);
}

}  // namespace rtl
