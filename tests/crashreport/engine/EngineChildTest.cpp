// The ways a program ends, restarts or freezes, each in a child process.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/report/TrLogManager.h"
#include "tests/support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
  DWORD ExitCode = 0;
  int Starts = 0;
  std::vector<std::string> Reports;
  fs::path Folder;
};

fs::path Here() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

// environment: "NAME=value" for the child only (Wine reads its own
// settings, WINEDEBUG among them, from a program's environment).
TRun RunChild(const std::string& scenario, const wchar_t* environment = nullptr,
              const std::wstring& program = L"tracira_engine_child") {
  TRun run;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  run.Folder = fs::path(temp) / L"tavrix-engine-child" / scenario;
  fs::remove_all(run.Folder);
  fs::create_directories(run.Folder);
  std::wstring commandLine = L"\"" + (Here() / (program + L".exe")).wstring() + L"\" " +
                             std::wstring(scenario.begin(), scenario.end()) + L" \"" + run.Folder.wstring() +
                             L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // This environment with the one variable replaced.
  std::wstring block;
  if (environment) {
    const std::wstring_view setting(environment);
    const std::wstring_view name = setting.substr(0, setting.find(L'=') + 1);
    const std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> own(GetEnvironmentStringsW(),
                                                                           &FreeEnvironmentStringsW);
    for (const wchar_t* p = own.get(); *p; p += wcslen(p) + 1)
      if (!std::wstring_view(p).starts_with(name)) (block += p) += L'\0';
    (block += setting) += L'\0';
  }
  if (!testsupport::StartChildProcess(commandLine, FALSE, environment ? CREATE_UNICODE_ENVIRONMENT : 0,
                                      nullptr, si, pi, environment ? block.data() : nullptr)) {
    ADD_FAILURE() << "the child did not start";
    return run;
  }
  WaitForSingleObject(pi.hProcess, 60000);
  GetExitCodeProcess(pi.hProcess, &run.ExitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // A restarted child writes its start line right away.
  for (int i = 0; i < 100; ++i) {
    std::ifstream in(run.Folder / L"starts.txt");
    run.Starts = 0;
    for (std::string line; std::getline(in, line);) ++run.Starts;
    if (run.Starts >= 2 || i > 20) break;
    Sleep(50);
  }
  const fs::path log = run.Folder / (program + L".tlf");
  if (fs::exists(log)) {
    tracira::TLogFile file(log);
    for (int i = 0; i < file.GetCount(); ++i) run.Reports.push_back(file.GetReport(i));
  }
  return run;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The value of a report's item ("2.5" gives the exception's type).
std::string Item(const std::string& report, const std::string& number) {
  const std::size_t at = report.find("  " + number + " ");
  if (at == std::string::npos) return {};
  const std::size_t colon = report.find(": ", at);
  const std::size_t end = report.find("\r\n", at);
  if (colon == std::string::npos || colon > end) return {};
  return report.substr(colon + 2, end - colon - 2);
}

// The named frames of the first thread of a report's call stack (the
// exception's own), in order: procedure, unit and line.
struct TFrame {
  std::string Procedure, Unit;
  int Line = 0;
};
std::vector<TFrame> NamedFrames(const std::string& report) {
  std::vector<TFrame> frames;
  std::size_t at = report.find("Call Stack Information:");
  if (at == std::string::npos) return frames;
  bool inThread = false;
  for (std::size_t end; (end = report.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = report.substr(at, end - at);
    if (line.empty()) break;
    std::vector<std::string> cells;
    for (std::size_t from = 1, bar; (bar = line.find('|', from)) != std::string::npos; from = bar + 1) {
      std::string cell = line.substr(from, bar - from);
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
    }
    if (cells.size() == 1 && Has(cells[0], "Thread: ")) {
      if (inThread) break;  // the next thread
      inThread = true;
      continue;
    }
    if (!inThread || cells.size() != 6 || cells[4].empty()) continue;
    frames.push_back({cells[4], cells[2], std::atoi(cells[5].c_str())});
  }
  return frames;
}

TEST(Ends, UnhandledInTheMainThreadIsReportedAndEndsWithCode1) {
  const TRun run = RunChild("unhandled-main");
  EXPECT_EQ(run.ExitCode, 1u);
  ASSERT_EQ(run.Reports.size(), 1u);
  EXPECT_TRUE(Has(run.Reports[0], "EScanerProblem")) << run.Reports[0];
  EXPECT_TRUE(Has(run.Reports[0], "RaiseProblem")) << run.Reports[0];
  EXPECT_EQ(run.Starts, 1);
}

#if defined(__i386__)
// With the whole address space used up, the raise path allocates nothing
// until the handling has the reserve back.
TEST(Ends, OutOfMemoryTheRaiseIsReportedOnce) {
  const TRun run = RunChild("out-of-memory");
  EXPECT_EQ(run.ExitCode, 1u);
  ASSERT_EQ(run.Reports.size(), 1u);
  EXPECT_TRUE(Has(run.Reports[0], "EScanerProblem")) << run.Reports[0];
}
#endif

TEST(Ends, StackOverflowIsReportedAndEndsWithCode1) {
  const TRun run = RunChild("stack-overflow");
  EXPECT_EQ(run.ExitCode, 1u);
  ASSERT_EQ(run.Reports.size(), 1u);
  EXPECT_TRUE(Has(run.Reports[0], "EStackOverflow")) << run.Reports[0];
  EXPECT_TRUE(Has(run.Reports[0], "Recurse")) << run.Reports[0];
}

TEST(GoesOn, AfterStackOverflowsReportedAtTheEdgeOrCaught) {
  for (const std::string scenario : {"stack-overflow-goes-on", "stack-overflow-goes-on-library"}) {
    SCOPED_TRACE(scenario);
    const TRun run = RunChild(scenario);
    EXPECT_EQ(run.ExitCode, 0u) << "4: not caught, 5: a destructor missed, 6: no library, 10+N: N reports";
    ASSERT_EQ(run.Reports.size(), 3u);
    for (const std::string& report : run.Reports) {
      EXPECT_TRUE(Has(report, "EStackOverflow")) << report;
      EXPECT_TRUE(Has(report, "RecurseCounted")) << report;
    }
  }
}

// The same ends in the child built with the shipped program's flags.
TEST(Ends, TheOptimisedProgramEndsTheSameWays) {
  const struct {
    const char* Scenario;
    DWORD ExitCode;
    std::size_t Reports;
    const char* Shown;  // in every report
  } cases[] = {
      {"unhandled-main", 1, 1, "RaiseProblem"},
      {"unhandled-thread", 0, 1, "EScanerProblem"},
      {"stack-overflow", 1, 1, "Recurse"},
      {"stack-overflow-goes-on", 0, 3, "RecurseCounted"},
      {"stack-overflow-goes-on-library", 0, 3, "RecurseCounted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Scenario);
    const TRun run = RunChild(c.Scenario, nullptr, L"tracira_engine_child_optimised");
    EXPECT_EQ(run.ExitCode, c.ExitCode) << "4: not caught, 5: a destructor missed, 10+N: N reports";
    ASSERT_EQ(run.Reports.size(), c.Reports);
    for (const std::string& report : run.Reports) EXPECT_TRUE(Has(report, c.Shown)) << report;
  }
}

// Every kind of crash, in the main thread and in a thread of its own, in
// the child built for debugging and in the one built as the shipped program
// is: one report naming it, whose stack starts at the faulting function and
// line, and the way the program ends. What the C runtime reports by a call
// (abort, a failed assertion, an invalid parameter) ends the whole program;
// an exception nobody catches ends the main thread's program or the other
// thread (the program returns 100 + the thread's exit code).
TEST(Kinds, EveryKindOfCrashIsReportedWhereItHappened) {
  const struct {
    const char* Kind;
    const char* ClassName;  // empty: not reported
    const char* Message;    // a part of it
    const char* Frame;      // the first named frame, at the fault's line
    const char* Through;    // a named frame before it, or null
    DWORD MainExit, ThreadExit;
  } cases[] = {
      {"abort", "EAbnormalTermination", "Abnormal program termination", "CallsAbort", nullptr, 1, 1},
      {"assert", "EAssertionFailed", "gSink == 12345 (", "FailsAnAssertion", nullptr, 1, 1},
      {"pure-virtual", "EAbstractError", "Pure virtual function call", "AreaOf", nullptr, 1, 101},
      {"noexcept", "EScanerProblem", "Thrown from a noexcept function", "ThrowsFromNoexcept", nullptr, 1,
       101},
      {"throw-while-unwinding", "EScanerProblem", "Thrown while unwinding", "~TThrowsWhenDestroyed", nullptr,
       1, 101},
      {"throw-int", "int", "Unknown error message", "ThrowsAnInt", nullptr, 1, 101},
      // Thrown by the child's own allocation function.
      {"bad-alloc", "bad_alloc", "std::bad_alloc", "NewOfImpossibleSize", "new", 1, 101},
      {"float-divide-by-zero", "EZeroDivide", "Floating point division by zero", "DividesAFloatByZero",
       nullptr, 1, 101},
      {"illegal-instruction", "EExternalException", "External exception C000001D", "RunsAnIllegalInstruction",
       nullptr, 1, 101},
      {"privileged-instruction", "EPrivilege", "Privileged instruction", "RunsAPrivilegedInstruction",
       nullptr, 1, 101},
      {"write-read-only", "EAccessViolation", "Write of address", "WritesReadOnlyMemory", nullptr, 1, 101},
      {"null-function-pointer", "EAccessViolation", "Execute of address 00000000",
       "CallsANullFunctionPointer", nullptr, 1, 101},
      {"invalid-parameter", "EInvalidParameter", "Invalid parameter passed to a C runtime function",
       "PassesAnInvalidParameter", nullptr, 1, 1},
      // Wine's heap refuses the second free (ERROR_INVALID_PARAMETER) and
      // raises nothing: the program goes on, unreported.
      {"double-free", "", "", "", nullptr, ERROR_INVALID_PARAMETER, 100},
  };
  for (const wchar_t* program : {L"tracira_engine_child", L"tracira_engine_child_optimised"}) {
    for (const auto& c : cases) {
      for (const bool inThread : {false, true}) {
        const std::string scenario = std::string("kind-") + c.Kind + (inThread ? "-thread" : "");
        SCOPED_TRACE(scenario + (std::wstring_view(program).ends_with(L"_optimised") ? " (optimised)" : ""));
        const TRun run = RunChild(scenario, nullptr, program);
        EXPECT_EQ(run.ExitCode, inThread ? c.ThreadExit : c.MainExit);
        if (!*c.ClassName) {
          EXPECT_TRUE(run.Reports.empty());
          continue;
        }
        ASSERT_EQ(run.Reports.size(), 1u);
        const std::string& report = run.Reports[0];
        EXPECT_EQ(Item(report, "2.5"), c.ClassName) << report;
        EXPECT_TRUE(Has(Item(report, "2.6"), c.Message)) << report;
        int faultLine = 0;
        std::ifstream(run.Folder / L"fault-line.txt") >> faultLine;
        const std::vector<TFrame> frames = NamedFrames(report);
        const std::size_t first = c.Through ? 1 : 0;
        ASSERT_GT(frames.size(), first) << report;
        if (c.Through) {
          EXPECT_EQ(frames[0].Procedure, c.Through) << report;
        }
        EXPECT_EQ(frames[first].Procedure, c.Frame) << report;
        EXPECT_EQ(frames[first].Unit, "EngineChild.cpp") << report;
        EXPECT_EQ(frames[first].Line, faultLine) << report;
      }
    }
  }
}

TEST(Ends, UnhandledInAThreadEndsOnlyThatThread) {
  const TRun run = RunChild("unhandled-thread");
  EXPECT_EQ(run.ExitCode, 0u);
  ASSERT_EQ(run.Reports.size(), 1u);
  EXPECT_TRUE(Has(run.Reports[0], "ThrowingThread")) << run.Reports[0];
}

TEST(Ends, FilterWithTerminateEndsTheProgramAfterTheReport) {
  const TRun run = RunChild("terminate-filter");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Starts, 1);
  EXPECT_EQ(run.Reports.size(), 1u);
}

TEST(Restarts, FilterWithRestartStartsTheProgramAgain) {
  const TRun run = RunChild("restart-filter");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Starts, 2);
  EXPECT_EQ(run.Reports.size(), 1u);
}

TEST(Restarts, TheTenthExceptionWithinAMinuteRestarts) {
  const TRun run = RunChild("crash-loop");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Starts, 2);
  std::ifstream nine(run.Folder / L"nine.txt");
  int count = 0;
  nine >> count;
  EXPECT_EQ(count, 9);  // nine reports did not restart it
  EXPECT_EQ(run.Reports.size(), 10u);
}

// Frozen for one and a half times the time-out, then for less than it: one
// report, named after where the main thread stood, and the program goes on.
TEST(Freeze, AWindowThatStopsAnsweringIsReportedOnce) {
  const struct {
    const char* Scenario;
    const char* FrozenIn;
  } cases[] = {
      {"freeze", "BlockTheWindow"},
      {"freeze-allocating", "AllocateFor"},
      {"freeze-in-the-loader", "LoadASlowLibrary"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Scenario);
    const TRun run = RunChild(c.Scenario);
    EXPECT_EQ(run.ExitCode, 0u) << "reports: " << run.ExitCode - 10;
    ASSERT_EQ(run.Reports.size(), 1u);
    EXPECT_TRUE(Has(run.Reports[0], "EFrozenApplication")) << run.Reports[0];
    EXPECT_TRUE(Has(run.Reports[0], "The application seems to be frozen.")) << run.Reports[0];
    EXPECT_TRUE(Has(run.Reports[0], c.FrozenIn)) << run.Reports[0];
  }
}

TEST(Ends, ARaiseDuringExitFindsTheCrashReporterWhole) {
  const TRun run = RunChild("raise-during-exit", L"WINEDEBUG=warn+heap");
  EXPECT_EQ(run.ExitCode, 0u);
  ASSERT_EQ(run.Reports.size(), 1u);
  EXPECT_TRUE(Has(run.Reports[0], "RaiseProblem")) << run.Reports[0];
  std::ifstream in(run.Folder / L"exit.txt");
  std::string result((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(result, "heaps valid 1");
}

TEST(InternalError, AFaultOnTheHandlingThreadEndsItAndResumesThePausedThreads) {
  const TRun run = RunChild("fault-in-the-handling");
  EXPECT_EQ(run.ExitCode, 0u)
      << "6: no fault, 7: the paused thread stayed paused, 10+N: N exceptions counted";
  EXPECT_EQ(run.Reports.size(), 1u);
  std::ifstream in(run.Folder / L"tracira_engine_child.log", std::ios::binary);
  ASSERT_TRUE(in) << "no diagnostic beside the log";
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Has(text, "EAccessViolation")) << text;
}

TEST(InternalError, AFailingHandlingLeavesItsDiagnosticBesideTheLog) {
  const TRun run = RunChild("internal-error");
  EXPECT_EQ(run.ExitCode, 0u) << "6: the handling never allocated, 10+N: N exceptions counted";
  // The failed handling saved no report; the next one did.
  EXPECT_EQ(run.Reports.size(), 1u);
  std::ifstream in(run.Folder / L"tracira_engine_child.log", std::ios::binary);
  ASSERT_TRUE(in) << "no diagnostic beside the log";
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const char* const kLines[] = {"Version   : ",
                                "Date      : ",
                                "OS        : ",
                                "RAD       : ",
                                "Dump      : ",
                                "Section   : ",
                                "LastExcept: ",
                                "Address   : ",
                                "Exception : std::bad_alloc\r\n",
                                "Message   : std::bad_alloc\r\n",
                                "Call Stack: "};
  std::size_t at = 0;
  for (const char* line : kLines) {
    at = text.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " missing or out of order in:\n" << text;
  }
  EXPECT_NE(text.find("Dump      : Internal error at step "), std::string::npos) << text;
}

}  // namespace
