// Which filter applies, and when the crash times make a crash loop.
#include <gtest/gtest.h>

#include <cstdlib>

#include "crashreport/engine/TrDecide.h"

namespace {

using namespace tracira;

TEST(Decide, ShortClassNameDropsNamespacesOnly) {
  EXPECT_EQ(ShortClassName("rtl::EAbort"), "EAbort");
  EXPECT_EQ(ShortClassName("EScanerX"), "EScanerX");
  EXPECT_EQ(ShortClassName("a::b::TList<std::string>"), "TList<std::string>");
}

}  // namespace

namespace {

TTraciraExceptionFilter F(std::string className, TFilterExceptionType type, TFilterHandlerType handler,
                          TFilterDialogType dialog = fdtUnchanged, bool active = true) {
  TTraciraExceptionFilter f;
  f.ExceptionClassName = std::move(className);
  f.ExceptionType = type;
  f.HandlerType = handler;
  f.DialogType = dialog;
  f.Active = active;
  return f;
}

TEST(Decide, TheFirstActiveMatchingFilterChooses) {
  TTraciraModuleOptions o;
  o.SetToDefaultOptions();
  o.ExceptionsFilters().Add(F("EScanerX", fetAll, fhtNone, fdtUnchanged, false));  // inactive
  o.ExceptionsFilters().Add(F("EScanerX", fetHandled, fhtRTL));                    // handled only
  o.ExceptionsFilters().Add(F("rtl::exception", fetUnhandled, fhtTraciraLog, fdtMessageBox));
  o.ExceptionsFilters().Add(F("EScanerX", fetAll, fhtNone));  // never reached for unhandled ones
  const std::vector<std::string> names = {"EScanerX", "rtl::Exception", "std::exception"};

  const TFilterChoice unhandled = ChooseFilter(o, names, false);
  EXPECT_TRUE(unhandled.FromFilter);
  EXPECT_EQ(unhandled.Handler, fhtTraciraLog);
  EXPECT_EQ(unhandled.Dialog, edtMessageBox);

  const TFilterChoice handled = ChooseFilter(o, names, true);
  EXPECT_EQ(handled.Handler, fhtRTL);
  EXPECT_EQ(handled.Dialog, edtMSClassic);  // unchanged: the options' own type

  const TFilterChoice other = ChooseFilter(o, {"EConvertError"}, false);
  EXPECT_FALSE(other.FromFilter);
  EXPECT_EQ(other.Handler, fhtTraciraLog);

  o.SetActivateHandle(false);
  EXPECT_FALSE(ChooseFilter(o, names, false).FromFilter);
}

TEST(Decide, FilterDialogTypesAndMessage) {
  const std::pair<TFilterDialogType, TExceptionDialogType> cases[] = {{fdtNone, edtNone},
                                                                      {fdtUnchanged, edtTraciraLog},
                                                                      {fdtMessageBox, edtMessageBox},
                                                                      {fdtMSClassic, edtMSClassic},
                                                                      {fdtTraciraLog, edtTraciraLog}};
  for (const auto& [filterType, dialog] : cases) {
    TTraciraModuleOptions o;
    o.SetToDefaultOptions();
    o.SetExceptionDialogType(edtTraciraLog);
    TTraciraExceptionFilter f = F("EAbort", fetAll, fhtTraciraLog, filterType);
    f.ExceptionMessage = "Port %TAVRIX_DECIDE_TEST% is gone";
    o.ExceptionsFilters().Add(f);
#ifdef _WIN32
    _putenv_s("TAVRIX_DECIDE_TEST", "COM 41");
#else
    setenv("TAVRIX_DECIDE_TEST", "COM 41", 1);
#endif
    const TFilterChoice c = ChooseFilter(o, {"rtl::EAbort"}, false);
    EXPECT_EQ(c.Dialog, dialog);
    EXPECT_EQ(c.CustomMessage, "Port COM 41 is gone");
  }
}

TEST(Decide, CrashLoopIsNumberOfTimesWithinMinutes) {
  struct Case {
    std::vector<std::int64_t> Times;
    bool Loop;
  };
  std::vector<std::int64_t> ten;
  for (int i = 0; i < 10; ++i) ten.push_back(1000 + i * 6);  // 54 s from first to last
  std::vector<std::int64_t> slow = ten;
  slow.back() = 1061;  // 61 s
  std::vector<std::int64_t> twelve = ten;
  twelve.insert(twelve.begin(), {1, 2});  // the oldest two are dropped
  const Case cases[] = {{ten, true}, {{ten.begin(), ten.end() - 1}, false}, {slow, false}, {twelve, true}};
  for (const Case& c : cases) {
    TCrashTimes times;
    for (std::int64_t t : c.Times) times.Add(t, 10);
    EXPECT_LE(times.Count(), 10u);
    EXPECT_EQ(times.IsCrashLoop(10, 1), c.Loop);
  }
}

}  // namespace
