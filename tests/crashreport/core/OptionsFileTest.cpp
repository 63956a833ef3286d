#include <gtest/gtest.h>

#include <string>

#include "crashreport/core/TrOptionsFile.h"
#include "crashreport/core/TrText.h"
#include "tests/crashreport/core/EveryField.h"

namespace tracira {
namespace {

TEST(OptionsFile, EveryStoredPropertyFilterAndTextRoundTrips) {
  TTraciraModuleOptions o;
  SetEveryField(o);
  // Bytes code page 1251 leaves undefined or that a line can't show, and
  // blanks at either end.
  o.SetCustomizedTexts(mtDialog_Caption, " \x98\x01\\ \xCE\xF8\xE8\xE1\xEA\xE0\t ");
  const std::string text = WriteOptionsFile(o.Data(), {false}, 1251);
  const TTrOptionsFile back = ReadOptionsFile(text, "every.ini", 1251);
  EXPECT_EQ(back.Options, o.Data());
  EXPECT_FALSE(back.Block.LeaksFromMainModule);
  // Written again, the file is the same: a diff shows only real changes.
  EXPECT_EQ(WriteOptionsFile(back.Options, back.Block, 1251), text);
  EXPECT_NE(text.find("\nmtInformationMsgCaption=Инфо\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nmtDialog_Caption=\\x20\\x98\\x01\\\\ Ошибка\\t\\x20\n"), std::string::npos);
}

TEST(OptionsFile, AHandWrittenFileGivesItsValuesAndDefaultsForTheRest) {
  const std::string text =
      "\xEF\xBB\xBF; Tavrix's crash reporter\r\n"
      "# another comment\r\n"
      "\r\n"
      "[Options]\r\n"
      "  SMTPHost = 127.0.0.1  \r\n"
      "SMTPPort=2525\n"
      "ExceptionDialogType=edtTraciraLog\n"
      "CommonSendOptions= sndShowSendDialog , sndSendScreenshot\n"
      "LogOptions=\n"
      "ShowOptions=soCustomData\n"
      "CompiledFileOptions=cfoReduceFileSize,7\n"
      "FreezeTimeout=-1\n"
      "OutputPath=C:\\\\Logs\\\\\n"
      "HTMLLayout=<p>\\r\\n<%HTML_TAG%>\\x20\n"
      "PreBuildEvent=echo pre\n"
      "[Filter1]\n"
      "ExceptionClassName=EScanerX\n"
      "HandlerType=fhtNone\n"
      "[Filter2]\n"
      "Active=false\n"
      "[Texts]\n"
      "mtDialog_Caption=Ошибка\n"
      "[Leaks]\n"
      "FromMainModule=false";
  const TTrOptionsFile f = ReadOptionsFile(text, "hand.ini", 1251);
  const TTraciraOptionsData& d = f.Options;
  EXPECT_EQ(d.SMTPHost, "127.0.0.1");
  EXPECT_EQ(d.SMTPPort, 2525);
  EXPECT_EQ(d.ExceptionDialogType, edtTraciraLog);
  EXPECT_EQ(d.CommonSendOptions, (TCommonSendOptions{sndShowSendDialog, sndSendScreenshot}));
  EXPECT_EQ(d.LogOptions.ToBits(), 0);
  EXPECT_EQ(d.ShowOptions.ToBits(), std::uint64_t{1} << 47);
  EXPECT_EQ(d.CompiledFileOptions.ToBits(), 0x81);
  EXPECT_EQ(d.FreezeTimeout, -1);
  EXPECT_EQ(d.OutputPath, "C:\\Logs\\");
  EXPECT_EQ(d.HTMLLayout, "<p>\r\n<%HTML_TAG%> ");
  EXPECT_EQ(d.PreBuildEvent, "echo pre");
  ASSERT_EQ(d.ExceptionsFilters.Count(), 2u);
  EXPECT_EQ(d.ExceptionsFilters[0],
            (TTraciraExceptionFilter{true, "EScanerX", "", fetAll, fdtUnchanged, fhtNone, fatNone}));
  EXPECT_FALSE(d.ExceptionsFilters[1].Active);
  EXPECT_EQ(d.CustomizedTexts[mtDialog_Caption], "\xCE\xF8\xE8\xE1\xEA\xE0");  // code page 1251
  EXPECT_FALSE(f.Block.LeaksFromMainModule);
  // What the file leaves out keeps the record's default.
  const TTraciraModuleOptions defaults;
  EXPECT_EQ(d.AutoCrashNumber, defaults.AutoCrashNumber());
  EXPECT_EQ(d.SMTPFrom, defaults.SMTPFrom());
  EXPECT_EQ(d.CustomizedTexts[mtLog_AppHeader], defaults.CustomizedTexts()[mtLog_AppHeader]);
  // A file that says nothing gives the defaults.
  EXPECT_EQ(ReadOptionsFile("", "empty.ini", 1251).Options, defaults.Data());
}

TEST(OptionsFile, BadFilesNameTheFileTheLineAndWhatWasExpected) {
  const struct {
    const char* Text;
    const char* Message;
  } cases[] = {
      {"SMTPHost=x", "bad.ini:1: \"SMTPHost\" comes before any section; start with [Options]"},
      {"[Optons]", "bad.ini:1: unknown section [Optons]; expected [Options], [FilterN], [Texts] or [Leaks]"},
      {"[Options\n", "bad.ini:1: expected a section header such as [Options]"},
      {"[Options]\n[Options]", "bad.ini:2: the section [Options] is given twice"},
      {"[Options]\nSMTPHots=x", "bad.ini:2: unknown option \"SMTPHots\""},
      {"[Options]\njust words", "bad.ini:2: expected Name=value, a [Section] or a comment"},
      {"[Options]\n=x", "bad.ini:2: expected Name=value, a [Section] or a comment"},
      {"[Options]\nSMTPPort=25\nSMTPPort=26", "bad.ini:3: SMTPPort is given twice in this section"},
      {"[Options]\nExceptionDialogType=edtFancy",
       "bad.ini:2: ExceptionDialogType: expected a member of TExceptionDialogType (edtNone, edtMessageBox, "
       "edtMSClassic, edtTraciraLog)"},
      {"[Options]\nLogOptions=loNoDuplicateErrors,loBogus",
       "bad.ini:2: LogOptions: expected members of TLogOption separated by commas (loNoDuplicateErrors, "
       "loAppendReproduceText, loDeleteLogAtVersionChange, loAddComputerNameInLogFileName, "
       "loSaveModulesAndProcessesSections, loSaveAssemblerAndCPUSections); \"loBogus\" is none of them"},
      {"[Options]\nLogOptions=loNoDuplicateErrors,,loAppendReproduceText",
       "bad.ini:2: LogOptions: expected members of TLogOption separated by commas (loNoDuplicateErrors, "
       "loAppendReproduceText, loDeleteLogAtVersionChange, loAddComputerNameInLogFileName, "
       "loSaveModulesAndProcessesSections, loSaveAssemblerAndCPUSections)"},
      {"[Options]\nLeaksOptions=loCatchLeaks,loCatchLeaks",
       "bad.ini:2: LeaksOptions: expected each member once; \"loCatchLeaks\" is listed twice"},
      {"[Options]\nCompiledFileOptions=8",
       "bad.ini:2: CompiledFileOptions: expected members of TCompiledFileOption separated by commas "
       "(cfoReduceFileSize); \"8\" is none of them"},
      {"[Options]\nSMTPPort=65536", "bad.ini:2: SMTPPort: expected a whole number from 0 to 65535"},
      {"[Options]\nSMTPPort=-1", "bad.ini:2: SMTPPort: expected a whole number from 0 to 65535"},
      {"[Options]\nFreezeTimeout=12s",
       "bad.ini:2: FreezeTimeout: expected a whole number from -2147483648 to 2147483647"},
      {"[Options]\nWebPort=2147483648",
       "bad.ini:2: WebPort: expected a whole number from -2147483648 to 2147483647"},
      {"[Options]\nActivateLog=yes", "bad.ini:2: ActivateLog: expected true or false"},
      {"[Options]\nOutputPath=C:\\Logs",
       "bad.ini:2: OutputPath: expected \\\\, \\r, \\n, \\t or \\xHH after a backslash (write \\\\ for a "
       "backslash itself)"},
      {"[Options]\nOutputPath=\\x4",
       "bad.ini:2: OutputPath: expected \\\\, \\r, \\n, \\t or \\xHH after a "
       "backslash (write \\\\ for a backslash itself)"},
      {"[Options]\nModuleName=x",
       "bad.ini:2: ModuleName is not stored in a program: the crash reporter sets it at run time"},
      {"[Options]\nActive=false",
       "bad.ini:2: Active is not stored in a program: the crash reporter sets it at run time"},
      {"[Options]\nSMTPHost=\xFF", "bad.ini:2: the line is not UTF-8 text"},
      {"[Options]\nSMTPHost=\xC0\xAF", "bad.ini:2: the line is not UTF-8 text"},  // an overlong '/'
      {"[Texts]\nmtDialog_Caption=Ошибка 日本",
       "bad.ini:2: mtDialog_Caption: expected text that code page 1251 can hold; \"日\" is not in it"},
      {"[Texts]\nmtNoSuch=x", "bad.ini:2: \"mtNoSuch\" is not a member of TMessageType"},
      {"[Filter2]", "bad.ini:1: expected [Filter1]: filters are numbered 1, 2, 3, ... in order"},
      {"[Filter1]\n[Filter1]", "bad.ini:2: expected [Filter2]: filters are numbered 1, 2, 3, ... in order"},
      {"[Filter1]\nHandler=fhtNone",
       "bad.ini:2: unknown filter field \"Handler\"; expected Active, ExceptionClassName, ExceptionMessage, "
       "ExceptionType, DialogType, HandlerType, ActionType"},
      {"[Leaks]\nFromMain=true", "bad.ini:2: unknown key \"FromMain\" in [Leaks]; expected FromMainModule"},
  };
  for (const auto& c : cases) {
    try {
      ReadOptionsFile(c.Text, "bad.ini", 1251);
      ADD_FAILURE() << "taken: " << c.Text;
    } catch (const EOptionsFileError& e) {
      EXPECT_STREQ(e.what(), c.Message) << c.Text;
    }
  }
}

// The conversions behind the texts, in both directions.
TEST(OptionsFile, CodePageConversionIsStrict) {
  EXPECT_EQ(Utf8ToCodePage("Ошибка", 1251), "\xCE\xF8\xE8\xE1\xEA\xE0");
  EXPECT_EQ(CodePageToUtf8("\xCE\xF8\xE8\xE1\xEA\xE0", 1251), "Ошибка");
  EXPECT_EQ(Utf8ToCodePage("Ошибка", 1252), std::nullopt);  // no best fit, no '?'
  EXPECT_EQ(Utf8ToCodePage("caf\xC3\xA9", 1252), "caf\xE9");
  EXPECT_EQ(Utf8ToCodePage("\xFF", 1251), std::nullopt);  // not UTF-8
  EXPECT_EQ(Utf8ToCodePage("", 1251), "");
}

}  // namespace
}  // namespace tracira
