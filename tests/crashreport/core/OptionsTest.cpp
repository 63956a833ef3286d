#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrStream.h"
#include "tests/crashreport/core/EveryField.h"

namespace tracira {
namespace {

// Counts republishing, as the shared-data owner would see it.
class CountingOptions : public TTraciraModuleOptions {
 public:
  using TTraciraModuleOptions::TTraciraModuleOptions;
  int published = 0;

 protected:
  void DoSaveToSharedData() override { ++published; }
};

TEST(Options, DefaultsAndTheirBitPatterns) {
  const TTraciraModuleOptions o("C:\\Tavrix.exe");
  EXPECT_EQ(o.ModuleName(), "C:\\Tavrix.exe");
  EXPECT_EQ(o.SMTPPort(), 25);
  EXPECT_EQ(o.ProxyPort(), 8080);
  EXPECT_FALSE(o.SMTPFrom().empty());
  EXPECT_EQ(o.TerminateBtnOperation(), tbRestart);
  EXPECT_FALSE(o.FreezeActivate());
  EXPECT_EQ(o.FreezeTimeout(), 60);
  EXPECT_EQ(o.ExceptionDialogType(), edtMSClassic);
  EXPECT_EQ(o.TextsCollection(), "English");
  EXPECT_FALSE(o.ActivateLog());
  EXPECT_TRUE(o.ActivateHandle());
  EXPECT_FALSE(o.AppendLogs());
  EXPECT_TRUE(o.SaveLogFile());
  EXPECT_EQ(o.ForegroundTab(), ftGeneral);
  EXPECT_EQ(o.ErrorsNumberToSave(), 32);
  EXPECT_EQ(o.ErrorsNumberToShowTerminateBtn(), 3);
  EXPECT_EQ(o.EMailSendMode(), esmNoSend);
  EXPECT_EQ(o.WebSendMode(), wsmNoSend);
  EXPECT_EQ(o.AutoCloseDialogSecs(), 0);
  EXPECT_NE(o.HTMLLayout().find("<%HTML_TAG%>"), std::string::npos);
  EXPECT_NE(o.HTMLLayout().find("Lucida Console, Courier"), std::string::npos);
  EXPECT_EQ(o.AutoCrashOperation(), tbRestart);
  EXPECT_EQ(o.AutoCrashNumber(), 10);
  EXPECT_EQ(o.AutoCrashMinutes(), 1);
  EXPECT_EQ(o.WebPort(), 0);
  EXPECT_TRUE(o.Active());
  EXPECT_EQ(o.ExceptionsFilters().Count(), 0u);
  // Stored bit patterns: bit n is member n.
  EXPECT_EQ(o.CompiledFileOptions().ToBits(), 0x01);
  EXPECT_EQ(o.ShowOptions().ToBits(), 0xFFFF'FFFF'FFFFull);
  EXPECT_EQ(o.LogOptions().ToBits(), 0x30);
  EXPECT_EQ(o.CommonSendOptions().ToBits(), 0x51);
  EXPECT_EQ(o.ExceptionDialogOptions().ToBits(), 0x18F);
  EXPECT_EQ(o.CallStackOptions().ToBits(), 0x0F);
  EXPECT_EQ(o.BehaviourOptions().ToBits(), 0x58);
  EXPECT_EQ(o.LeaksOptions().ToBits(), 0x1E);
  ASSERT_EQ(o.CustomizedTexts().size(), 158u);
  EXPECT_EQ(o.CustomizedTexts()[mtInformationMsgCaption], "Information.");
  EXPECT_EQ(o.CustomizedTexts()[mtException_AntiFreeze], "The application seems to be frozen.");
  EXPECT_EQ(o.CustomizedTexts()[mtInvalidEmailMsg], "Invalid email.");
}

TEST(Options, SetToDefaultOptionsUndoesEveryChangeButTheModuleName) {
  TTraciraModuleOptions o("m.exe");
  const TTraciraModuleOptions fresh("m.exe");
  SetEveryField(o);
  ASSERT_FALSE(o.Data() == fresh.Data());
  o.SetToDefaultOptions();
  EXPECT_TRUE(o.Data() == fresh.Data());
}

TEST(Options, StreamRoundTripOfEveryField) {
  TTraciraModuleOptions source("a.exe");
  SetEveryField(source);
  TByteBuffer stream;
  source.SaveToStream(stream);
  TTraciraModuleOptions target("a.exe");
  EXPECT_EQ(target.LoadFromStream(stream.data(), stream.size()), stream.size());
  EXPECT_TRUE(target.Data() == source.Data());
  EXPECT_EQ(target.SMTPPassword(), "p\xE0ss\r\n");
}

TEST(Options, StoredFieldOrderAndScrambling) {
  TTraciraModuleOptions o;
  o.SetActivateLog(true);
  o.SetFreezeTimeout(0x01020304);
  o.SetSMTPFrom("ab");
  o.SetSMTPHost("");
  o.SetSMTPPort(0x1234);
  TByteBuffer s;
  o.SaveToStream(s);
  const std::uint8_t k = kStringScrambleKey;
  const std::vector<std::uint8_t> head = {1,
                                          1,
                                          0x30,
                                          0,
                                          1,
                                          0,
                                          0,  // ActivateLog .. FreezeActivate
                                          4,
                                          3,
                                          2,
                                          1,  // FreezeTimeout
                                          2,
                                          0,
                                          0,
                                          0,
                                          std::uint8_t('a' ^ k),
                                          std::uint8_t('b' ^ k),  // SMTPFrom
                                          0,
                                          0,
                                          0,
                                          0,  // SMTPHost
                                          0x34,
                                          0x12};  // SMTPPort
  ASSERT_GE(s.size(), head.size());
  EXPECT_EQ(std::vector<std::uint8_t>(s.begin(), s.begin() + static_cast<long>(head.size())), head);
  // The stream ends with TextsCollection "English".
  const std::string english = "English";
  ASSERT_GE(s.size(), english.size() + 4);
  for (std::size_t i = 0; i < english.size(); ++i)
    EXPECT_EQ(s[s.size() - english.size() + i], std::uint8_t(english[i] ^ k));
}

TEST(Options, EveryTruncatedStreamFailsAndChangesNothing) {
  TTraciraModuleOptions source;
  SetEveryField(source);
  TByteBuffer stream;
  source.SaveToStream(stream);
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    TTraciraModuleOptions target("keep.exe");
    EXPECT_THROW(target.LoadFromStream(stream.data(), cut), EOptionsStreamError) << cut;
    EXPECT_TRUE(target.Data() == TTraciraModuleOptions("keep.exe").Data()) << cut;
  }
}

TEST(Options, DamagedFieldsAreRefused) {
  TTraciraModuleOptions source;
  TByteBuffer stream;
  source.SaveToStream(stream);
  struct Case {
    std::size_t offset;
    std::uint8_t value;
    const char* what;
  };
  for (const Case& c :
       {Case{0, 2, "boolean"}, Case{5, 6, "ForegroundTab"}, Case{11, 0xFF, "string length"}}) {
    TByteBuffer bad = stream;
    bad[c.offset] = c.value;
    if (c.offset == 11) bad[14] = 0x7F;  // SMTPFrom claims ~2 GB
    TTraciraModuleOptions target;
    EXPECT_THROW(target.LoadFromStream(bad.data(), bad.size()), EOptionsStreamError) << c.what;
  }
}

TEST(Options, ErrorsNumberToSaveZeroStoresOne) {
  TTraciraModuleOptions o;
  o.SetErrorsNumberToSave(0);
  EXPECT_EQ(o.ErrorsNumberToSave(), 1);
  o.SetErrorsNumberToSave(5);
  EXPECT_EQ(o.ErrorsNumberToSave(), 5);
}

TEST(Options, AssignCopiesEverythingAndRefusesNil) {
  TTraciraModuleOptions source("s.exe");
  SetEveryField(source);
  TTraciraModuleOptions target("t.exe");
  target.Assign(&source);
  EXPECT_TRUE(target.Data() == source.Data());
  EXPECT_EQ(target.ExceptionsFilters()[1].ExceptionClassName, "EAbort");
  try {
    target.Assign(nullptr);
    FAIL() << "no exception";
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(e.Message(), L"Impossible to assign nil as TTraciraModuleOptions.");
  }
}

TEST(Options, SettersRepublishUnlessSharedWritingIsOff) {
  CountingOptions o;
  o.published = 0;
  o.SetActivateLog(true);
  o.SetSMTPHost("h");
  EXPECT_EQ(o.published, 2);
  o.DisableSharedDataWrite();
  o.SetAppendLogs(true);
  EXPECT_EQ(o.published, 2);
  o.EnableSharedDataWrite();
  o.SetAppendLogs(false);
  EXPECT_EQ(o.published, 3);
}

TEST(Options, CustomizedTextsAreReadWithEnvironmentVariablesExpanded) {
#ifdef _WIN32
  // Set the way a program does, past the C runtime's copy of the environment;
  // the value reads back in the system code page (1251 under the tests).
  SetEnvironmentVariableW(L"TAVRIX_TEST_VAR", L"value \u0417\u043D\u0430\u0447");
  const std::string value = "value \xC7\xED\xE0\xF7";
#else
  ::setenv("TAVRIX_TEST_VAR", "value", 1);
  const std::string value = "value";
#endif
  TTraciraModuleOptions o;
  o.SetCustomizedTexts(mtDialog_Caption, "[%TAVRIX_TEST_VAR%] 100% %NO_SUCH_VAR_X% %");
  EXPECT_EQ(o.GetCustomizedExpandedTexts(mtDialog_Caption), "[" + value + "] 100% %NO_SUCH_VAR_X% %");
  EXPECT_EQ(o.GetCustomizedExpandedTexts(mtErrorMsgCaption), "Error.");
}

TEST(Options, FilterListOwnsAndIndexes) {
  TTraciraExceptionsFilters list;
  list.Add({true, "A", "", fetAll, fdtNone, fhtNone, fatNone});
  list.Add({true, "B", "", fetAll, fdtNone, fhtNone, fatNone});
  list.Add({true, "C", "", fetAll, fdtNone, fhtNone, fatNone});
  list.Delete(1);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list[1].ExceptionClassName, "C");
  EXPECT_THROW(list.Delete(2), rtl::Exception);
  EXPECT_THROW(list[5], rtl::Exception);
  TTraciraExceptionsFilters copy;
  copy.Assign(list);
  list.Clear();
  EXPECT_EQ(copy.Count(), 2u);
}

TEST(Options, FileRoundTrip) {
  const std::string file = ::testing::TempDir() + "tavrix_options.bin";
  TTraciraModuleOptions source;
  SetEveryField(source);
  source.SaveToFile(file);
  TTraciraModuleOptions target;
  target.LoadFromFile(file);
  EXPECT_TRUE(target.Data() == source.Data());
  std::remove(file.c_str());
  EXPECT_THROW(target.LoadFromFile(file), rtl::Exception);
}

}  // namespace
}  // namespace tracira
