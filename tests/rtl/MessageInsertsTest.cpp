// The inserts of system message texts (rtl/MessageInserts): filled from
// what the caller has, never left as a bare %1, never read past it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtl/Exceptions.h"
#include "rtl/MessageInserts.h"

namespace {

TEST(MessageInserts, InsertsAndEscapesAreFilledAsTheSystemWould) {
  struct Case {
    std::wstring Text;
    std::vector<std::wstring> Inserts;
    std::wstring Filled;
    bool UsedFirst;
  };
  const Case cases[] = {
      {L"%1 is not a valid Win32 application.\r\n",
       {L"C:\\Dravix.dll"},
       L"C:\\Dravix.dll is not a valid Win32 application.\r\n",
       true},
      // No value for an insert: a placeholder, not the raw sequence.
      {L"%1 is not a valid Win32 application.", {}, L"… is not a valid Win32 application.", true},
      {L"Copy %2 to %1, then %2!s! again", {L"a", L"b"}, L"Copy b to a, then b again", true},
      {L"%12 and %3", {L"x"}, L"… and …", false},
      {L"100%% done%0 and the rest", {}, L"100% done", false},
      {L"a%nb%rc%td%be%.%!", {}, L"a\r\nb\rc\td e.!", false},
      {L"no inserts, a lone % and %q", {L"x"}, L"no inserts, a lone % and %q", false},
      {L"ends with %", {}, L"ends with %", false},
  };
  for (const Case& c : cases) {
    bool used = !c.UsedFirst;
    EXPECT_EQ(rtl::ToUtf8(rtl::FillMessageInserts(c.Text, c.Inserts, &used)), rtl::ToUtf8(c.Filled));
    EXPECT_EQ(used, c.UsedFirst) << rtl::ToUtf8(c.Text);
  }
}

}  // namespace
