#include "Units/cuJournalText.h"

#include <cstdio>
#include <cwchar>
#include <type_traits>
#include <vector>

#include "rtl/Exceptions.h"

namespace {

// Characters of the bytes 0x80 to 0xFF; 0x98 has none in the code page and
// comes through as U+0098.
constexpr char16_t kHighHalf[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0: А to я follow in order
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  //
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  //
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  //
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  //
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  //
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  //
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  //
};

const wchar_t* ByteName(std::uint8_t b) noexcept {
  switch (b) {
    case 0x00:
      return L"NUL";
    case 0x02:
      return L"STX";
    case 0x03:
      return L"ETX";
    case 0x04:
      return L"EOT";
    case 0x09:
      return L"TAB";
    case 0x0A:
      return L"LF";
    case 0x0D:
      return L"CR";
    case 0x1B:
      return L"ESC";
    case 0x1C:
      return L"FS";
    case 0x1D:
      return L"GS";
    case 0x1E:
      return L"RS";
    default:
      return nullptr;
  }
}

bool IsControl(char32_t c) noexcept { return c < 0x20 || c == 0x7F; }

// Bytes shown as <0xHH> although they are no control bytes.
bool IsHidden(std::uint8_t b) noexcept { return b == '<' || b == 0x98 || b == 0xA0 || b == 0xAD; }

// A text cell starting with one of these is a formula to a spreadsheet.
bool IsFormulaSign(char32_t c) noexcept { return c == '=' || c == '+' || c == '-' || c == '@'; }

// Characters that end a line for some readers although they are no ASCII
// controls: the C1 controls (NEL among them) and the Unicode separators.
bool BreaksLine(char32_t c) noexcept { return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

bool IsScalarValue(char32_t c) noexcept { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// The code point at text[i], advancing i past it: a UTF-16 pair where
// wchar_t is 16 bits; an unpaired surrogate stands for itself.
char32_t NextCodePoint(std::wstring_view text, std::size_t& i) noexcept {
  char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i++]));
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0xD800 && c <= 0xDBFF && i < text.size()) {
      const auto low = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++i;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      }
    }
  }
  return c;
}

void AppendByteEscape(std::wstring& out, std::uint8_t b) {
  if (const wchar_t* name = ByteName(b)) {
    out += L'<';
    out += name;
    out += L'>';
    return;
  }
  wchar_t text[8];
  std::swprintf(text, 8, L"<0x%02X>", static_cast<unsigned>(b));
  out += text;
}

void AppendUnicodeEscape(std::wstring& out, char32_t c) {
  wchar_t text[16];
  std::swprintf(text, 16, L"<U+%04lX>", static_cast<unsigned long>(c));
  out += text;
}

}  // namespace

std::optional<std::uint8_t> Cp1251Byte(char32_t c) noexcept {
  if (c < 0x80) return static_cast<std::uint8_t>(c);
  if (c >= 0x0410 && c <= 0x044F) return static_cast<std::uint8_t>(0xC0 + (c - 0x0410));
  for (std::size_t i = 0; i < 0x40; ++i) {
    if (kHighHalf[i] == c) return static_cast<std::uint8_t>(0x80 + i);
  }
  return std::nullopt;
}

char32_t Cp1251Char(std::uint8_t b) noexcept { return b < 0x80 ? b : kHighHalf[b - 0x80]; }

std::wstring EscapeData(std::wstring_view text) {
  // Spaces before first and after last are shown as <SP>.
  const std::size_t first = text.find_first_not_of(L' ');
  const std::size_t last = text.find_last_not_of(L' ');
  std::wstring out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t at = i;
    const char32_t c = NextCodePoint(text, i);
    const std::optional<std::uint8_t> b = Cp1251Byte(c);
    if (!b) {
      AppendUnicodeEscape(out, c);
    } else if (*b == ' ') {
      out += (first == std::wstring_view::npos || at < first || at > last) ? L"<SP>" : L" ";
    } else if (IsControl(*b) || IsHidden(*b) || (at == 0 && IsFormulaSign(c))) {
      AppendByteEscape(out, *b);
    } else {
      rtl::AppendCodePoint(out, c);
    }
  }
  return out;
}

std::wstring EscapeText(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const bool first = i == 0;
    const char32_t c = NextCodePoint(text, i);
    if (IsControl(c) || (first && IsFormulaSign(c))) {
      AppendByteEscape(out, static_cast<std::uint8_t>(c));
    } else if (!IsScalarValue(c) || BreaksLine(c)) {
      AppendUnicodeEscape(out, c);
    } else {
      rtl::AppendCodePoint(out, c);
    }
  }
  return out;
}

std::wstring FormatJournalTime(const TJournalTime& t) {
  wchar_t text[40];
  std::swprintf(text, 40, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{t.Year}, unsigned{t.Month},
                unsigned{t.Day}, unsigned{t.Hour}, unsigned{t.Minute}, unsigned{t.Second},
                unsigned{t.Milliseconds});
  return text;
}

std::wstring JournalKindText(TJournalKind kind) {
  switch (kind) {
    case TJournalKind::Data:
      return L"Данные";
    case TJournalKind::Key:
      return L"Клавиша";
    case TJournalKind::Error:
      return L"Ошибка";
  }
  return L"";
}

std::wstring JournalColumnTitle(int column) {
  static const wchar_t* const kTitles[kJournalColumns] = {
      L"№",      L"Время", L"Вид",  L"Текущее устройство", L"Данные", L"Трек 1", L"Трек 2",
      L"Трек 3", L"Код",   L"Текст"};
  return column >= 0 && column < kJournalColumns ? kTitles[column] : L"";
}

std::wstring JournalCell(const TJournalEntry& entry, int column) {
  switch (column) {
    case 0:
      return std::to_wstring(entry.Number);
    case 1:
      return FormatJournalTime(entry.Time);
    case 2:
      return JournalKindText(entry.Kind);
    case 3:
      return EscapeText(entry.Device);
    case 4:
      return EscapeData(entry.Data);
    case 5:
      return EscapeData(entry.Track1);
    case 6:
      return EscapeData(entry.Track2);
    case 7:
      return EscapeData(entry.Track3);
    case 8:
      return entry.HasCode ? std::to_wstring(entry.Code) : std::wstring();
    case 9:
      return EscapeText(entry.Text);
    default:
      return L"";
  }
}

std::wstring JournalRowTsv(const TJournalEntry& entry) {
  std::wstring row;
  for (int column = 0; column < kJournalColumns; ++column) {
    if (column > 0) row += L'\t';
    row += JournalCell(entry, column);
  }
  return row;
}

std::string CsvRecord(const std::wstring* fields, std::size_t count) {
  std::string record;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) record += ',';
    const std::string field = rtl::ToUtf8(fields[i]);
    if (field.find_first_of("\",\r\n") == std::string::npos) {
      record += field;
      continue;
    }
    record += '"';
    for (const char c : field) {
      if (c == '"') record += '"';
      record += c;
    }
    record += '"';
  }
  record += "\r\n";
  return record;
}

std::string JournalCsv(const TJournal& journal) {
  std::string csv = "\xEF\xBB\xBF";
  std::wstring fields[kJournalColumns];
  for (int column = 0; column < kJournalColumns; ++column) fields[column] = JournalColumnTitle(column);
  csv += CsvRecord(fields, kJournalColumns);
  for (std::size_t i = 0; i < journal.Count(); ++i) {
    const TJournalEntry& entry = journal.At(i);
    for (int column = 0; column < kJournalColumns; ++column) fields[column] = JournalCell(entry, column);
    csv += CsvRecord(fields, kJournalColumns);
  }
  return csv;
}
