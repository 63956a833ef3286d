// How long a report takes: from the raise to the report being ready (the
// ExceptionNotify event, which receives it) and to the end of the handling,
// with eight other threads running, with and without the modules and
// processes sections; beside the same crash handled by a filter that only
// writes a minidump.
#include <windows.h>
// dbghelp.h needs windows.h first.
#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "crashreport/engine/ExceptionLog.h"
#include "rtl/Guarded.h"

namespace {

using namespace tracira;

double Now() {
  LARGE_INTEGER c, f;
  QueryPerformanceCounter(&c);
  QueryPerformanceFrequency(&f);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

double gRaisedAt = 0, gReadyAt = 0;

__attribute__((noinline)) void Raise() {
  gRaisedAt = Now();
  throw rtl::Exception(L"benchmark");
}

struct TFigures {
  double Ready = 0, Total = 0;
};

TFigures Measure(int rounds) {
  std::vector<double> ready, total;
  for (int i = 0; i < rounds; ++i) {
    rtl::Guarded([] { Raise(); }, [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
    const double end = Now();
    ready.push_back(gReadyAt - gRaisedAt);
    total.push_back(end - gRaisedAt);
  }
  std::sort(ready.begin(), ready.end());
  std::sort(total.begin(), total.end());
  return {ready[ready.size() / 2], total[total.size() / 2]};
}

std::wstring gDumpFile;
double gDumpDone = 0;

LONG CALLBACK MinidumpOnly(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != 0xE0000001) return EXCEPTION_CONTINUE_SEARCH;
  HANDLE file = CreateFileW(gDumpFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  MINIDUMP_EXCEPTION_INFORMATION mei{GetCurrentThreadId(), info, FALSE};
  MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &mei, nullptr, nullptr);
  CloseHandle(file);
  gDumpDone = Now();
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  const int others = argc > 2 ? std::atoi(argv[2]) : 8;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::filesystem::path folder = std::filesystem::path(temp) / L"tavrix-handling-bench";
  std::filesystem::create_directories(folder);
  gDumpFile = (folder / L"plain.dmp").wstring();

  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(folder.string());
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);
  o.SetErrorsNumberToSave(32);
  ExceptionNotify = [](TTraciraExceptionRecord&, bool&) { gReadyAt = Now(); };

  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < others; ++i)
    busy.emplace_back([&] {
      while (!stop) Sleep(1);
    });

  std::printf("Raise to report, median of %d rounds, %d other threads running:\n", rounds, others);
  const TFigures full = Measure(rounds);
  std::printf("  with modules and processes : report ready %7.2f ms, handling done %7.2f ms\n", full.Ready,
              full.Total);
  o.SetLogOptions({loSaveAssemblerAndCPUSections});
  const TFigures lean = Measure(rounds);
  std::printf("  without them               : report ready %7.2f ms, handling done %7.2f ms\n", lean.Ready,
              lean.Total);

  SetTraciraLogState(false);
  PVOID handler = AddVectoredExceptionHandler(1, MinidumpOnly);
  // The system's own RaiseException: the program's import of it raises a
  // C++ exception instead while the crash reporter is linked in.
  const auto raise = reinterpret_cast<decltype(&RaiseException)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "RaiseException")));
  std::vector<double> plain;
  for (int i = 0; i < rounds; ++i) {
    const double start = Now();
    raise(0xE0000001, 0, 0, nullptr);
    plain.push_back(gDumpDone - start);
  }
  RemoveVectoredExceptionHandler(handler);
  std::sort(plain.begin(), plain.end());
  const double dump = plain[plain.size() / 2];
  std::printf("  plain filter, minidump only: dump written  %7.2f ms\n", dump);
  std::printf("Ratio (report ready / minidump): with sections %.3f, without %.3f\n", full.Ready / dump,
              lean.Ready / dump);
  stop = true;
  for (auto& t : busy) t.join();
  return 0;
}
