// The leak detector in a running program: each scenario runs in a child
// with leak catching on, and its log file is read back.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "crashreport/report/TrLogManager.h"
#include "tests/support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
  DWORD ExitCode = 0;
  std::vector<std::string> Reports;
  std::multimap<std::string, int> Lines;  // what the child allocated where
};

fs::path Here() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

TRun RunChild(const std::string& scenario) {
  TRun run;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const fs::path folder = fs::path(temp) / L"tavrix-leaks-child" / scenario;
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::wstring commandLine = L"\"" + (Here() / L"tracira_leaks_child.exe").wstring() + L"\" " +
                             std::wstring(scenario.begin(), scenario.end()) + L" \"" + folder.wstring() +
                             L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!testsupport::StartChildProcess(commandLine, FALSE, 0, nullptr, si, pi)) {
    ADD_FAILURE() << "the child did not start";
    return run;
  }
  WaitForSingleObject(pi.hProcess, 120000);
  GetExitCodeProcess(pi.hProcess, &run.ExitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  const fs::path log = folder / L"tracira_leaks_child.tlf";
  if (fs::exists(log)) {
    tracira::TLogFile file(log);
    for (int i = 0; i < file.GetCount(); ++i) run.Reports.push_back(file.GetReport(i));
  }
  std::ifstream lines(folder / L"lines.txt");
  std::string name;
  for (int line; lines >> name >> line;) run.Lines.emplace(name, line);
  return run;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One leak of the call-stack section: its line and its named call sites.
struct TLeakRows {
  std::string Title;  // "Memory Leak: Type=Data; Total size=120; Count=3"
  std::vector<std::string> Procedures;
  std::vector<int> Lines;
};

std::vector<TLeakRows> Leaks(const std::string& report) {
  std::vector<TLeakRows> leaks;
  std::size_t at = report.find("Call Stack Information:");
  if (at == std::string::npos) return leaks;
  for (std::size_t end; (end = report.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = report.substr(at, end - at);
    if (line.empty()) break;
    std::vector<std::string> cells;
    for (std::size_t from = 1, bar; (bar = line.find('|', from)) != std::string::npos; from = bar + 1) {
      std::string cell = line.substr(from, bar - from);
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
    }
    if (cells.size() == 1 && cells[0].starts_with("+Memory Leak: ")) {
      leaks.push_back({cells[0].substr(1), {}, {}});
    } else if (!leaks.empty() && cells.size() == 6) {
      leaks.back().Procedures.push_back(cells[4]);
      leaks.back().Lines.push_back(std::atoi(cells[5].c_str()));
    }
  }
  return leaks;
}

const std::string* LeakReport(const TRun& run) {
  for (const std::string& report : run.Reports)
    if (Has(report, "EMemoryLeak")) return &report;
  return nullptr;
}

TEST(Leaks, EachLeakIsOneRowAtItsSourceLineAndNothingElseIs) {
  const TRun run = RunChild("leaks");
  EXPECT_EQ(run.ExitCode, 0u) << "3, 4: alignment lost";
  ASSERT_EQ(run.Reports.size(), 1u);
  const std::string& report = run.Reports[0];
  EXPECT_TRUE(Has(report, "EMemoryLeak")) << report;
  // 120 + (the object + 40 + 24) + 72 bytes, 3 + 1 + 1 leaks.
  const std::size_t owner = 3 * sizeof(void*) + 40 + 24;
  EXPECT_TRUE(Has(report, "Total size=" + std::to_string(120 + owner + 72) + " - Count=5")) << report;
  const std::vector<TLeakRows> leaks = Leaks(report);
  ASSERT_EQ(leaks.size(), 3u) << report;
  EXPECT_EQ(leaks[0].Title, "Memory Leak: Type=Data; Total size=120; Count=3");
  EXPECT_EQ(leaks[1].Title, "Memory Leak: Type=(anonymous namespace)::TOwner; Total size=" +
                                std::to_string(owner) + "; Count=1");
  EXPECT_EQ(leaks[2].Title, "Memory Leak: Type=Data; Total size=72; Count=1");
  const char* names[] = {"three", "owner", "realloc"};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    ASSERT_FALSE(leaks[i].Lines.empty()) << report;
    EXPECT_EQ(leaks[i].Lines[0], run.Lines.find(names[i])->second) << report;
  }
  EXPECT_TRUE(Has(leaks[0].Procedures[0], "ThreeFromOneSite")) << report;
}

TEST(Leaks, AProgramThatLeaksNothingReportsNothing) {
  for (const std::string scenario : {"none", "threads"}) {
    SCOPED_TRACE(scenario);
    const TRun run = RunChild(scenario);
    EXPECT_EQ(run.ExitCode, 0u);
    EXPECT_EQ(run.Reports.size(), 0u) << (run.Reports.empty() ? "" : run.Reports[0]);
  }
}

TEST(Leaks, AtMost1025LeaksAreReported) {
  const TRun run = RunChild("many");
  EXPECT_EQ(run.ExitCode, 0u);
  const std::string* report = LeakReport(run);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(Leaks(*report).size(), 1025u);
}

// Reported where it happened, and the program goes on to its end.
TEST(Leaks, OverrunAndSecondReleaseAreReportedInPlace) {
  const struct {
    const char* Scenario;
    const char* Class;
  } cases[] = {{"overrun", "EMemoryOverrun"}, {"twice", "EMultiFree"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Scenario);
    const TRun run = RunChild(c.Scenario);
    EXPECT_EQ(run.ExitCode, 0u);
    ASSERT_EQ(run.Reports.size(), 1u);
    EXPECT_TRUE(Has(run.Reports[0], c.Class)) << run.Reports[0];
    EXPECT_FALSE(Has(run.Reports[0], "EMemoryLeak"));
  }
}

}  // namespace
