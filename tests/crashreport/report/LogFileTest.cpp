// The log file: damaged input, the maximum, duplicates, versions and the
// crash-safe save, on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"

namespace tracira {
namespace {

TTraciraDebugInfo ErrorEntry(const char* procedure, std::uint32_t line) {
  TTraciraDebugInfo e;
  e.DebugDetail = ddSourceCode, e.ErrorLine = true, e.ProcedureName = procedure, e.Line = line;
  return e;
}

// A real report, small: the general part, a one-entry stack and the empty
// optional sections.
std::string Report(const std::string& id, const std::string& version = "1.2.0.5",
                   const std::string& message = "Port busy.") {
  static const TTraciraTexts texts = DefaultTraciraTexts();
  TReportParts parts;
  parts.General.AppVersionNumber = version;
  parts.General.ExcMessage = message;
  parts.General.ExcID = id;
  parts.Stack = {ErrorEntry("Click", 3)};
  parts.Stack[0].ModuleName = "Tavrix.exe", parts.Stack[0].ThreadID = 1, parts.Stack[0].Addr = 0x401000;
  parts.Stack[0].UnitName = "fmuMain.cpp";
  parts.SaveModulesAndProcesses = false;
  parts.SaveAssemblerAndCPU = false;
  return CreateLogText(texts, parts);
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << data;
}

class LogFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fDir = std::filesystem::temp_directory_path() / (std::string("tavrix-log-") + info->name());
    std::filesystem::remove_all(fDir);
    std::filesystem::create_directories(fDir);
    fFile = fDir / "Tavrix.tlf";
  }
  void TearDown() override { std::filesystem::remove_all(fDir); }
  std::filesystem::path fDir, fFile;
};

TEST(LogFileParse, DamagedAndForeignPieces) {
  const std::string a = Report("AAAA"), b = Report("BBBB");
  const std::string sep = "\r\n\r\n\r\n";
  const std::string lfOnly = [&] {
    std::string s;
    for (char c : a)
      if (c != '\r') s += c;
    return s;
  }();
  const struct {
    const char* name;
    std::string buffer;
    std::vector<std::string> ids;  // item 2.7 of each kept report, in order
  } cases[] = {
      {"two reports", a + sep + b + sep, {"AAAA", "BBBB"}},
      {"foreign text between", a + sep + "some foreign\r\ntext here" + sep + b + sep, {"AAAA", "BBBB"}},
      {"foreign prefix without blank run", "garbage line\r\n" + a + sep, {"AAAA"}},
      {"last report cut inside its table", a + sep + b.substr(0, b.find("|00401000") + 5), {"AAAA", "BBBB"}},
      // Cut before any table row, it can't be told from foreign text.
      {"last report cut before its table", a + sep + b.substr(0, b.find("Call Stack")), {"AAAA"}},
      {"no final separator", a, {"AAAA"}},
      {"LF line ends", lfOnly + "\n\n\n" + lfOnly, {"AAAA", "AAAA"}},
      {"CR line ends", std::string("x\r\r\r\r") + a, {"AAAA"}},
      {"extra blank lines", "\r\n\r\n" + a + sep + "\r\n\r\n\r\n" + b, {"AAAA", "BBBB"}},
      {"no report at all", "just some text\r\n\r\n\r\n\r\nmore", {}},
      {"shorter than 6 bytes", "-\r\n|", {}},
      {"empty", "", {}},
      {"binary zeros", std::string(100, '\0') + sep + a, {"AAAA"}},
  };
  for (const auto& c : cases) {
    TLogFile log;
    log.LoadFromBuffer(c.buffer);
    ASSERT_EQ(log.GetCount(), static_cast<int>(c.ids.size())) << c.name;
    for (std::size_t i = 0; i < c.ids.size(); ++i)
      EXPECT_EQ(log.GetItemValue("2.7", static_cast<int>(i)), c.ids[i]) << c.name;
    // What is kept reads back exactly.
    EXPECT_EQ(TLogFile::ParseBuffer(log.GetText()), TLogFile::ParseBuffer(c.buffer)) << c.name;
  }
  // An intact report is stored byte for byte, with its separator.
  TLogFile log;
  log.LoadFromBuffer(a + sep + b + sep);
  EXPECT_EQ(log.GetReport(0), a + sep);
  EXPECT_EQ(log.GetText(), a + sep + b + sep);
  EXPECT_EQ(log.GetLogVersion(1), "6.0.6");
}

TEST(LogFileParse, StreamsRoundTrip) {
  TLogFile log;
  log.Append(Report("0001"), -1);
  log.Append(Report("0002"), -1);
  std::stringstream stream;
  log.SaveToStream(stream);
  TLogFile back;
  back.LoadFromStream(stream);
  EXPECT_EQ(back.GetText(), log.GetText());
  EXPECT_EQ(back.GetCount(), 2);
}

TEST(LogFileItems, EscapedValuesReadBack) {
  TLogFile log;
  log.Append(Report("AAAA", "1.0", "First line: detail\r\n\r\n   indented\n 9.9 tricky: too\r\n"), -1);
  EXPECT_EQ(log.GetItemValue("2.6", 0), "First line: detail\r\n\r\nindented\r\n9.9 tricky: too");
  EXPECT_EQ(log.GetItemValue("2.7", 0), "AAAA");  // the item after it is still found
  EXPECT_EQ(log.GetItemValue("1.3", 0), "1.0");
  EXPECT_EQ(log.GetItemValue("2.10", 0), "");
  EXPECT_FALSE(log.HasItem("9.1", 0));
  EXPECT_EQ(log.GetItemValue("2.7", 5), "");

  EXPECT_TRUE(log.SetItemValue("2.7", "a: b\r\nc", 0, "ID"));
  EXPECT_EQ(log.GetItemValue("2.7", 0), "a: b\r\nc");
  EXPECT_EQ(log.GetItemValue("2.8", 0), "1");
  EXPECT_NE(log.GetReport(0).find("  2.7 ID" + std::string(12, ' ') + ": a:_b\r\n c\r\n  2.8 Count" +
                                  std::string(9, ' ') + ": 1\r\n"),
            std::string::npos);
}

TEST(LogFileItems, MissingItemIsInsertedAlignedAfterItsSection) {
  TLogFile log;
  // Only 2.6 and 2.7 shown: 2.8 is missing from the stored report.
  TReportParts parts;
  parts.ShowOptions = TShowOptions::FromBits((1ull << 11) | (1ull << 12));
  parts.General.ExcMessage = "m";
  parts.General.ExcID = "CAFE";
  parts.Stack = {ErrorEntry("P", 1)};
  log.Append(CreateLogText(DefaultTraciraTexts(), parts), -1);
  ASSERT_FALSE(log.HasItem("2.8", 0));
  EXPECT_TRUE(log.SetItemValue("2.8", "2", 0, "Count"));
  EXPECT_NE(log.GetReport(0).find("  2.6 Message: m\r\n  2.7 ID     : CAFE\r\n  2.8 Count  : 2\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(log.GetItemValue("2.8", 0), "2");
  EXPECT_FALSE(log.SetItemValue("5.1", "x", 0, "Name")) << "no section 5 to insert into";
}

TEST(LogFileItems, FindItemGivesTheLastMatch) {
  TLogFile log;
  for (const char* id : {"AAAA", "BBBB", "AAAA", "CCCC"}) log.Append(Report(id), -1);
  EXPECT_EQ(log.FindItem({{"2.7", "AAAA"}}), 2);
  EXPECT_EQ(log.FindItem({{"2.7", "DDDD"}, {"2.7", "BBBB"}}), 1);
  EXPECT_EQ(log.FindItem({{"2.7", "DDDD"}}), -1);
  EXPECT_EQ(log.FindItem({{"2.7", "DDDD"}, {"1.3", "1.2.0.5"}}), 3);
}

TEST(LogFileAppend, MaximumDropsTheOldest) {
  TLogFile log;
  for (int i = 1; i <= 33; ++i) log.Append(Report(std::to_string(1000 + i)), 32);
  ASSERT_EQ(log.GetCount(), 32);
  EXPECT_EQ(log.GetItemValue("2.7", 0), "1002");
  EXPECT_EQ(log.GetItemValue("2.7", 31), "1033");
  log.Append(Report("X"), 3);  // a smaller maximum drops several at once
  ASSERT_EQ(log.GetCount(), 3);
  EXPECT_EQ(log.GetItemValue("2.7", 0), "1032");
  log.Append(Report("Y"), 0);  // 0 keeps one
  ASSERT_EQ(log.GetCount(), 1);
  EXPECT_EQ(log.GetItemValue("2.7", 0), "Y");
  log.Append("\r\n\r\n", -1);
  EXPECT_EQ(log.GetCount(), 1) << "an empty text is no report";
}

TEST(LogFileAppend, StoredTextAlwaysReadsBackAsOneReport) {
  // Blank-line runs inside and no final line break would otherwise split or
  // merge reports when the file is read again.
  TLogFile log;
  std::string odd = Report("ODD1");
  odd.insert(odd.find("Call Stack"), "\r\n\r\n\r\n\r\n\r\n");
  odd.pop_back(), odd.pop_back();
  log.Append(odd, -1);
  log.Append(Report("NEXT"), -1);
  TLogFile back;
  back.LoadFromBuffer(log.GetText());
  ASSERT_EQ(back.GetCount(), 2);
  EXPECT_EQ(back.GetItemValue("2.7", 0), "ODD1");
  EXPECT_EQ(back.GetItemValue("2.7", 1), "NEXT");
  EXPECT_EQ(back.GetText(), log.GetText());
}

TEST_F(LogFileOnDisk, DuplicateCountGoesFromOneToTwo) {
  {
    TLogFile log(fFile);
    log.Append(Report("AAAA"), 32);
    log.Append(Report("BBBB"), 32);
    log.Save();
  }
  TLogFile log(fFile);
  EXPECT_FALSE(CalcDuplicatedException(log, "CCCC", true, "Count"));
  ASSERT_TRUE(CalcDuplicatedException(log, "AAAA", true, "Count"));
  TLogFile reread(fFile);
  ASSERT_EQ(reread.GetCount(), 2) << "a duplicate is not appended";
  EXPECT_EQ(reread.GetItemValue("2.8", 0), "2");
  EXPECT_EQ(reread.GetItemValue("2.8", 1), "1");
  ASSERT_TRUE(CalcDuplicatedException(reread, "AAAA", true, "Count"));
  EXPECT_EQ(TLogFile(fFile).GetItemValue("2.8", 0), "3");
  // Without counting, a duplicate is found but nothing changes.
  const std::string before = ReadFile(fFile);
  EXPECT_TRUE(CalcDuplicatedException(reread, "BBBB", false, "Count"));
  EXPECT_EQ(ReadFile(fFile), before);
}

TEST_F(LogFileOnDisk, UnreadableCountStartsAtOne) {
  TLogFile log(fFile);
  log.Append(Report("AAAA"), 32);
  log.SetItemValue("2.8", "many", 0, "Count");
  log.Save();
  ASSERT_TRUE(CalcDuplicatedException(log, "AAAA", true, "Count"));
  EXPECT_EQ(TLogFile(fFile).GetItemValue("2.8", 0), "2");
}

TEST_F(LogFileOnDisk, VersionChangeDeletesTheLog) {
  TLogFile log(fFile);
  log.Append(Report("AAAA", "1.0.0.1"), 32);
  log.Save();
  EXPECT_FALSE(DeleteLogAtVersionChange(log, "1.0.0.1"));
  EXPECT_TRUE(std::filesystem::exists(fFile));
  EXPECT_TRUE(DeleteLogAtVersionChange(log, "1.0.0.2"));
  EXPECT_FALSE(std::filesystem::exists(fFile));
  EXPECT_EQ(log.GetCount(), 0);
  EXPECT_FALSE(DeleteLogAtVersionChange(log, "1.0.0.3")) << "an empty log has no version";
}

TEST_F(LogFileOnDisk, HiddenVersionKeepsTheLog) {
  TReportParts parts;
  parts.ShowOptions = TShowOptions::FromBits(1ull << 12);  // no item 1.3
  parts.Stack = {ErrorEntry("P", 1)};
  TLogFile log(fFile);
  log.Append(CreateLogText(DefaultTraciraTexts(), parts), 32);
  log.Save();
  EXPECT_FALSE(DeleteLogAtVersionChange(log, "2.0.0.0"));
  EXPECT_EQ(TLogFile(fFile).GetCount(), 1);
}

TEST_F(LogFileOnDisk, SaveReplacesTheFileWhole) {
  WriteFile(fFile, "foreign bytes\r\n" + Report("OLD1") + "\r\n\r\n\r\n");
  TLogFile log(fFile);
  ASSERT_EQ(log.GetCount(), 1);
  log.Append(Report("NEW1"), 32);
  log.Save();
  EXPECT_EQ(ReadFile(fFile), log.GetText());
  EXPECT_FALSE(std::filesystem::exists(SafeSaveTempName(fFile)));
  // Fewer reports than before: nothing of the longer old file remains.
  TLogFile shorter(fFile);
  shorter.Append(Report("ONLY"), 1);
  shorter.Save();
  EXPECT_EQ(ReadFile(fFile), shorter.GetText());
}

TEST_F(LogFileOnDisk, FailedSaveKeepsTheOldFile) {
  TLogFile log(fFile);
  log.Append(Report("KEEP"), 32);
  log.Save();
  const std::string before = ReadFile(fFile);
  // The temporary file can't be created: the save fails before touching the log.
  std::filesystem::create_directory(SafeSaveTempName(fFile));
  log.Append(Report("LOST"), 32);
  EXPECT_THROW(log.Save(), ELogFileError);
  EXPECT_EQ(ReadFile(fFile), before);
  std::filesystem::remove(SafeSaveTempName(fFile));
  // A stale temporary file from a crash during a save is not read and is
  // simply overwritten by the next save.
  WriteFile(SafeSaveTempName(fFile), Report("HALF").substr(0, 100));
  EXPECT_EQ(TLogFile(fFile).GetText(), before);
  log.Save();
  EXPECT_EQ(TLogFile(fFile).GetCount(), 2);
  EXPECT_FALSE(std::filesystem::exists(SafeSaveTempName(fFile)));
}

TEST_F(LogFileOnDisk, MissingFileAndMissingFolder) {
  TLogFile log(fFile);
  EXPECT_EQ(log.GetCount(), 0);
  TLogFile nowhere(fDir / "no such folder" / "x.tlf");
  nowhere.Append(Report("AAAA"), 32);
  EXPECT_THROW(nowhere.Save(), ELogFileError);
  EXPECT_THROW(TLogFile().Save(), ELogFileError);
}

}  // namespace
}  // namespace tracira
