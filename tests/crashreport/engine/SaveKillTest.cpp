// A program that stores report after report is killed at random moments,
// a hundred times, some of them in the middle of a save: the log always
// reads back, holds the reports in order without a gap, keeps the newest
// ones up to ErrorsNumberToSave and loses none that was confirmed stored.
// And two programs storing in one log at once lose nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "crashreport/report/TrLogManager.h"
#include "tests/support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 100;
constexpr int kKept = 8;  // the child's ErrorsNumberToSave

fs::path Here() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

struct THandle {
  HANDLE Value = nullptr;
  ~THandle() {
    if (Value) CloseHandle(Value);
  }
};

// Starts the child with arguments, its standard output going to output.
bool StartChild(const std::wstring& arguments, THandle& output, PROCESS_INFORMATION& pi) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  THandle write;
  if (!CreatePipe(&output.Value, &write.Value, &inherit, 1 << 16)) return false;
  SetHandleInformation(output.Value, HANDLE_FLAG_INHERIT, 0);
  std::wstring commandLine = L"\"" + (Here() / L"tracira_engine_child.exe").wstring() + L"\" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write.Value;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  return testsupport::StartChildProcess(commandLine, TRUE, 0, nullptr, si, pi);
}

// When to kill the child: after a time, or a little after it began its
// n-th save (so that the kill falls into the save).
struct TKill {
  DWORD AfterMs = 0;
  int Saving = 0;  // 0: by time only
  DWORD IntoSaveMs = 0;
};

// Starts the child, kills it and answers the last report it confirmed as
// stored (0: none).
int RunAndKill(const fs::path& folder, int first, const TKill& kill) {
  THandle read;
  PROCESS_INFORMATION pi{};
  if (!StartChild(L"save-loop \"" + folder.wstring() + L"\" " + std::to_wstring(first), read, pi)) return -1;
  CloseHandle(pi.hThread);
  const THandle process{pi.hProcess};
  std::string output;
  const DWORD start = GetTickCount();
  int confirmed = 0, savings = 0;
  DWORD savingSeen = 0;
  auto drain = [&] {
    DWORD available = 0;
    while (PeekNamedPipe(read.Value, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      char buffer[256];
      DWORD got = 0;
      if (!ReadFile(read.Value, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0)
        break;
      output.append(buffer, got);
    }
    for (std::size_t at; (at = output.find('\n')) != std::string::npos; output.erase(0, at + 1)) {
      if (output.rfind("saved ", 0) == 0) confirmed = std::atoi(output.c_str() + 6);
      if (output.rfind("saving ", 0) == 0 && ++savings == kill.Saving) savingSeen = GetTickCount();
    }
  };
  for (;;) {
    drain();
    if (kill.Saving == 0 ? GetTickCount() - start >= kill.AfterMs
                         : (savingSeen != 0 && GetTickCount() - savingSeen >= kill.IntoSaveMs) ||
                               GetTickCount() - start >= 20000)
      break;
    Sleep(kill.Saving == 0 ? 1 : 0);
  }
  TerminateProcess(process.Value, 9);
  WaitForSingleObject(process.Value, 10000);
  drain();  // what it printed before it died was stored before it printed
  return confirmed;
}

TEST(SaveKill, TheLogSurvivesAProgramKilledAtAnyMoment) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const fs::path folder = fs::path(temp) / L"tavrix-save-kill";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const fs::path logFile = folder / L"tracira_engine_child.tlf";
  std::mt19937 random(20261210);
  // Every other run is killed at a moment from its start, long enough to
  // store a few reports; the others a few milliseconds into a save.
  std::uniform_int_distribution<DWORD> killAfter(150, 1500), intoSave(0, 12);
  std::uniform_int_distribution<int> whichSave(1, 3);
  int last = 0, confirmedRuns = 0, cutSaves = 0;
  fs::file_time_type lastTempTime{};
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    TKill kill;
    if (run % 2 == 0)
      kill.AfterMs = killAfter(random);
    else
      kill.Saving = whichSave(random), kill.IntoSaveMs = intoSave(random);
    const int confirmed = RunAndKill(folder, last + 1, kill);
    ASSERT_GE(confirmed, 0) << "the child did not start";
    if (confirmed > 0) ++confirmedRuns;
    // A new temporary file left behind: the kill cut a save short. It stays
    // there: the next save must simply write over it.
    std::error_code ignored;
    const auto tempTime = fs::last_write_time(tracira::SafeSaveTempName(logFile), ignored);
    if (!ignored && tempTime != lastTempTime) ++cutSaves, lastTempTime = tempTime;
    if (!fs::exists(logFile)) {
      ASSERT_EQ(last, 0) << "the log is gone";
      ASSERT_EQ(confirmed, 0);
      continue;
    }
    tracira::TLogFile log(logFile);
    std::vector<int> numbers;
    for (int i = 0; i < log.GetCount(); ++i) {
      const std::string message = log.GetItemValue("2.6", i);
      ASSERT_EQ(message.rfind("Report ", 0), 0u) << log.GetReport(i);
      numbers.push_back(std::atoi(message.c_str() + 7));
    }
    ASSERT_FALSE(numbers.empty());
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "a gap";
    ASSERT_GE(numbers.back(), last) << "an earlier report is lost";
    ASSERT_GE(numbers.back(), confirmed) << "a confirmed report is lost";
    ASSERT_EQ(static_cast<int>(numbers.size()), std::min(numbers.back(), kKept));
    last = numbers.back();
  }
  std::printf("%d runs, %d stored at least one report, %d saves cut short, %d reports in all\n", kRuns,
              confirmedRuns, cutSaves, last);
  EXPECT_GT(confirmedRuns, kRuns / 2) << "the kills came too early to test much";
  fs::remove_all(folder);
}

// Two programs store reports in one log at once: every raise of either is
// counted there (each is a twin of the first, so each one changes the log
// read before), and neither fails.
struct TRacer {
  PROCESS_INFORMATION Process{};
  THandle Output;
};

TEST(SaveRace, TwoProgramsStoringInOneLogLoseNothing) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const fs::path folder = fs::path(temp) / L"tavrix-save-race";
  fs::remove_all(folder);
  fs::create_directories(folder);
  TRacer a, b;
  const std::wstring arguments = L"save-race \"" + folder.wstring() + L"\" ";
  ASSERT_TRUE(StartChild(arguments + L"A", a.Output, a.Process));
  ASSERT_TRUE(StartChild(arguments + L"B", b.Output, b.Process));
  int saved = 0;
  for (TRacer* racer : {&a, &b}) {
    const THandle process{racer->Process.hProcess};
    CloseHandle(racer->Process.hThread);
    ASSERT_EQ(WaitForSingleObject(process.Value, 120000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.Value, &code);
    EXPECT_EQ(code, 0u);
    std::string output(1 << 16, '\0');
    DWORD got = 0;
    ReadFile(racer->Output.Value, output.data(), static_cast<DWORD>(output.size()), &got, nullptr);
    output.resize(got);
    for (std::size_t at = 0; (at = output.find("saved ", at)) != std::string::npos; ++at) ++saved;
    EXPECT_EQ(output.find("failed"), std::string::npos) << output;
  }
  EXPECT_EQ(saved, 120);
  tracira::TLogFile log(folder / L"tracira_engine_child.tlf");
  long long counted = 0;
  for (int i = 0; i < log.GetCount(); ++i) counted += std::atoll(log.GetItemValue("2.8", i).c_str());
  EXPECT_EQ(counted, 120) << log.GetText();
  fs::remove_all(folder);
}

}  // namespace
