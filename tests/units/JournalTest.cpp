// The event journal (Units/cuJournal, Units/cuJournalText): the byte-exact
// form of scanned data, the ring of the newest entries and its counts, the
// rows as the window, the clipboard and CSV files carry them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Units/cuJournal.h"
#include "Units/cuJournalText.h"
#include "rtl/Exceptions.h"
#include "tests/units/JournalUnescape.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string U8(const std::wstring& text) { return rtl::ToUtf8(text); }

// A wide string from code points (a UTF-16 pair where wchar_t is 16 bits).
std::wstring FromCodePoints(std::initializer_list<char32_t> points) {
  std::wstring text;
  for (const char32_t c : points) journaltest::AppendCodePoint(text, c);
  return text;
}

TEST(JournalEscape, DataShowsPrintableBytesAsTheyAreAndEveryOtherAsAnEscape) {
  struct Case {
    std::wstring Data;
    std::wstring Shown;
  };
  const Case cases[] = {
      {L"4601234567890", L"4601234567890"},
      {L"\x02]C1\x1D"
       L"0104601234567893\x1D"
       L"21AB\x1F\x03",
       L"<STX>]C1<GS>0104601234567893<GS>21AB<0x1F><ETX>"},
      {L"A\r\nB\tC", L"A<CR><LF>B<TAB>C"},
      {std::wstring(L"A\0B", 3), L"A<NUL>B"},
      {L"\x01\x04\x1B\x1C\x1E\x7F", L"<0x01><EOT><ESC><FS><RS><0x7F>"},
      {L"[)>\x1E"
       L"06\x1D"
       L"1P12\x1E\x04",
       L"[)><RS>06<GS>1P12<RS><EOT>"},
      // Only the blanks at either end are escaped.
      {L"  A B  ", L"<SP><SP>A B<SP><SP>"},
      {L"   ", L"<SP><SP><SP>"},
      {L"", L""},
      // '<' itself, so that every '<' opens an escape; '>' needs none.
      {L"a<b>c", L"a<0x3C>b>c"},
      {L"Привет, Ёж №5 «€»", L"Привет, Ёж №5 «€»"},
      // Bytes of code page 1251 that show nothing, or nothing distinct.
      {L"\u0098\u00A0\u00AD", L"<0x98><0xA0><0xAD>"},
      // Characters no byte of code page 1251 gives.
      {L"\u00FF\u4E2D", L"<U+00FF><U+4E2D>"},
      {FromCodePoints({U'x', 0x1F600}), L"x<U+1F600>"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), L"<U+D800>"},
      // A first byte that makes a spreadsheet cell a formula; later ones are data.
      {L"=HYPERLINK(\"http://x\",\"y\")", L"<0x3D>HYPERLINK(\"http://x\",\"y\")"},
      {L"+1+1", L"<0x2B>1+1"},
      {L"-2-3", L"<0x2D>2-3"},
      {L"@SUM(A1)", L"<0x40>SUM(A1)"},
      {L"a=b-c", L"a=b-c"},
      // Line breaks of Unicode are no bytes of code page 1251.
      {L"a\u0085b\u2028c\u2029", L"a<U+0085>b<U+2028>c<U+2029>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(U8(EscapeData(c.Data)), U8(c.Shown));
    EXPECT_EQ(journaltest::UnescapeData(c.Shown), c.Data) << U8(c.Shown);
  }
}

TEST(JournalEscape, EveryByteReadsBackAndTheFormIsPrintableText) {
  std::wstring all;
  for (int b = 0; b < 256; ++b) all += static_cast<wchar_t>(Cp1251Char(static_cast<std::uint8_t>(b)));
  // Each byte alone (a blank at the ends too) and all of them in a row.
  std::vector<std::wstring> inputs{all};
  for (const wchar_t c : all) inputs.emplace_back(1, c);
  for (const std::wstring& data : inputs) {
    const std::wstring shown = EscapeData(data);
    EXPECT_EQ(journaltest::UnescapeData(shown), data) << U8(shown);
    for (const wchar_t c : shown) {
      EXPECT_FALSE(c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) << U8(shown);
    }
  }
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(Cp1251Byte(Cp1251Char(static_cast<std::uint8_t>(b))), b);
  }
}

#ifdef _WIN32
// The table is the system's code page 1251, as the driver decodes with it.
TEST(JournalEscape, TheTableIsTheSystemsCodePage1251) {
  for (int b = 0; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    wchar_t c = 0;
    ASSERT_EQ(MultiByteToWideChar(1251, 0, &byte, 1, &c, 1), 1);
    EXPECT_EQ(static_cast<char32_t>(c), Cp1251Char(static_cast<std::uint8_t>(b))) << b;
  }
}
#endif

TEST(JournalEscape, TextKeepsEverythingButControlsAndBrokenSurrogates) {
  struct Case {
    std::wstring Text;
    std::wstring Shown;
  };
  const Case cases[] = {
      {L"Порт недоступен", L"Порт недоступен"},
      {L" №01 Сканер <COM 41> ", L" №01 Сканер <COM 41> "},
      {L"a\tb\r\n", L"a<TAB>b<CR><LF>"},
      {L"\x01\x7F", L"<0x01><0x7F>"},
      {FromCodePoints({0x4E2D, 0x1F600}), FromCodePoints({0x4E2D, 0x1F600})},
      {std::wstring(1, static_cast<wchar_t>(0xDC00)), L"<U+DC00>"},
      {L"=cmd|' /C calc'!A0", L"<0x3D>cmd|' /C calc'!A0"},
      {L"@x", L"<0x40>x"},
      {L"-6 a-b", L"<0x2D>6 a-b"},
      {L"+", L"<0x2B>"},
      // Each of these ends a line for some readers.
      {L"a\u0085b\u2028c\u2029d\u0098", L"a<U+0085>b<U+2028>c<U+2029>d<U+0098>"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(EscapeText(c.Text)), U8(c.Shown));
}

TJournalEntry Scan(std::wstring data, std::int64_t tick = 0) {
  TJournalEntry e;
  e.Kind = TJournalKind::Data;
  e.Data = std::move(data);
  e.Tick = tick;
  return e;
}

TJournalEntry Failure(std::wstring call) {
  TJournalEntry e;
  e.Kind = TJournalKind::Error;
  e.Data = std::move(call);
  e.HasCode = true;
  e.Code = -3;
  e.Text = L"Порт недоступен";
  return e;
}

TEST(Journal, KeepsTheNewestTenThousandAndNumbersThemForTheSession) {
  TJournal journal;
  EXPECT_EQ(journal.Capacity(), 10000u);
  EXPECT_EQ(journal.FirstNumber(), 1u);
  EXPECT_THROW(journal.Last(), std::out_of_range);
  for (int i = 1; i <= 10000; ++i) journal.Add(Scan(std::to_wstring(i)));
  EXPECT_EQ(journal.Count(), 10000u);
  EXPECT_EQ(journal.At(0).Data, L"1");

  // The 10,001st drops the first.
  const TJournalEntry& added = journal.Add(Scan(L"10001"));
  EXPECT_EQ(added.Number, 10001u);
  EXPECT_EQ(journal.Count(), 10000u);
  EXPECT_EQ(journal.FirstNumber(), 2u);
  EXPECT_EQ(journal.At(0).Data, L"2");
  EXPECT_EQ(journal.At(0).Number, 2u);
  EXPECT_EQ(journal.At(9999).Data, L"10001");
  EXPECT_EQ(&journal.Last(), &journal.At(9999));
  EXPECT_THROW(journal.At(10000), std::out_of_range);
  // Dropped scans still count.
  EXPECT_EQ(journal.Scans(), 10001u);

  // Round the ring more than once: the order stays that of arrival.
  for (int i = 10002; i <= 25000; ++i) journal.Add(Scan(std::to_wstring(i)));
  for (std::size_t i = 0; i < journal.Count(); i += 997) {
    EXPECT_EQ(journal.At(i).Number, 15001u + i);
    EXPECT_EQ(journal.At(i).Data, std::to_wstring(15001 + i));
  }
}

TEST(Journal, CountsScansAndErrorsAndClearResetsThemButNotTheNumbering) {
  TJournal journal(3);
  journal.Add(Scan(L"a"));
  journal.Add(Failure(L"DeviceEnabled := True"));
  TJournalEntry key;
  key.Kind = TJournalKind::Key;
  journal.Add(key);
  journal.Add(Failure(L"DeleteEvent()"));
  EXPECT_EQ(journal.Count(), 3u);
  EXPECT_EQ(journal.At(0).Kind, TJournalKind::Error);
  EXPECT_EQ(journal.Scans(), 1u);
  EXPECT_EQ(journal.Errors(), 2u);

  journal.Clear();
  EXPECT_TRUE(journal.Empty());
  EXPECT_EQ(journal.Scans(), 0u);
  EXPECT_EQ(journal.Errors(), 0u);
  EXPECT_EQ(journal.FirstNumber(), 5u);
  EXPECT_EQ(journal.Add(Scan(L"b")).Number, 5u);
  EXPECT_EQ(journal.FirstNumber(), 5u);
}

TEST(Journal, ScansInTheLastMinuteAreThoseOfTheCurrentSecondAndTheFiftyNineBefore) {
  TJournal journal;
  TJournalEntry key;
  key.Kind = TJournalKind::Key;
  key.Tick = 30000;
  journal.Add(key);
  journal.Add(Failure(L"x"));
  // Scans arrive and the count is read as time goes on: (tick of a new scan
  // or -1 for none, now, count).
  struct Step {
    std::int64_t Scan;
    std::int64_t Now;
    std::uint32_t Count;
  };
  const Step steps[] = {
      {0, 0, 1},         {999, 999, 2},     {1000, 1000, 3},     {30500, 30500, 4},
      {59999, 59999, 5}, {60000, 60000, 4}, {-1, 60999, 4},      {-1, 61000, 3},
      {-1, 119999, 1},   {-1, 120000, 0},   {120500, 120500, 1}, {-1, 1000000, 0},
  };
  for (const Step& step : steps) {
    if (step.Scan >= 0) journal.Add(Scan(L"x", step.Scan));
    EXPECT_EQ(journal.ScansInLastMinute(step.Now), step.Count) << step.Now;
  }
  journal.Add(Scan(L"y", 1000500));
  EXPECT_EQ(journal.ScansInLastMinute(1000500), 1u);
  journal.Clear();
  EXPECT_EQ(journal.ScansInLastMinute(1000500), 0u);
}

TEST(JournalRows, CellsOfEachKindAndTheTabSeparatedRow) {
  TJournalEntry data = Scan(L"%B42^IVANOV/IVAN^2512?;42=2512?+01?\r");
  data.Number = 7;
  data.Time = {2024, 5, 7, 9, 3, 1, 45};
  data.Device = L"№01 Сканер штрих-кода, COM 41";
  data.Track1 = L"B42^IVANOV/IVAN^2512";
  data.Track2 = L"42=2512";
  data.Track3 = L"01";
  data.HasCode = true;
  data.Text = L"Ошибок нет";
  EXPECT_EQ(U8(JournalRowTsv(data)),
            U8(L"7\t2024-05-07 09:03:01.045\tДанные\t№01 Сканер штрих-кода, COM 41\t"
               L"%B42^IVANOV/IVAN^2512?;42=2512?+01?<CR>\tB42^IVANOV/IVAN^2512\t42=2512\t01\t0\tОшибок нет"));

  TJournalEntry key;
  key.Kind = TJournalKind::Key;
  key.Number = 8;
  key.Time = {2024, 12, 31, 23, 59, 59, 999};
  key.Device = L"Клавиатура";
  key.Data = L"65";
  key.Text = L"KeyDown";
  EXPECT_EQ(U8(JournalRowTsv(key)),
            U8(L"8\t2024-12-31 23:59:59.999\tКлавиша\tКлавиатура\t65\t\t\t\t\tKeyDown"));

  TJournalEntry error = Failure(L"CurrentDeviceName := 'a\tb'");
  error.Number = 9;
  EXPECT_EQ(
      U8(JournalRowTsv(error)),
      U8(L"9\t0000-00-00 00:00:00.000\tОшибка\t\tCurrentDeviceName := 'a<TAB>b'\t\t\t\t-3\tПорт недоступен"));

  std::vector<std::wstring> titles;
  for (int c = 0; c < kJournalColumns; ++c) titles.push_back(JournalColumnTitle(c));
  EXPECT_EQ(titles, (std::vector<std::wstring>{L"№", L"Время", L"Вид", L"Текущее устройство", L"Данные",
                                               L"Трек 1", L"Трек 2", L"Трек 3", L"Код", L"Текст"}));
}

// Scanned labels that a spreadsheet would run as formulas, in every text
// column: the copied row and the saved file start no cell with a formula
// sign, the result code stays a number, and the data reads back to the bytes.
TEST(JournalRows, FormulaLabelsAreCopiedAndSavedInertAndReadBack) {
  const std::wstring labels[] = {L"=HYPERLINK(\"http://evil\",\"x\")", L"+7(495)123", L"-1+2",
                                 L"@SUM(1+1)*cmd|' /C calc'!A0"};
  TJournal journal;
  for (const std::wstring& label : labels) {
    TJournalEntry entry = Scan(label);
    entry.Device = label;
    entry.Track1 = label;
    entry.Track2 = label;
    entry.Track3 = label;
    entry.HasCode = true;
    entry.Code = -6;
    entry.Text = label;
    journal.Add(entry);
  }
  const std::string csv = JournalCsv(journal);
  ASSERT_TRUE(csv.starts_with("\xEF\xBB\xBF"));
  std::vector<std::string> records;
  for (std::size_t at = 3; at < csv.size();) {
    const std::size_t end = csv.find("\r\n", at) + 2;
    records.push_back(csv.substr(at, end - at));
    at = end;
  }
  ASSERT_EQ(records.size(), 1 + journal.Count());
  for (std::size_t i = 0; i < journal.Count(); ++i) {
    SCOPED_TRACE(i);
    const std::wstring tsv = JournalRowTsv(journal.At(i));
    std::vector<std::wstring> copied(1);
    for (const wchar_t c : tsv) {
      if (c == L'\t') {
        copied.emplace_back();
      } else {
        copied.back() += c;
      }
    }
    std::vector<std::string> saved;
    ASSERT_TRUE(journaltest::ParseCsvRecord(records[i + 1], saved));
    ASSERT_EQ(copied.size(), static_cast<std::size_t>(kJournalColumns));
    ASSERT_EQ(saved.size(), copied.size());
    for (int column = 0; column < kJournalColumns; ++column) {
      SCOPED_TRACE(column);
      EXPECT_EQ(saved[static_cast<std::size_t>(column)], U8(copied[static_cast<std::size_t>(column)]));
      const std::wstring& cell = copied[static_cast<std::size_t>(column)];
      if (column != 8) {
        EXPECT_FALSE(journaltest::StartsAFormula(cell)) << U8(cell);
      }
    }
    EXPECT_EQ(copied[8], L"-6");
    for (const std::size_t column : {4, 5, 6, 7})
      EXPECT_EQ(journaltest::UnescapeData(copied[column]), labels[i]);
    EXPECT_EQ(copied[3].substr(6), labels[i].substr(1));
  }
}

TEST(JournalCsv, QuotesAsRfc4180SaysInUtf8) {
  struct Case {
    std::vector<std::wstring> Fields;
    std::string Record;
  };
  const Case cases[] = {
      {{L"1", L"abc", L""}, "1,abc,\r\n"},
      {{L"a,b", L"say \"hi\"", L"\""}, "\"a,b\",\"say \"\"hi\"\"\",\"\"\"\"\r\n"},
      {{L"line\r\nbreak", L"lf\n"}, "\"line\r\nbreak\",\"lf\n\"\r\n"},
      {{L"Ёж", L" spaced "}, "\xD0\x81\xD0\xB6, spaced \r\n"},
      {{}, "\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(CsvRecord(c.Fields.data(), c.Fields.size()), c.Record);
}

TEST(JournalCsv, TheFileIsABomTheTitlesAndOneRecordPerEntryOldestFirst) {
  TJournal journal(2);
  journal.Add(Scan(L"dropped"));
  TJournalEntry scan = Scan(L"A,\"B\"\x1D");
  scan.Time = {2024, 1, 2, 3, 4, 5, 6};
  scan.HasCode = true;
  scan.Text = L"Ошибок нет";
  journal.Add(scan);
  TJournalEntry error = Failure(L"DeviceEnabled := True");
  error.Time = scan.Time;
  journal.Add(error);
  EXPECT_EQ(JournalCsv(journal),
            "\xEF\xBB\xBF" + U8(L"№,Время,Вид,Текущее устройство,Данные,Трек 1,Трек 2,Трек 3,Код,Текст\r\n") +
                U8(L"2,2024-01-02 03:04:05.006,Данные,,\"A,\"\"B\"\"<GS>\",,,,0,Ошибок нет\r\n") +
                U8(L"3,2024-01-02 03:04:05.006,Ошибка,,DeviceEnabled := True,,,,-3,Порт недоступен\r\n"));
  EXPECT_EQ(JournalCsv(TJournal()),
            "\xEF\xBB\xBF" + U8(L"№,Время,Вид,Текущее устройство,Данные,Трек 1,Трек 2,Трек 3,Код,Текст\r\n"));
}

}  // namespace
