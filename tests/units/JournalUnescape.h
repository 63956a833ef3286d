// Reads the journal's byte-exact form back into the driver's string, by the
// rules written in Units/cuJournalText.h (not by the code that writes it),
// and a CSV record back into its fields, by RFC 4180: the tests and the fuzz
// target use them to show that the forms lose nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// RFC 4180 fields of one record that ends with CR LF; false when the text
// is no such record.
inline bool ParseCsvRecord(const std::string& text, std::vector<std::string>& fields) {
  fields.clear();
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
  const std::size_t end = text.size() - 2;
  std::size_t i = 0;
  while (true) {
    std::string field;
    if (i < end && text[i] == '"') {
      ++i;
      while (true) {
        if (i >= end) return false;
        if (text[i] == '"') {
          if (i + 1 < end && text[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += text[i++];
      }
    } else {
      while (i < end && text[i] != ',') {
        if (text[i] == '"' || text[i] == '\r' || text[i] == '\n') return false;
        field += text[i++];
      }
    }
    fields.push_back(field);
    if (i == end) return true;
    if (text[i] != ',') return false;
    ++i;
  }
}

// Whether a spreadsheet would take a cell of this text for a formula.
inline bool StartsAFormula(std::wstring_view cell) {
  return !cell.empty() && (cell[0] == L'=' || cell[0] == L'+' || cell[0] == L'-' || cell[0] == L'@');
}

}  // namespace journaltest
