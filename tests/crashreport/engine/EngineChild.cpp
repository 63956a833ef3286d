// A program that ends, restarts or freezes in one of several ways, for the
// engine tests that need a process of their own:
//   tracira_engine_child SCENARIO FOLDER [FIRST]
// Every start appends a line to FOLDER\starts.txt; a restarted child (the
// second start) ends at once with exit code 0. The scenario "save-loop"
// reports "Report FIRST", "Report FIRST+1", ... one after the other and
// prints "saving N" when the save of one begins and "saved N" once it is in
// the log, until it is killed.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "crashreport/engine/ExceptionLog.h"
#include "rtl/Guarded.h"

namespace {

using namespace tracira;

class EScanerProblem : public rtl::Exception {
 public:
  using Exception::Exception;
};

__attribute__((noinline)) void RaiseProblem() { throw EScanerProblem(L"The scanner went away"); }

volatile int gDepth = 0;
__attribute__((noinline)) int Recurse(int n) {
  volatile char frame[256];
  frame[0] = static_cast<char>(n);
  gDepth = n;
  if (n < 0) return 0;  // never: n only grows, until the stack runs out
  return Recurse(n + 1) + frame[0];
}

void AtTheEdge(void (*body)()) {
  rtl::Guarded([&] { body(); }, [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
}

// Every frame has something to clean up, so the unwinding after an
// overflow is seen to run every destructor.
int gConstructed = 0, gDestroyed = 0;
struct TCounted {
  TCounted() { ++gConstructed; }
  ~TCounted() { ++gDestroyed; }
};
__attribute__((noinline)) int RecurseCounted(int n) {
  TCounted counted;
  volatile char frame[256];
  frame[0] = static_cast<char>(n);
  gDepth = n;
  if (n < 0) return 0;
  return RecurseCounted(n + 1) + frame[0];
}

// Overflows at the edge, in a catch clause of the program's own, at the edge
// again (the guard page is back) and in a thread: three reports, and the
// program goes on.
int OverflowsAndGoesOn() {
  const auto overflow = [] { RecurseCounted(0); };
  AtTheEdge(overflow);
  bool caught = false;
  try {
    RecurseCounted(0);
  } catch (const rtl::EStackOverflow&) {
    caught = true;
  }
  AtTheEdge(overflow);
  std::thread([&] { AtTheEdge(overflow); }).join();
  if (!caught) return 4;
  if (gConstructed == 0 || gConstructed != gDestroyed) return 5;
  return ExceptionCount() == 3 ? 0 : 10 + ExceptionCount();
}

DWORD WINAPI ThrowingThread(LPVOID) {
  RaiseProblem();
  return 0;
}

// Keeps the main thread from answering its window for a while.
__attribute__((noinline)) void BlockTheWindow(DWORD ms) { Sleep(ms); }

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_USER + 1) BlockTheWindow(static_cast<DWORD>(wp));
  return DefWindowProcW(wnd, msg, wp, lp);
}

void PumpFor(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  while (static_cast<int>(end - GetTickCount()) > 0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
}

int Freeze() {
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetFreezeTimeout(1);
  o.SetFreezeActivate(true);
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavrixFreezeTest";
  RegisterClassW(&wc);
  HWND wnd = CreateWindowW(L"TavrixFreezeTest", L"Freeze", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                           nullptr, nullptr, wc.hInstance, nullptr);
  PumpFor(500);
  PostMessageW(wnd, WM_USER + 1, 2500, 0);  // frozen for 2.5 s: one report
  PumpFor(1500);
  PostMessageW(wnd, WM_USER + 1, 600, 0);  // less than the time-out: none
  PumpFor(1500);
  DestroyWindow(wnd);
  return ExceptionCount() == 1 ? 0 : 10 + ExceptionCount();
}

// A transient shortage of memory in the handling itself: the first
// allocation of another thread (the handling's own) after the switch fails.
std::atomic<bool> gFailAnAllocation{false};
DWORD gMainThread = GetCurrentThreadId();

int InternalError() {
  gFailAnAllocation = true;
  AtTheEdge(RaiseProblem);
  const bool failed = !gFailAnAllocation;
  AtTheEdge(RaiseProblem);  // the next one is handled as usual
  if (!failed) return 6;
  return ExceptionCount() == 1 ? 0 : 10 + ExceptionCount();
}

}  // namespace

void* operator new(std::size_t size) {
  if (GetCurrentThreadId() != gMainThread && gFailAnAllocation.exchange(false)) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int gNumber = 0;

[[noreturn]] void SaveLoop(const std::string& folder, int first) {
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(folder);
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);
  o.SetErrorsNumberToSave(8);
  ExceptionActionNotify = [](TTraciraExceptionRecord&, TTraciraActionType action, bool&) {
    if (action != atSavingLogFile) return;
    std::printf("saving %d\n", gNumber);
    std::fflush(stdout);
  };
  for (gNumber = first;; ++gNumber) {
    AtTheEdge([] { throw EScanerProblem(L"Report " + std::to_wstring(gNumber)); });
    std::printf("saved %d\n", gNumber);
    std::fflush(stdout);
  }
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string scenario = argv[1], folder = argv[2];
  if (scenario == "save-loop") SaveLoop(folder, argc > 3 ? std::atoi(argv[3]) : 1);
  int starts = 0;
  {
    std::ofstream(folder + "\\starts.txt", std::ios::app) << GetCurrentProcessId() << "\n";
    std::ifstream in(folder + "\\starts.txt");
    for (std::string line; std::getline(in, line);) ++starts;
  }
  if (starts >= 2) return 0;

  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(folder);
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);

  if (scenario == "unhandled-main") RaiseProblem();
  if (scenario == "stack-overflow") return Recurse(0);
  if (scenario == "stack-overflow-goes-on") return OverflowsAndGoesOn();
  // The same with a library module's crash reporter in the process, whose
  // handlers see the overflow first.
  if (scenario == "stack-overflow-goes-on-library")
    return LoadLibraryW(L"tracira_library_module.dll") ? OverflowsAndGoesOn() : 6;
  if (scenario == "unhandled-thread") {
    HANDLE thread = CreateThread(nullptr, 0, ThrowingThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 1 ? 0 : 3;
  }
  if (scenario == "restart-filter") {
    TTraciraExceptionFilter f;
    f.ExceptionClassName = "EScanerProblem";
    f.ActionType = fatRestart;
    o.ExceptionsFilters().Add(f);
    AtTheEdge(RaiseProblem);
    return 4;  // not reached: the program restarts
  }
  if (scenario == "crash-loop") {
    o.SetAutoCrashOperation(tbRestart);
    o.SetAutoCrashNumber(10);
    o.SetAutoCrashMinutes(1);
    for (int i = 0; i < 9; ++i) AtTheEdge(RaiseProblem);
    std::ofstream(folder + "\\nine.txt") << ExceptionCount();
    AtTheEdge(RaiseProblem);
    return 5;  // not reached: the tenth restarts
  }
  if (scenario == "freeze") return Freeze();
  if (scenario == "internal-error") return InternalError();
  return 2;
}
