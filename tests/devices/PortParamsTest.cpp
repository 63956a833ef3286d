// The devices dialog's platform-neutral parts: the text-to-integer rules the
// parameter edits use, the value tables and the refresh list.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fmu/PortParams.h"
#include "Fmu/ProcList.h"
#include "rtl/Exceptions.h"

namespace {

struct Accepted {
  const wchar_t* Text;
  std::int32_t Value;
};

TEST(StrToIntRus, AcceptsTheClassicForms) {
  const Accepted cases[] = {
      {L"0", 0},
      {L"7", 7},
      {L"+12", 12},
      {L"-5", -5},
      {L"007", 7},
      {L"   42", 42},  // leading blanks are skipped
      {L"$0C", 12},
      {L"$0c", 12},
      {L"x1F", 31},
      {L"X1f", 31},
      {L"0x10", 16},
      {L"0X10", 16},
      {L"-$10", -16},
      {L"+0x7fffffff", 2147483647},
      {L"2147483647", 2147483647},
      {L"-2147483648", -2147483647 - 1},
      {L"$FFFFFFFF", -1},  // all 32 bits, two's complement
      {L"$80000000", -2147483647 - 1},
      {L"-$FFFFFFFF", 1},
      {L"$000000000001", 1},  // leading zeros do not count against the width
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(rtl::ToUtf8(c.Text));
    EXPECT_EQ(StrToIntRus(c.Text), c.Value);
    EXPECT_EQ(TryStrToInt(c.Text), c.Value);
  }
}

TEST(StrToIntRus, RejectsAnythingElseWithTheQuotedText) {
  const wchar_t* const cases[] = {
      L"",
      L" ",
      L"abc",
      L"12 ",  // trailing blank
      L"1 2",
      L"+",
      L"-",
      L"$",
      L"0x",
      L"x",
      L"+-1",
      L"- 1",
      L"$-1",
      L"0x$1",
      L"1.5",
      L"1e3",
      L"\t5",
      L"12a",
      L"$G",
      L"00x5",
      L"2147483648",  // one past the top
      L"-2147483649",
      L"$100000000",
      L"99999999999999999999",
      L"\x0661",  // an Arabic-Indic digit
  };
  for (const wchar_t* text : cases) {
    SCOPED_TRACE(rtl::ToUtf8(text));
    EXPECT_FALSE(TryStrToInt(text).has_value());
    try {
      StrToIntRus(text);
      ADD_FAILURE() << "no exception";
    } catch (const rtl::EConvertError& e) {
      EXPECT_EQ(e.Message(), L"\"" + std::wstring(text) + L"\" не является целым числом");
    }
  }
  // A text with an embedded NUL is not cut short.
  const std::wstring withNul(
      L"5\0"
      L"5",
      3);
  EXPECT_FALSE(TryStrToInt(withNul).has_value());
}

TEST(StrToIntRus, MessagesOfTheDialogsEdgeCases) {
  EXPECT_EQ(NotAnIntegerMessage(L"abc"), L"\"abc\" не является целым числом");
  EXPECT_EQ(NotAnIntegerMessage(L""), L"\"\" не является целым числом");
}

TEST(StrToIntRus, EveryDecimalRoundTrips) {
  for (const std::int32_t v : {0, 1, -1, 9, 10, 99, 100, 65535, -65536, 2147483647, -2147483647 - 1}) {
    EXPECT_EQ(StrToIntRus(std::to_wstring(v)), v);
  }
}

template <class Table>
std::vector<std::pair<std::wstring, std::int32_t>> Rows(const Table& table) {
  std::vector<std::pair<std::wstring, std::int32_t>> rows;
  for (const TComboItem& item : table) rows.emplace_back(std::wstring(item.ItemName), item.ItemValue);
  return rows;
}

using RowList = std::vector<std::pair<std::wstring, std::int32_t>>;

TEST(ValueTables, HoldTheDriversCodesInListOrder) {
  EXPECT_EQ(Rows(BaudRates), (RowList{{L"300", 1},
                                      {L"600", 2},
                                      {L"1200", 3},
                                      {L"2400", 4},
                                      {L"4800", 5},
                                      {L"9600", 7},
                                      {L"14400", 9},
                                      {L"19200", 10},
                                      {L"38400", 12}}));
  EXPECT_EQ(
      Rows(Parities),
      (RowList{{L"Нет", 0}, {L"Нечетность", 1}, {L"Четность", 2}, {L"Установлен", 3}, {L"Сброшен", 4}}));
  EXPECT_EQ(Rows(DataBits), (RowList{{L"7", 3}, {L"8", 4}}));
  EXPECT_EQ(Rows(StopBits), (RowList{{L"1", 0}, {L"2", 2}}));
  EXPECT_EQ(Rows(StopFlag), (RowList{{L"CR (0DH)", 0},
                                     {L"LF (0AH)", 1},
                                     {L"CR/LF (0D0AH)", 2},
                                     {L"Space (20H)", 3},
                                     {L"Tab (09H)", 4},
                                     {L"Esc (1BH)", 5},
                                     {L"Ctrl-C (03H)", 6}}));
  EXPECT_EQ(Rows(ModelID), (RowList{{L"Сканер штрих-кода", 0},
                                    {L"Считыватель магнитных карт", 1},
                                    {L"Ресторанная клавиатура (VT-734)", 5}}));
}

TEST(ValueTables, PortItemsAreCOMSpaceNumber) {
  EXPECT_EQ(kFirstListedPort, 1);
  EXPECT_EQ(kLastListedPort, 32);
  EXPECT_EQ(PortItemName(1), L"COM 1");
  EXPECT_EQ(PortItemName(32), L"COM 32");
}

TEST(RefreshList, IsCreatedOnFirstAddAndCalledInOrder) {
  std::unique_ptr<TProcList> list;
  CallProceduresOfObject(list.get());  // a null list does nothing
  std::vector<int> calls;
  ListAdd(list, [&] { calls.push_back(1); });
  ASSERT_NE(list, nullptr);
  AddProceduresOfObject(list, {[&] { calls.push_back(2); }, [&] { calls.push_back(3); }});
  EXPECT_EQ(list->size(), 3u);
  CallProceduresOfObject(list.get());
  CallProceduresOfObject(list.get());
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3, 1, 2, 3}));
  DestroyHooks(list);
  EXPECT_EQ(list, nullptr);
  DestroyHooks(list);  // and again: nothing
}

TEST(RefreshList, AnExceptionEndsTheWalkAndReachesTheCaller) {
  std::unique_ptr<TProcList> list;
  std::vector<int> calls;
  AddProceduresOfObject(list, {[&] { calls.push_back(1); }, [] { throw rtl::Exception(L"read failed"); },
                               [&] { calls.push_back(3); }});
  EXPECT_THROW(CallProceduresOfObject(list.get()), rtl::Exception);
  EXPECT_EQ(calls, std::vector<int>{1});
}

}  // namespace
