#include "rtl/MessageInserts.h"

namespace rtl {

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace

std::wstring FillMessageInserts(std::wstring_view Text, const std::vector<std::wstring>& Inserts,
                                bool* UsedFirst) {
  if (UsedFirst) *UsedFirst = false;
  std::wstring out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const wchar_t c = Text[i];
    if (c != L'%' || i + 1 == Text.size()) {
      out += c;
      continue;
    }
    const wchar_t next = Text[i + 1];
    if (next == L'0') break;
    if (IsDigit(next)) {
      std::size_t end = i + 2;
      if (end < Text.size() && IsDigit(Text[end])) ++end;
      const auto number = static_cast<std::size_t>(std::stoul(std::wstring(Text.substr(i + 1, end - i - 1))));
      // A format between exclamation marks belongs to the insert.
      if (end < Text.size() && Text[end] == L'!') {
        const std::size_t close = Text.find(L'!', end + 1);
        if (close != std::wstring_view::npos) end = close + 1;
      }
      out += number <= Inserts.size() ? Inserts[number - 1] : std::wstring(L"…");
      if (number == 1 && UsedFirst) *UsedFirst = true;
      i = end - 1;
      continue;
    }
    switch (next) {
      case L'%':
        out += L'%';
        break;
      case L'n':
        out += L"\r\n";
        break;
      case L'r':
        out += L'\r';
        break;
      case L't':
        out += L'\t';
        break;
      case L'b':
        out += L' ';
        break;
      case L'.':
      case L'!':
        out += next;
        break;
      default:
        out += L'%';
        out += next;
        break;
    }
    ++i;
  }
  return out;
}

}  // namespace rtl
