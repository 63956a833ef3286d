// The handling's log file, shared options and screenshot in this very
// process: where the log lands by each rule, what it keeps, the saving
// events and the retry, the published options, the picture for sending,
// and the CPU and assembler sections of a fault with known registers.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrDebugWin.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrDelivery.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"
#include "rtl/Guarded.h"
#include "tests/crashreport/engine/EngineTestSupport.h"

namespace {

using namespace tracira;
namespace fs = std::filesystem;
using enginetest::PrepareOptions;
using enginetest::SavedReports;

class ELogTestProblem : public rtl::Exception {
 public:
  using Exception::Exception;
};

int gNumber = 0;
__attribute__((noinline)) void RaiseNumbered() {
  throw ELogTestProblem(L"Problem " + std::to_wstring(gNumber));
}
__attribute__((noinline)) void RaiseElsewhere() { throw ELogTestProblem(L"Problem elsewhere"); }

void AtTheEdge(void (*body)()) {
  rtl::Guarded([&] { body(); }, [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
}

std::string Item(const std::string& report, const char* item) {
  TLogFile log;
  log.LoadFromBuffer(report);
  return log.GetItemValue(item, 0);
}

fs::path TempFolder(const std::wstring& name) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const fs::path folder = fs::path(temp) / L"tavrix-engine-log" / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

fs::path ProfileLog() {
  wchar_t profile[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile);
  return fs::path(profile) / L"TraciraLog" / L"tracira_engine_test.tlf";
}

std::wstring ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  GetComputerNameW(name, &size);
  return name;
}

TEST(LogPlace, EachRuleOfTheName) {
  const fs::path base = TempFolder(L"place");
  std::ofstream(base / L"a-file.txt") << "in the way";
  SetEnvironmentVariableW(L"TAVRIX_LOG_FOLDER", (base / L"из переменной").c_str());
  // A folder no code page holds whole (a user's profile can be named so).
  SetEnvironmentVariableW(L"TAVRIX_WIDE_FOLDER", (base / L"Ω 記録").c_str());
  struct Case {
    const char* Rule;
    std::string OutputPath;  // ANSI, as the options hold it
    fs::path Expected;
    bool ComputerName = false;
  };
  const Case cases[] = {
      {"a folder", ToAnsi((base / L"given").wstring()), base / L"given" / L"tracira_engine_test.tlf"},
      {"a whole file", ToAnsi((base / L"whole" / L"bench.TLF").wstring()), base / L"whole" / L"bench.tlf"},
      {"empty: the profile's TraciraLog", "", ProfileLog()},
      {"a folder that can't be made: the profile's TraciraLog",
       ToAnsi((base / L"a-file.txt" / L"sub").wstring()), ProfileLog()},
      {"a Cyrillic folder", ToAnsi((base / L"Журнал сканера").wstring()),
       base / L"Журнал сканера" / L"tracira_engine_test.tlf"},
      {"a variable the program set", "%TAVRIX_LOG_FOLDER%\\sub",
       base / L"из переменной" / L"sub" / L"tracira_engine_test.tlf"},
      {"a folder outside the code page", "%TAVRIX_WIDE_FOLDER%",
       base / L"Ω 記録" / L"tracira_engine_test.tlf"},
      {"the computer's name", ToAnsi((base / L"named").wstring()),
       base / L"named" / (L"tracira_engine_test_" + ComputerName() + L".tlf"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Rule);
    PrepareOptions("place");
    TTraciraModuleOptions& o = CurrentTraciraLogOptions();
    o.SetOutputPath(c.OutputPath);
    if (c.ComputerName) o.SetLogOptions({loAddComputerNameInLogFileName, loSaveAssemblerAndCPUSections});
    std::error_code ignored;
    fs::remove(c.Expected, ignored);
    gNumber = 1;
    AtTheEdge(RaiseNumbered);
    ASSERT_TRUE(fs::exists(c.Expected)) << c.Expected.string();
    EXPECT_EQ(TLogFile(c.Expected).GetCount(), 1);
    EXPECT_EQ(LastLogFileName(), ToAnsi(c.Expected.wstring()));
    fs::remove(c.Expected, ignored);
  }
  SetEnvironmentVariableW(L"TAVRIX_LOG_FOLDER", nullptr);
  SetEnvironmentVariableW(L"TAVRIX_WIDE_FOLDER", nullptr);
  fs::remove_all(base);
}

TEST(LogContents, KeepsTheNewestUpToTheNumberToSave) {
  PrepareOptions("kept");
  CurrentTraciraLogOptions().SetErrorsNumberToSave(3);
  for (gNumber = 1; gNumber <= 5; ++gNumber) AtTheEdge(RaiseNumbered);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Item(reports[i], "2.6"), "Problem " + std::to_string(i + 3) + ".");
}

// Reports with the ID of a stored one only count there. (The ID takes in
// every source line the stack scan finds, stale ones too, so the same raise
// may get another ID once: the counts are checked by the IDs the reports got.)
TEST(LogContents, ADuplicateIsCountedInTheStoredReport) {
  PrepareOptions("duplicate");
  CurrentTraciraLogOptions().SetLogOptions({loNoDuplicateErrors});
  std::map<std::string, int> raised;
  for (gNumber = 1; gNumber <= 4; ++gNumber) {
    AtTheEdge(RaiseNumbered);
    ++raised[Item(LastLogText(), "2.7")];
  }
  AtTheEdge(RaiseElsewhere);
  ++raised[Item(LastLogText(), "2.7")];
  EXPECT_LT(raised.size(), 5u) << "no duplicate at all";
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), raised.size());
  for (const std::string& report : reports)
    EXPECT_EQ(Item(report, "2.8"), std::to_string(raised[Item(report, "2.7")])) << Item(report, "2.6");
  EXPECT_EQ(Item(reports.back(), "2.6"), "Problem elsewhere.");
  EXPECT_EQ(Item(reports.back(), "2.8"), "1");
}

TEST(LogContents, AnotherVersionStartsANewLog) {
  PrepareOptions("version");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  TReportParts parts;
  parts.General.AppVersionNumber = "0.9.0.1";
  parts.General.ExcID = "OLD1";
  TTraciraDebugInfo e;
  e.DebugDetail = ddSourceCode, e.ErrorLine = true, e.ProcedureName = "Old", e.Line = 1, e.ThreadID = 1;
  parts.Stack = {e};
  TLogFile old(OutputLogFile(o));
  old.Append(CreateLogText(DefaultTraciraTexts(), parts), 32);
  old.Save();
  o.SetLogOptions({loDeleteLogAtVersionChange});
  gNumber = 1;
  AtTheEdge(RaiseNumbered);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(Item(reports[0], "2.6"), "Problem 1.");
}

// The same raise three times: twice stored (or counted), the third is the
// twin of a stored one. Answers the ID the third got and whether it had a
// stored twin. (Each raise on a fresh thread: the stale words the stack scan
// finds, which the ID takes in, are then the same each time.)
struct TThirdRaise {
  std::string ID;
  bool HadTwin = false;
};
void RaiseOnAFreshThread() {
  std::thread([] { AtTheEdge(RaiseNumbered); }).join();
}
template <class During>
TThirdRaise RaiseAThirdTime(During during) {
  gNumber = 7;
  RaiseOnAFreshThread();
  RaiseOnAFreshThread();
  std::set<std::string> stored;
  for (const std::string& report : SavedReports()) stored.insert(Item(report, "2.7"));
  during();
  RaiseOnAFreshThread();
  TThirdRaise third;
  third.ID = Item(LastLogText(), "2.7");
  third.HadTwin = stored.contains(third.ID);
  return third;
}

// ... and, being new, it is sent.
TEST(LogContents, ATwinInALogOfAnotherVersionIsStoredAnewAndSent) {
  PrepareOptions("twin-other-version");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetLogOptions({loNoDuplicateErrors});
  int sent = 0;
  const TThirdRaise third = RaiseAThirdTime([&] {
    // The stored reports came from an older build of the program.
    TLogFile log(OutputLogFile(o));
    for (int i = 0; i < log.GetCount(); ++i) log.SetItemValue("1.3", "0.9.0.1", i, "");
    log.Save();
    o.SetLogOptions({loNoDuplicateErrors, loDeleteLogAtVersionChange});
    o.SetEMailSendMode(esmSMTPClient);
    SetReportSender([&](TClosingSteps&) { ++sent; });
  });
  SetReportSender(DeliverReport);
  ASSERT_TRUE(third.HadTwin) << "the third raise got an ID of its own";
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(Item(reports[0], "2.7"), third.ID);
  EXPECT_EQ(Item(reports[0], "2.8"), "1");
  EXPECT_EQ(sent, 1);
}

// The twin's raised count can't be saved (another program holds the log
// for a moment): the report isn't stored a second time as a new one.
TEST(LogContents, ATwinWhoseCountCannotBeSavedIsNotStoredTwice) {
  PrepareOptions("twin-count-fails");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetLogOptions({loNoDuplicateErrors});
  HANDLE held = INVALID_HANDLE_VALUE;
  std::size_t before = 0;
  const TThirdRaise third = RaiseAThirdTime([&] {
    before = SavedReports().size();
    held = CreateFileW(OutputLogFile(o).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
    // Let go once the twin has been looked for.
    ExceptionNotify = [&](TTraciraExceptionRecord&, bool&) {
      CloseHandle(held);
      held = INVALID_HANDLE_VALUE;
    };
  });
  ExceptionNotify = nullptr;
  ASSERT_NE(before, 0u);
  ASSERT_TRUE(third.HadTwin) << "the third raise got an ID of its own";
  ASSERT_EQ(held, INVALID_HANDLE_VALUE);
  const auto reports = SavedReports();
  EXPECT_EQ(reports.size(), before);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [&](const std::string& r) { return Item(r, "2.7") == third.ID; }),
            1);
}

TEST(LogEvents, AFailedSaveIsALogErrorAndARetryStoresIt) {
  PrepareOptions("retry");
  const fs::path log = OutputLogFile(CurrentTraciraLogOptions());
  // A folder in the temporary file's place: every save fails.
  fs::create_directories(SafeSaveTempName(log));
  std::vector<std::string> calls;
  ExceptionErrorNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool& retry) {
    calls.push_back(std::to_string(action) + " " + InternalErrorText().substr(0, 5));
    if (calls.size() == 2) fs::remove(SafeSaveTempName(log));  // the second time, the way is free
    retry = true;
  };
  gNumber = 7;
  AtTheEdge(RaiseNumbered);
  ExceptionErrorNotify = nullptr;
  EXPECT_EQ(calls, (std::vector<std::string>{"3 [Log]", "3 [Log]"}));
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u) << "stored once, after the retries";
  EXPECT_EQ(Item(reports[0], "2.6"), "Problem 7.");
}

TEST(LogEvents, CustomSectionIsInTheStoredTextAndInTheKeptCopy) {
  PrepareOptions("custom-copy");
  CustomDataRequest = [](TTraciraExceptionRecord&, std::vector<std::string>& lines) {
    lines = {"Port=COM 41"};
  };
  std::string seenWhenSaving;
  ExceptionActionNotify = [&](TTraciraExceptionRecord& record, TTraciraActionType action, bool&) {
    if (action == atSavingLogFile) seenWhenSaving = record.LogText;
  };
  AtTheEdge(RaiseElsewhere);
  CustomDataRequest = nullptr;
  ExceptionActionNotify = nullptr;
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  for (const std::string* text : {&reports[0], static_cast<const std::string*>(&seenWhenSaving)}) {
    EXPECT_EQ(Item(*text, "8.1"), "COM 41") << *text;
    EXPECT_LT(text->find("Custom Information:"), text->find("Call Stack Information:"));
  }
  EXPECT_EQ(Item(LastLogText(), "8.1"), "COM 41");
}

TEST(LogEvents, TheWholeLogIsKeptForSending) {
  PrepareOptions("entire");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetCommonSendOptions({sndSendEntireLog});
  gNumber = 1;
  AtTheEdge(RaiseNumbered);
  gNumber = 2;
  AtTheEdge(RaiseNumbered);
  TLogFile kept;
  kept.LoadFromBuffer(EntireLogText());
  ASSERT_EQ(kept.GetCount(), 2);
  EXPECT_EQ(kept.GetItemValue("2.6", 1), "Problem 2.");
}

// ---------------------------------------------------------------------------

TEST(SharedOptions, EveryChangeIsPublishedInTheModulesNamedBlock) {
  PrepareOptions("shared");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetErrorsNumberToSave(17);
  // Larger than the block first made: it grows.
  o.SetEMailMessage(std::string(200000, 'm'));
  const HMODULE program = GetModuleHandleW(nullptr);
  const std::string name = SharedDataName(
      GetCurrentProcessId(), static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(program)));
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, std::wstring(name.begin(), name.end()).c_str());
  ASSERT_TRUE(mapping) << name;
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_TRUE(view);
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(view, &region, sizeof region);
  TTraciraModuleOptions published;
  published.DisableSharedDataWrite();
  EXPECT_TRUE(ApplySharedOptionsBlock(static_cast<const std::uint8_t*>(view), region.RegionSize, published));
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  EXPECT_EQ(published.ErrorsNumberToSave(), 17);
  EXPECT_EQ(published.EMailMessage().size(), 200000u);
  EXPECT_EQ(published.OutputPath(), o.OutputPath());
  // A module's data, loaded now, takes the published options over its block's.
  TTraciraModuleOptions loaded;
  loaded.DisableSharedDataWrite();
  ASSERT_TRUE(LoadDebugInformation(program, loaded));
  EXPECT_EQ(loaded.ErrorsNumberToSave(), 17);
  o.SetEMailMessage("");
}

TEST(SharedOptions, ModulesWithAndWithoutABlock) {
  const HMODULE program = GetModuleHandleW(nullptr), kernel = GetModuleHandleW(L"kernel32.dll");
  EXPECT_TRUE(IsTraciraLogModule(program));
  EXPECT_TRUE(IsTraciraLogCompatibleModule(program));
  EXPECT_EQ(GetTraciraLogModuleVersion(program), 6006);
  EXPECT_FALSE(IsTraciraLogModule(kernel));
  EXPECT_FALSE(IsTraciraLogCompatibleModule(kernel));
  EXPECT_EQ(GetTraciraLogModuleVersion(kernel), 0);
}

// ---------------------------------------------------------------------------

// A visible window in front, of a known size.
class TFrontWindow {
 public:
  TFrontWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"TavrixShotWindow";
    RegisterClassW(&wc);
    Window = CreateWindowW(L"TavrixShotWindow", L"Shot", WS_POPUP | WS_VISIBLE, 60, 50, 321, 123, nullptr,
                           nullptr, wc.hInstance, nullptr);
    SetForegroundWindow(Window);
    MSG msg;
    for (int i = 0; i < 20; ++i) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(5);
    }
  }
  ~TFrontWindow() { DestroyWindow(Window); }
  TFrontWindow(const TFrontWindow&) = delete;
  TFrontWindow& operator=(const TFrontWindow&) = delete;
  HWND Window = nullptr;
};

std::uint32_t BigEndian(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

TEST(Screenshot, TakenWhenTheReportCanBeSentAndGoneAfterwards) {
  TFrontWindow front;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const fs::path shot = fs::path(temp) / L"Screenshot.png";
  struct Case {
    const char* Options;
    TEmailSendMode Mode;
    TCommonSendOptions Send;
    bool Taken, OnlyTheWindow;
  };
  const Case cases[] = {
      {"active window", esmEmailClient, {sndSendScreenshot, sndUseOnlyActiveWindow}, true, true},
      {"the program's windows", esmEmailClient, {sndSendScreenshot}, true, false},
      {"no screenshot", esmEmailClient, {sndShowSendDialog}, false, false},
      {"nothing to send", esmNoSend, {sndSendScreenshot, sndUseOnlyActiveWindow}, false, false},
  };
  // Nothing leaves the machine: a sender of the test's stands for delivery.
  struct TQuietSender {
    TQuietSender() {
      SetReportSender([](TClosingSteps&) {});
    }
    ~TQuietSender() { SetReportSender(DeliverReport); }
  } quiet;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Options);
    PrepareOptions("shot");
    TTraciraModuleOptions& o = CurrentTraciraLogOptions();
    o.SetEMailSendMode(c.Mode);
    o.SetCommonSendOptions(c.Send);
    std::string png;
    ExceptionActionNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool&) {
      if (action != atSavingLogFile) return;
      std::ifstream in(shot, std::ios::binary);
      png.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    AtTheEdge(RaiseElsewhere);
    ExceptionActionNotify = nullptr;
    EXPECT_EQ(CanSendMessage(), c.Mode != esmNoSend);
    EXPECT_EQ(CanAttachScreenshot(), c.Send.Contains(sndSendScreenshot));
    EXPECT_FALSE(fs::exists(shot)) << "deleted after the handling";
    if (!c.Taken) {
      EXPECT_TRUE(png.empty());
      continue;
    }
    ASSERT_GT(png.size(), 33u);
    ASSERT_EQ(png.substr(1, 3), "PNG");
    const auto* header = reinterpret_cast<const unsigned char*>(png.data()) + 16;
    RECT r{};
    GetWindowRect(front.Window, &r);
    if (c.OnlyTheWindow) {
      EXPECT_EQ(BigEndian(header), static_cast<std::uint32_t>(r.right - r.left));
      EXPECT_EQ(BigEndian(header + 4), static_cast<std::uint32_t>(r.bottom - r.top));
    } else {
      EXPECT_GE(BigEndian(header), static_cast<std::uint32_t>(r.right - r.left));
      EXPECT_GT(BigEndian(header) * BigEndian(header + 4),
                static_cast<std::uint32_t>((r.right - r.left) * (r.bottom - r.top)));
    }
  }
}

// ---------------------------------------------------------------------------

#if defined(__i386__)
// Loads known values into the registers and reads address 0 through EAX.
__attribute__((noinline)) void FaultWithKnownRegisters() {
  asm volatile(
      "movl $0x11111111, %%ebx\n\t"
      "movl $0x22222222, %%ecx\n\t"
      "movl $0x33333333, %%edx\n\t"
      "movl $0x44444444, %%esi\n\t"
      "movl $0x55555555, %%edi\n\t"
      "xorl %%eax, %%eax\n\t"
      "movl (%%eax), %%eax\n\t" ::
          : "eax", "ebx", "ecx", "edx", "esi", "edi", "memory");
}

TEST(CPU, RegistersOfTheFaultAndTheFaultingLineMarked) {
  PrepareOptions("cpu");
  AtTheEdge(FaultWithKnownRegisters);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  const std::string& report = reports[0];
  const std::string address = Item(report, "2.2");
  ASSERT_EQ(address.size(), 8u) << report;
  for (const char* line :
       {"EAX: 00000000   EDI: 55555555\r\n", "EBX: 11111111   ESI: 44444444\r\n", "ECX: 22222222   ESP: "})
    EXPECT_NE(report.find(line), std::string::npos) << line << report;
  EXPECT_NE(report.find("EDX: 33333333   EIP: " + address + "\r\n"), std::string::npos) << report;
  // The dump starts at the faulting instruction: mov eax, [eax] is 8B 00.
  const std::size_t dump = report.find("Memory Dump:");
  ASSERT_NE(dump, std::string::npos);
  EXPECT_NE(report.find("   " + address + ":  8B 00 ", dump), std::string::npos) << report.substr(dump);

  // The assembler section marks that instruction, under the comment that
  // names the function's line.
  const std::size_t marked = report.find(address + "  mov eax, dword ptr [eax]");
  ASSERT_NE(marked, std::string::npos) << report;
  const std::size_t end = report.find("\r\n", marked);
  EXPECT_NE(report.substr(marked, end - marked).find("<-- EXCEPTION"), std::string::npos)
      << report.substr(marked, end - marked);
  const std::size_t comment = report.rfind("\r\n; EngineLogTest.cpp: ", marked);
  ASSERT_NE(comment, std::string::npos) << report;
  EXPECT_NE(report.substr(comment, marked - comment).find("FaultWithKnownRegisters (Line="),
            std::string::npos)
      << report.substr(comment, marked - comment);
}
#endif

}  // namespace
