// The journal's text forms on arbitrary driver strings (16-bit units, so
// surrogates, paired or not, come up): the byte-exact form reads back to the
// very string and is one line of printable text; a CSV record of such
// fields parses back, by RFC 4180, to the fields' UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Units/cuJournalText.h"
#include "rtl/Exceptions.h"
#include "tests/units/JournalUnescape.h"

namespace {

// RFC 4180 fields of one record that ends with CR LF; false when the text
// is no such record.
bool ParseRecord(const std::string& text, std::vector<std::string>& fields) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  }

  const std::wstring shown = EscapeData(text);
  if (journaltest::UnescapeData(shown) != text) std::abort();
  for (const wchar_t c : shown) {
    if (c < 0x20 || c == 0x7F) std::abort();
  }
  for (const wchar_t c : EscapeText(text)) {
    if (c < 0x20 || c == 0x7F || c == L'\t') std::abort();
  }

  // The raw text split at '|' into fields: quotes, commas and line breaks
  // land anywhere in them.
  std::vector<std::wstring> fields(1);
  for (const wchar_t c : text) {
    if (c == L'|') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  std::vector<std::string> parsed;
  if (!ParseRecord(CsvRecord(fields.data(), fields.size()), parsed)) std::abort();
  if (parsed.size() != fields.size()) std::abort();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (parsed[i] != rtl::ToUtf8(fields[i])) std::abort();
  }
  return 0;
}
