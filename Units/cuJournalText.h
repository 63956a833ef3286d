// How the journal is shown and handed on: the byte-exact form of scanned
// data, the columns of a journal row, tab-separated rows for the clipboard
// and CSV for files.
//
// Bytes and the driver's strings. The driver reads bytes from the device
// and passes them on as OLE (UTF-16) strings, one character per byte,
// decoded in code page 1251 (a Cyrillic scanner's code page; the first 128
// bytes are ASCII). The journal encodes each character back with the same
// table, so it shows the bytes the device sent:
//  - a printable byte as its character: ASCII 0x21 to 0x7E except '<', and
//    the letters and signs of code page 1251 (Cyrillic included);
//  - a space as itself, except in a run of spaces at the start or the end
//    of the data, where each one is <SP> (a suffix of blanks stays seen);
//  - a byte with a usual name as <NAME>: <NUL> <STX> <ETX> <EOT> <TAB> <LF>
//    <CR> <ESC> <FS> <GS> <RS>;
//  - every other byte as <0xHH> (two upper-case hex digits): the remaining
//    control bytes, DEL, '<' itself (so every '<' opens an escape and the
//    form reads back to exactly one byte string), the byte 0x98 that code
//    page 1251 leaves undefined (Windows passes it as U+0098), and the
//    invisible no-break space 0xA0 and soft hyphen 0xAD;
//  - '=', '+', '-' or '@' as the first byte of the data, also as <0xHH>:
//    a spreadsheet that opens a copied row or a saved file takes a cell
//    starting with one of them for a formula (a scanned "=HYPERLINK(...)"
//    would run as one), and the escape keeps the form byte-exact.
// A character that no byte of code page 1251 gives (a driver that decodes
// differently, or one passing Unicode text) is shown as <U+XXXX>, at least
// four upper-case hex digits, so nothing is lost or mistaken for a byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Units/cuJournal.h"

// Code page 1251: the byte a character stands for, and the character of a byte.
std::optional<std::uint8_t> Cp1251Byte(char32_t c) noexcept;
char32_t Cp1251Char(std::uint8_t b) noexcept;

// The byte-exact form of data described above.
std::wstring EscapeData(std::wstring_view text);
// Texts meant for reading (device names, result descriptions): as they are,
// but control characters as in EscapeData (<CR>, <0x01>, ...), a leading
// '=', '+', '-' or '@' as in EscapeData, and as <U+XXXX> the C1 controls
// (U+0080 to U+009F, NEL U+0085 among them), the line and paragraph
// separators U+2028 and U+2029 (each ends a line for some readers) and a
// character that is not Unicode text (an unpaired surrogate), so a row
// always stays one line of tab-free text that no spreadsheet runs.
std::wstring EscapeText(std::wstring_view text);

// "2024-05-17 14:03:21.045".
std::wstring FormatJournalTime(const TJournalTime& time);
// "Данные", "Клавиша", "Ошибка".
std::wstring JournalKindText(TJournalKind kind);

// The columns of a journal row, in order: №, Время, Вид, Текущее
// устройство, Данные, Трек 1, Трек 2, Трек 3, Код, Текст. The driver does
// not say which device read a scan, so the device column shows what is
// known for every kind of row: the current device at the time.
inline constexpr int kJournalColumns = 10;
std::wstring JournalColumnTitle(int column);
// A cell as the window shows it (and as copies and files carry it). The
// text cells never start with a formula sign (see EscapeData); the number
// and the result code stay numbers, a negative code included.
std::wstring JournalCell(const TJournalEntry& entry, int column);

// One entry's cells joined by tabs, without a line end.
std::wstring JournalRowTsv(const TJournalEntry& entry);

// One CSV record of RFC 4180 in UTF-8, ended by CR LF: a field that holds a
// double quote, a comma, CR or LF is quoted, its quotes doubled.
std::string CsvRecord(const std::wstring* fields, std::size_t count);
// The whole journal as a CSV file: the UTF-8 byte-order mark (so that
// spreadsheet programs read the Cyrillic), the column titles, then one
// record per entry, oldest first.
std::string JournalCsv(const TJournal& journal);
