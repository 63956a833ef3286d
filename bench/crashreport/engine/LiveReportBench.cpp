// How long the live report takes in a process with fifty more libraries
// loaded, with the modules and processes sections: the first report (every
// module read for the first time: version resource, data block, exports)
// and the following ones, how much memory the first ones took, and where
// the time of a report goes.
//   scripts/wine-run.sh build/win/bench/crashreport/engine/tracira_livereport_bench.exe [rounds]
#include <windows.h>
// These need windows.h first.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrSystemInfo.h"

namespace {

using namespace tracira;
namespace fs = std::filesystem;

double Now() {
  LARGE_INTEGER c, f;
  QueryPerformanceCounter(&c);
  QueryPerformanceFrequency(&f);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

std::vector<fs::path> LoadedModules() {
  std::vector<fs::path> files;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Module32FirstW(snapshot, &entry); ok; ok = Module32NextW(snapshot, &entry))
    files.emplace_back(entry.szExePath);
  CloseHandle(snapshot);
  return files;
}

// Loads libraries of the system folder, in name order, until fifty more
// than at the start are loaded.
int LoadFiftyLibraries() {
  const std::size_t before = LoadedModules().size();
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  std::vector<fs::path> candidates;
  for (const auto& e : fs::directory_iterator(system))
    if (e.path().extension() == L".dll") candidates.push_back(e.path());
  std::sort(candidates.begin(), candidates.end());
  for (const fs::path& dll : candidates) {
    if (LoadedModules().size() >= before + 50) break;
    // Mapped and listed like any library, without running its start-up code.
    LoadLibraryExW(dll.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  }
  return static_cast<int>(LoadedModules().size() - before);
}

// Committed private memory: what the process has allocated.
std::uint64_t PrivateCommitted() {
  std::uint64_t total = 0;
  MEMORY_BASIC_INFORMATION mbi{};
  for (std::uintptr_t at = 0;
       VirtualQuery(reinterpret_cast<const void*>(at), &mbi, sizeof mbi) == sizeof mbi;) {
    if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) total += mbi.RegionSize;
    const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return total;
}

double MB(std::uint64_t from, std::uint64_t to) {
  return (static_cast<double>(to) - static_cast<double>(from)) / 1048576.0;
}

template <class F>
double Median(int rounds, F f) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const double t = Now();
    f();
    times.push_back(Now() - t);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

TReport Report(const TTraciraModuleOptions& options) {
  TReportInput input;
  input.Address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&PrivateCommitted));
  input.ThreadID = GetCurrentThreadId();
  volatile int here = 0;
  input.StackPoint = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&here));
  input.TopOfStack = CurrentTopOfStack();
  input.ClassName = "EBenchmark";
  input.Message = "benchmark";
  FILETIME ignored{};
  GetProcessTimes(GetCurrentProcess(), &input.StartTime, &ignored, &ignored, &ignored);
  return BuildReport(options, DefaultTraciraTexts(), input);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int added = LoadFiftyLibraries();
  const std::vector<fs::path> modules = LoadedModules();
  std::uint64_t fileBytes = 0;
  for (const fs::path& m : modules) {
    std::error_code ignored;
    fileBytes += fs::file_size(m, ignored);
  }
  const TTraciraModuleOptions full;
  TTraciraModuleOptions plain;
  plain.SetLogOptions({});

  // First without the tables: the call stack's modules read their debug
  // sources; then with them: every other module is read.
  const std::uint64_t atStart = PrivateCommitted();
  double start = Now();
  Report(plain);
  const double stackMs = Now() - start;
  const std::uint64_t afterStack = PrivateCommitted();
  start = Now();
  const TReport first = Report(full);
  const double firstMs = Now() - start;
  const std::uint64_t afterTables = PrivateCommitted();

  std::printf(
      "libraries loaded for the benchmark: %d (modules in the process: %zu, %.1f MB of module files)\n",
      added, modules.size(), static_cast<double>(fileBytes) / 1048576.0);
  std::printf(
      "first report without the tables (the stack's modules find their debug sources): %.1f ms, "
      "%.1f MB more private memory\n",
      stackMs, MB(atStart, afterStack));
  std::printf(
      "first report with the modules and processes (every other module read): %.1f ms, "
      "%.1f MB more private memory\n",
      firstMs, MB(afterStack, afterTables));
  std::printf("next reports with the tables: median %.1f ms; without them: median %.1f ms (%d rounds)\n",
              Median(rounds, [&] { Report(full); }), Median(rounds, [&] { Report(plain); }), rounds);
  std::printf(
      "of which: system values %.1f ms (network %.1f, printer %.1f, privileges %.1f), processes %.1f ms, "
      "module list %.1f ms\n",
      Median(rounds,
             [] {
               TGeneralValues v;
               GatherSystemValues(v, L"C:\\");
             }),
      Median(rounds, [] { NetworkValues(); }), Median(rounds, [] { DefaultPrinter(); }),
      Median(rounds, [] { ProcessPrivileges(); }), Median(rounds, [] { RunningProcesses(); }),
      Median(rounds, [] { ProcessModules().Build(); }));
  std::printf("report: %zu bytes\n", first.Text.size());
  return 0;
}
