// The log file's name by its rules, and storing a report with the saving
// events, retries and duplicates, on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crashreport/core/TrText.h"
#include "crashreport/report/TrLogText.h"
#include "crashreport/report/TrSaveLog.h"

namespace tracira {
namespace {

TEST(LogFileName, EveryRule) {
  struct Case {
    const char* Rule;
    TLogNameParts Parts;
    std::string Expected;
  };
  const auto parts = [](std::string output, bool profileSystem = true, std::string extension = ".tlf",
                        bool computer = false) {
    TLogNameParts p;
    p.ModuleName = "C:\\Program Files\\Ortvel\\Tavrix.exe";
    p.OutputPath = std::move(output);
    p.Extension = std::move(extension);
    p.ProfileSystem = profileSystem;
    p.ProfileFolder = "C:\\users\\operator";
    p.AddComputerName = computer;
    p.ComputerName = "BENCH7";
    return p;
  };
  const Case cases[] = {
      {"folder given", parts("D:\\Logs"), "D:\\Logs\\Tavrix.tlf"},
      {"folder given with its slash", parts("D:\\Logs\\"), "D:\\Logs\\Tavrix.tlf"},
      {"whole file given", parts("D:\\Logs\\bench.TLF"), "D:\\Logs\\bench.tlf"},
      {"whole file, another extension", parts("D:\\Logs\\bench.tlf", true, ".log"), "D:\\Logs\\bench.log"},
      {"empty: the profile", parts(""), "C:\\users\\operator\\TraciraLog\\Tavrix.tlf"},
      {"empty on an old system: beside the module", parts("", false),
       "C:\\Program Files\\Ortvel\\Tavrix.tlf"},
      {"variables stay for the system", parts("%TEMP%\\x"), "%TEMP%\\x\\Tavrix.tlf"},
      {"computer name", parts("D:\\Logs", true, ".tlf", true), "D:\\Logs\\Tavrix_BENCH7.tlf"},
      {"computer name, whole file", parts("D:\\a.b\\bench.tlf", true, ".tlf", true),
       "D:\\a.b\\bench_BENCH7.tlf"},
      {"another extension", parts("D:\\Logs", true, ".xml"), "D:\\Logs\\Tavrix.xml"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogFileName(c.Parts), c.Expected) << c.Rule;
  TLogNameParts noExtension = parts("", true);
  noExtension.ModuleName = "C:\\bin\\tool";
  EXPECT_EQ(LogFileName(noExtension), "C:\\users\\operator\\TraciraLog\\tool.tlf");
}

// A real report, small, with its ID.
std::string Report(const std::string& id) {
  TReportParts parts;
  parts.General.ExcID = id;
  TTraciraDebugInfo e;
  e.DebugDetail = ddSourceCode, e.ErrorLine = true, e.ProcedureName = "Click", e.Line = 3, e.ThreadID = 1;
  parts.Stack = {e};
  parts.SaveModulesAndProcesses = false;
  parts.SaveAssemblerAndCPU = false;
  return CreateLogText(DefaultTraciraTexts(), parts);
}

class SaveLog : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fDir = std::filesystem::temp_directory_path() / (std::string("tavrix-savelog-") + info->name());
    std::filesystem::remove_all(fDir);
    std::filesystem::create_directories(fDir);
    fName = fDir / "Tavrix.tlf";
    fEvents.FileName = [this] { return fName; };
    fEvents.Action = [this](TTraciraActionType a) {
      fCalls.push_back(a == atSavingLogFile ? "saving" : "saved");
      return fExecute;
    };
    fEvents.Failed = [this](const std::string& m) { fCalls.push_back("failed: " + m.substr(0, 6)); };
    fEvents.Retry = [this] {
      fCalls.push_back("retry?");
      return fRetry ? fRetry() : false;
    };
  }
  void TearDown() override { std::filesystem::remove_all(fDir); }
  std::vector<std::string> Ids(const std::filesystem::path& file) {
    TLogFile log(file);
    std::vector<std::string> ids;
    for (int i = 0; i < log.GetCount(); ++i) ids.push_back(log.GetItemValue("2.7", i));
    return ids;
  }
  // A save into fName fails while this folder stands in the temporary file's place.
  void BlockSaving(bool blocked) {
    const auto temp = SafeSaveTempName(fName);
    if (blocked)
      std::filesystem::create_directories(temp);
    else
      std::filesystem::remove(temp);
  }

  std::filesystem::path fDir;
  std::filesystem::path fName;
  TSaveLogEvents fEvents;
  std::vector<std::string> fCalls;
  bool fExecute = true;
  std::function<bool()> fRetry;
  TTraciraModuleOptions fOptions;
  TLogSession fSession;
};

TEST_F(SaveLog, KeepsAtMostTheNumberToSaveAndTellsBothEvents) {
  fOptions.SetErrorsNumberToSave(3);
  for (const char* id : {"0001", "0002", "0003", "0004", "0005"}) {
    const TSaveLogResult r = SaveLogFile(fSession, fOptions, Report(id), false, fEvents);
    EXPECT_TRUE(r.Saved);
    EXPECT_EQ(r.FileName, fName);
    EXPECT_TRUE(r.EntireLog.empty()) << "kept only for sending the whole log";
  }
  EXPECT_EQ(Ids(fName), (std::vector<std::string>{"0003", "0004", "0005"}));
  EXPECT_EQ(fCalls.size(), 10u);
  EXPECT_EQ(fCalls[0], "saving");
  EXPECT_EQ(fCalls[1], "saved");
  EXPECT_FALSE(fSession.IsOpen());
}

TEST_F(SaveLog, DuplicateIsNotAppendedAndExecuteClearedKeepsTheFile) {
  SaveLogFile(fSession, fOptions, Report("AAAA"), false, fEvents);
  SaveLogFile(fSession, fOptions, Report("AAAA"), true, fEvents);
  EXPECT_EQ(Ids(fName), (std::vector<std::string>{"AAAA"}));
  fExecute = false;
  fCalls.clear();
  EXPECT_FALSE(SaveLogFile(fSession, fOptions, Report("BBBB"), false, fEvents).Saved);
  EXPECT_EQ(Ids(fName), (std::vector<std::string>{"AAAA"}));
  // A handler that stops the saving is no failure: no error, no retry.
  EXPECT_EQ(fCalls, (std::vector<std::string>{"saving", "saved"}));
}

TEST_F(SaveLog, WholeLogKeptForSendingAlsoWithoutSaving) {
  SaveLogFile(fSession, fOptions, Report("AAAA"), false, fEvents);
  fOptions.SetCommonSendOptions({sndSendEntireLog});
  fOptions.SetSaveLogFile(false);
  fCalls.clear();
  const TSaveLogResult r = SaveLogFile(fSession, fOptions, Report("BBBB"), false, fEvents);
  EXPECT_FALSE(r.Saved);
  EXPECT_EQ(Ids(fName), (std::vector<std::string>{"AAAA"}));
  TLogFile kept;
  kept.LoadFromBuffer(r.EntireLog);
  ASSERT_EQ(kept.GetCount(), 2);
  EXPECT_EQ(kept.GetItemValue("2.7", 1), "BBBB");
  EXPECT_TRUE(fCalls.empty()) << "without SaveLogFile no saving events";
}

TEST_F(SaveLog, FailureIsRecordedAndRetriedOnANewName) {
  SaveLogFile(fSession, fOptions, Report("AAAA"), false, fEvents);
  BlockSaving(true);
  const std::filesystem::path other = fDir / "sub" / "Other.tlf";
  std::filesystem::create_directories(fDir / "sub");
  fRetry = [&] {
    fName = other;  // the handler points the log elsewhere and asks again
    return true;
  };
  const TSaveLogResult r = SaveLogFile(fSession, fOptions, Report("BBBB"), false, fEvents);
  EXPECT_TRUE(r.Saved);
  EXPECT_EQ(r.FileName, other);
  EXPECT_EQ(fCalls,
            (std::vector<std::string>{"saving", "saved", "saving", "failed: Cannot", "retry?", "saved"}));
  EXPECT_EQ(Ids(other), (std::vector<std::string>{"BBBB"}));
  BlockSaving(false);
  EXPECT_EQ(Ids(fDir / "Tavrix.tlf"), (std::vector<std::string>{"AAAA"}));
}

TEST_F(SaveLog, RetryOnTheSameFileAppendsTheReportOnce) {
  SaveLogFile(fSession, fOptions, Report("AAAA"), false, fEvents);
  BlockSaving(true);
  int tries = 0;
  fRetry = [&] {
    if (++tries == 2) BlockSaving(false);  // the disk is back
    return tries <= 2;
  };
  EXPECT_TRUE(SaveLogFile(fSession, fOptions, Report("BBBB"), false, fEvents).Saved);
  EXPECT_EQ(tries, 2);
  EXPECT_EQ(Ids(fName), (std::vector<std::string>{"AAAA", "BBBB"}));
}

TEST_F(SaveLog, UnreadableLogIsAFailureWithoutRetryUnlessAsked) {
  // A folder where the log should be: it can be neither read nor written.
  std::filesystem::create_directories(fName);
  fCalls.clear();
  EXPECT_FALSE(SaveLogFile(fSession, fOptions, Report("AAAA"), false, fEvents).Saved);
  ASSERT_EQ(fCalls.size(), 4u);
  EXPECT_EQ(fCalls[1].rfind("failed: ", 0), 0u);
  EXPECT_EQ(fCalls[2], "retry?");
  EXPECT_EQ(fCalls[3], "saved");
}

}  // namespace
}  // namespace tracira
