// Reads the journal's byte-exact form back into the driver's string, by the
// rules written in Units/cuJournalText.h (not by the code that writes it):
// the tests and the fuzz target use it to show that the form loses nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Units/cuJournalText.h"

namespace journaltest {

inline void AppendCodePoint(std::wstring& out, char32_t c) {
  if (sizeof(wchar_t) == 2 && c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (c >> 10));
    out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
  } else {
    out += static_cast<wchar_t>(c);
  }
}

inline std::optional<unsigned long> Hex(std::wstring_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  unsigned long value = 0;
  for (const wchar_t d : digits) {
    const int v = d >= L'0' && d <= L'9' ? d - L'0' : d >= L'A' && d <= L'F' ? d - L'A' + 10 : -1;
    if (v < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned long>(v);
  }
  return value;
}

// The byte a token between '<' and '>' stands for (as the character the
// driver passes for it), or the Unicode character of a <U+XXXX>.
inline std::optional<char32_t> TokenChar(std::wstring_view token) {
  static const std::pair<const wchar_t*, char32_t> kNames[] = {
      {L"NUL", 0x00}, {L"STX", 0x02}, {L"ETX", 0x03}, {L"EOT", 0x04}, {L"TAB", 0x09}, {L"LF", 0x0A},
      {L"CR", 0x0D},  {L"ESC", 0x1B}, {L"FS", 0x1C},  {L"GS", 0x1D},  {L"RS", 0x1E},  {L"SP", 0x20}};
  for (const auto& [name, c] : kNames) {
    if (token == name) return c;
  }
  if (token.size() == 4 && token.starts_with(L"0x")) {
    const auto b = Hex(token.substr(2));
    if (b) return Cp1251Char(static_cast<std::uint8_t>(*b));
  }
  if (token.size() >= 6 && token.starts_with(L"U+")) {
    const auto c = Hex(token.substr(2));
    if (c) return static_cast<char32_t>(*c);
  }
  return std::nullopt;
}

// The driver's string back from its shown form; nullopt for text that the
// form never contains (a bare '<', an unknown name).
inline std::optional<std::wstring> UnescapeData(std::wstring_view shown) {
  std::wstring out;
  std::size_t i = 0;
  while (i < shown.size()) {
    if (shown[i] != L'<') {
      out += shown[i++];
      continue;
    }
    const std::size_t end = shown.find(L'>', i);
    if (end == std::wstring_view::npos) return std::nullopt;
    const auto c = TokenChar(shown.substr(i + 1, end - i - 1));
    if (!c) return std::nullopt;
    AppendCodePoint(out, *c);
    i = end + 1;
  }
  return out;
}

}  // namespace journaltest
