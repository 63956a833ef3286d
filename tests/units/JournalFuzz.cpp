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
  const std::wstring readable = EscapeText(text);
  for (const wchar_t c : readable) {
    if (c < 0x20 || c == 0x7F || c == L'\t' || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029)
      std::abort();
  }
  if (journaltest::StartsAFormula(shown) || journaltest::StartsAFormula(readable)) std::abort();

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
  if (!journaltest::ParseCsvRecord(CsvRecord(fields.data(), fields.size()), parsed)) std::abort();
  if (parsed.size() != fields.size()) std::abort();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (parsed[i] != rtl::ToUtf8(fields[i])) std::abort();
  }
  return 0;
}
