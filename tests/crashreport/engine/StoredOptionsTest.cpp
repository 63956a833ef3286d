// The options of a program's options file, written into the program by the
// build, are the options its crash reporter runs with.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "crashreport/core/TrOptionsFile.h"
#include "crashreport/engine/ExceptionLog.h"

namespace tracira {
namespace {

TEST(StoredOptions, TheCrashReporterRunsWithTheOptionsOfTheProgramsFile) {
  std::ifstream in(std::filesystem::path(std::wstring(L"Z:") + TAVRIX_STORED_OPTIONS_FILE), std::ios::binary);
  ASSERT_TRUE(in) << "cannot read the options file";
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const TTrOptionsFile file = ReadOptionsFile(text, "StoredOptions.ini", 1251);

  const TTraciraOptionsData& running = CurrentTraciraLogOptions().Data();
  TTraciraOptionsData expected = file.Options;
  expected.ModuleName = running.ModuleName;  // the module's own, given at run time
  EXPECT_EQ(running, expected);
  // A few values spelled out, so that the comparison is not of two defaults.
  EXPECT_EQ(running.SMTPPort, 2525);
  EXPECT_EQ(running.ExceptionDialogType, edtTraciraLog);
  EXPECT_EQ(running.ExceptionsFilters.Count(), 2u);
  // "Произошла ошибка" in code page 1251.
  EXPECT_EQ(running.CustomizedTexts[mtDialog_Caption],
            "\xCF\xF0\xEE\xE8\xE7\xEE\xF8\xEB\xE0 \xEE\xF8\xE8\xE1\xEA\xE0");
}

}  // namespace
}  // namespace tracira
