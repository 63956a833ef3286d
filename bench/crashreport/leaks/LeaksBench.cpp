// Allocation and release throughput with the leak detector tracking every
// block, beside the same loops in the same program built without it
// (tracira_leaks_bench_off, started as a child): one and two threads,
// small and mixed sizes, as a ratio.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kOperations = 200'000;
constexpr int kSlots = 1024;

// Each operation gives back the block in a slot and takes a new one.
void Loop(int seed, bool mixed) {
  std::vector<void*> slots(kSlots, nullptr);
  unsigned x = static_cast<unsigned>(seed) * 2654435761u + 1;
  for (int i = 0; i < kOperations; ++i) {
    x = x * 1103515245u + 12345u;
    const std::size_t size = mixed ? 16 + (x >> 8) % 4096 : 16 + (x >> 8) % 49;
    void*& slot = slots[static_cast<std::size_t>(i) % kSlots];
    std::free(slot);
    slot = std::malloc(size);
  }
  for (void* p : slots) std::free(p);
}

// Operations per second of the loop on threads at once.
double Measure(int threads, bool mixed) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) running.emplace_back(Loop, t + 1, mixed);
  for (auto& t : running) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return threads * kOperations / seconds;
}

struct TCase {
  const char* Name;
  int Threads;
  bool Mixed;
};
constexpr TCase kCases[] = {{"1-thread-small", 1, false},
                            {"1-thread-mixed", 1, true},
                            {"2-threads-small", 2, false},
                            {"2-threads-mixed", 2, true}};

std::map<std::string, double> RunAll() {
  std::map<std::string, double> figures;
  for (const TCase& c : kCases) figures[c.Name] = Measure(c.Threads, c.Mixed);
  return figures;
}

// The untracked build's figures, read from its output ("name value" lines).
std::map<std::string, double> Untracked() {
  std::map<std::string, double> figures;
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring program(path);
  program = program.substr(0, program.find_last_of(L'\\') + 1) + L"tracira_leaks_bench_off.exe";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return figures;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  std::wstring commandLine = L"\"" + program + L"\" child";
  const bool started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &si, &pi);
  CloseHandle(write);
  std::string output;
  char buffer[256];
  DWORD got = 0;
  while (started && ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got) output.append(buffer, got);
  CloseHandle(read);
  if (!started) return figures;
  WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  char name[64];
  double value = 0;
  for (const char* p = output.c_str(); std::sscanf(p, "%63s %lf", name, &value) == 2;) {
    figures[name] = value;
    p = std::strchr(p, '\n');
    if (!p) break;
    ++p;
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, double> own = RunAll();
  if (argc > 1 && std::string(argv[1]) == "child") {
    for (const auto& [name, value] : own) std::printf("%s %.0f\n", name.c_str(), value);
    return 0;
  }
  const std::map<std::string, double> untracked = Untracked();
  std::printf("%-16s %14s %14s %7s\n", "loop", "tracked op/s", "untracked op/s", "ratio");
  for (const TCase& c : kCases) {
    const auto off = untracked.find(c.Name);
    const double tracked = own.at(c.Name);
    if (off == untracked.end()) {
      std::printf("%-16s %14.0f %14s %7s\n", c.Name, tracked, "?", "?");
      continue;
    }
    std::printf("%-16s %14.0f %14.0f %7.3f\n", c.Name, tracked, off->second, tracked / off->second);
  }
  return 0;
}
