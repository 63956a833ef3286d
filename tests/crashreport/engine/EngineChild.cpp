// A program that ends, restarts or freezes in one of several ways, for the
// engine tests that need a process of their own:
//   tracira_engine_child SCENARIO FOLDER [FIRST]
// Every start appends a line to FOLDER\starts.txt; a restarted child (the
// second start) ends at once with exit code 0. The scenario "save-loop"
// reports "Report FIRST", "Report FIRST+1", ... one after the other and
// prints "saving N" when the save of one begins and "saved N" once it is in
// the log, until it is killed. The scenario "save-race" (FIRST is a tag)
// raises "Report TAG 1" to "Report TAG 60", twins all, and prints "saved TAG
// n" (or "failed TAG n") for each, while another copy of it does the same.
// The failing assertion is one of the crashes tried, in every build.
#undef NDEBUG
#include <windows.h>

#include <atomic>
#include <cassert>
#include <cfloat>
#include <cstdint>
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
// overflow is seen to run every destructor. The object is made by a call of
// its own, whatever the optimisation: the return address it pushes is the
// lowest thing its frame writes, so once the object exists the frame's stack
// is all there and the overflow comes in a deeper frame, before that frame's
// object exists. Counted in place, an optimised build counts the object
// before the frame's first store to its own stack; that store, which the
// compiler takes for one that cannot fault, has no clean-up that an
// exception from it could run.
int gConstructed = 0, gDestroyed = 0;
struct TCounted {
  __attribute__((noipa)) TCounted() { ++gConstructed; }
  __attribute__((noipa)) ~TCounted() { ++gDestroyed; }
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

// Keep the main thread from answering its window for a while: asleep,
// allocating all the time (the heap's lock taken and let go again and
// again), or inside the loader's lock (a library whose start-up waits).
__attribute__((noinline)) void BlockTheWindow(DWORD ms) { Sleep(ms); }
__attribute__((noinline)) void AllocateFor(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  while (static_cast<int>(end - GetTickCount()) > 0) {
    std::string s(1000, 'x');
    s += s;
  }
}
__attribute__((noinline)) void LoadASlowLibrary(DWORD ms) {
  SetEnvironmentVariableW(L"TAVRIX_DLLMAIN_WAIT", std::to_wstring(ms).c_str());
  if (HMODULE m = LoadLibraryW(L"tracira_slow_library.dll")) FreeLibrary(m);
}

enum : UINT { kSleep = WM_USER + 1, kAllocate, kLoad };

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  const auto ms = static_cast<DWORD>(wp);
  if (msg == kSleep) BlockTheWindow(ms);
  if (msg == kAllocate) AllocateFor(ms);
  if (msg == kLoad) LoadASlowLibrary(ms);
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

int Freeze(UINT how) {
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
  // Frozen for one and a half times the time-out: one report, however the
  // watchdog's probes and pauses add up.
  PostMessageW(wnd, how, 1500, 0);
  PumpFor(1500);
  PostMessageW(wnd, how, 700, 0);  // less than the time-out: none
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

// A null dereference on the handling's own thread while another thread is
// paused for the handling: the handling ends with its diagnostic, the paused
// thread runs again, and the next exception is handled as usual.
std::atomic<bool> gFaultWhilePaused{false};
HANDLE gPausedThread = nullptr;
volatile int* volatile gNull = nullptr;

// The system's ResumeThread: the program's import of it is the crash
// reporter's, which may take the threads registry's lock, and the probe
// below runs inside allocations made under that lock.
using TResume = DWORD(WINAPI*)(HANDLE);
TResume gSystemResume = nullptr;

// Whether the worker is suspended by someone else now (this probe adds and
// takes back one suspension of its own; neither allocates nor locks).
bool WorkerIsPaused() {
  const DWORD previous = SuspendThread(gPausedThread);
  if (previous == static_cast<DWORD>(-1)) return false;
  gSystemResume(gPausedThread);
  return previous > 0;
}

int FaultInTheHandling() {
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetBehaviourOptions(TBehaviourOptions(o.BehaviourOptions()).Include(boPauseBorlandThreads));
  std::atomic<bool> stop{false};
  std::atomic<long> ticks{0};
  std::atomic<DWORD> workerID{0};
  std::thread worker([&] {
    workerID = GetCurrentThreadId();
    while (!stop) {
      ++ticks;
      Sleep(1);
    }
  });
  while (ticks == 0) Sleep(1);
  gSystemResume = reinterpret_cast<TResume>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ResumeThread")));
  gPausedThread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, workerID);
  gFaultWhilePaused = true;
  AtTheEdge(RaiseProblem);
  const bool faulted = !gFaultWhilePaused;
  gFaultWhilePaused = false;
  const long before = ticks;
  Sleep(300);
  const bool runs = ticks > before;
  stop = true;
  if (runs)
    worker.join();
  else
    worker.detach();
  if (!faulted) return 6;
  if (!runs) return 7;
  AtTheEdge(RaiseProblem);  // the next one is handled as usual
  return ExceptionCount() == 1 ? 0 : 10 + ExceptionCount();
}

}  // namespace

void* operator new(std::size_t size) {
  if (gFaultWhilePaused && gPausedThread && GetCurrentThreadId() != gMainThread && WorkerIsPaused() &&
      gFaultWhilePaused.exchange(false))
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(*gNull));
  if (GetCurrentThreadId() != gMainThread && gFailAnAllocation.exchange(false)) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined: an optimised build would otherwise see free() on memory of
// operator new in every caller.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// Raises during the program's exit: after the ordinary static objects are
// destroyed (this one is made before them, so it goes after them) and
// before the crash reporter's own end. What is raised there still finds the
// crash reporter whole: a caught raise is kept, one at the edge reported.
// Then the heaps are checked (under Wine's heap checking a write into a
// freed block shows there), and the result written beside the log.
// A plain array: a std::string would be destroyed before this object is.
char gExitFolder[MAX_PATH] = {};
struct TRaisesAtExit {
  ~TRaisesAtExit() {
    if (gExitFolder[0] == '\0') return;
    try {
      RaiseProblem();
    } catch (const EScanerProblem&) {
    }
    AtTheEdge(RaiseProblem);
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    bool valid = count > 0 && count <= 64;
    for (DWORD i = 0; valid && i < count; ++i) valid = HeapValidate(heaps[i], 0, nullptr) != FALSE;
    std::ofstream(std::string(gExitFolder) + "\\exit.txt")
        << (valid ? "heaps valid" : "heap damaged") << " " << ExceptionCount();
  }
};
__attribute__((init_priority(102))) TRaisesAtExit gRaisesAtExit;

// ---------------------------------------------------------------------------
// Every kind of crash, one function each: "kind-NAME FOLDER" runs it in the
// main thread, "kind-NAME-thread FOLDER" in a thread of its own, whose exit
// code plus 100 the program returns when it goes on. Each writes the line of
// its fault to FOLDER\fault-line.txt first, for the report's stack to be
// held against. The faults are made on purpose: raw new, writes to
// read-only memory, a double free.

namespace {

std::string gFolder;
__attribute__((noinline)) void MarkFault(int line) { std::ofstream(gFolder + "\\fault-line.txt") << line; }

volatile int gSink = 0;
volatile double gZero = 0.0, gQuotient = 0.0;
volatile std::size_t gImpossibleSize = PTRDIFF_MAX;
char* volatile gAllocated = nullptr;
char* volatile gReadOnly = const_cast<char*>("read-only text");
void (*volatile gNoFunction)() = nullptr;
void* volatile gNoTarget = nullptr;
int gOutcome = 0;  // what the program returns when the kind returns

}  // namespace

// In the base's destructor the object is a TShape again, whose Area is pure.
// Outside the unnamed namespace: there the compiler knows every class
// derived from TShape and calls TSquare's Area directly.
struct TShape {
  virtual ~TShape();
  virtual int Area() const = 0;
};
__attribute__((noipa)) int AreaOf(const TShape& shape) {
  MarkFault(__LINE__ + 1);
  const int area = shape.Area();
  gSink = 1;  // not a tail call: this frame stays
  return area;
}
TShape::~TShape() { gSink = AreaOf(*this); }
struct TSquare : TShape {
  int Area() const override { return 4; }
};

namespace {

__attribute__((noinline)) void CallsAbort() {
  MarkFault(__LINE__ + 1);
  std::abort();
}
__attribute__((noinline)) void FailsAnAssertion() {
  MarkFault(__LINE__ + 1);
  assert(gSink == 12345);
  gSink = 1;  // not a tail call of the runtime's report: this frame stays
}

__attribute__((noinline)) void CallsAPureVirtual() { TSquare square; }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wterminate"
__attribute__((noinline)) void ThrowsFromNoexcept() noexcept {
  MarkFault(__LINE__ + 1);
  throw EScanerProblem(L"Thrown from a noexcept function");
}
#pragma GCC diagnostic pop

// Thrown only as far as the compiler knows: a destructor it knows to throw
// every time makes the catch clause below unreachable, and an optimised
// build drops it (the first exception then finds no handler at all).
volatile bool gThrowWhenDestroyed = true;
struct TThrowsWhenDestroyed {
  __attribute__((noinline)) ~TThrowsWhenDestroyed() noexcept(false) {
    MarkFault(__LINE__ + 1);
    if (gThrowWhenDestroyed) throw EScanerProblem(L"Thrown while unwinding");
  }
};
__attribute__((noinline)) void ThrowsWhileUnwinding() {
  try {
    TThrowsWhenDestroyed whenDestroyed;
    RaiseProblem();
  } catch (const EScanerProblem&) {
  }
}

__attribute__((noinline)) void ThrowsAnInt() {
  MarkFault(__LINE__ + 1);
  throw 42;
}
__attribute__((noinline)) void NewOfImpossibleSize() {
  MarkFault(__LINE__ + 1);
  gAllocated = new char[gImpossibleSize];
}
__attribute__((noinline)) void DividesAFloatByZero() {
  MarkFault(__LINE__ + 2);
  _controlfp(_MCW_EM & ~_EM_ZERODIVIDE, _MCW_EM);
  gQuotient = 1.0 / gZero;
}
__attribute__((noinline)) void RunsAnIllegalInstruction() {
  MarkFault(__LINE__ + 1);
  asm volatile("ud2");
}
__attribute__((noinline)) void RunsAPrivilegedInstruction() {
  MarkFault(__LINE__ + 1);
  asm volatile("hlt");
}
__attribute__((noinline)) void WritesReadOnlyMemory() {
  MarkFault(__LINE__ + 1);
  *gReadOnly = 'x';
}
__attribute__((noinline)) void CallsANullFunctionPointer() {
  MarkFault(__LINE__ + 1);
  gNoFunction();
  gSink = 1;  // not a tail call: this frame stays
}
// The system's heap of the process, freed twice.
__attribute__((noinline)) void FreesTwice() {
  const HANDLE heap = GetProcessHeap();
  void* block = HeapAlloc(heap, 0, 64);
  HeapFree(heap, 0, block);
  MarkFault(__LINE__ + 1);
  if (!HeapFree(heap, 0, block)) gOutcome = static_cast<int>(GetLastError());
}
__attribute__((noinline)) void PassesAnInvalidParameter() {
  MarkFault(__LINE__ + 1);
  gSink = _itow_s(42, static_cast<wchar_t*>(gNoTarget), 8, 10);
}

const struct {
  const char* Name;
  void (*Run)();
} kKinds[] = {
    {"abort", CallsAbort},
    {"assert", FailsAnAssertion},
    {"pure-virtual", CallsAPureVirtual},
    {"noexcept", ThrowsFromNoexcept},
    {"throw-while-unwinding", ThrowsWhileUnwinding},
    {"throw-int", ThrowsAnInt},
    {"bad-alloc", NewOfImpossibleSize},
    {"float-divide-by-zero", DividesAFloatByZero},
    {"illegal-instruction", RunsAnIllegalInstruction},
    {"privileged-instruction", RunsAPrivilegedInstruction},
    {"write-read-only", WritesReadOnlyMemory},
    {"null-function-pointer", CallsANullFunctionPointer},
    {"double-free", FreesTwice},
    {"invalid-parameter", PassesAnInvalidParameter},
};

DWORD WINAPI KindThread(LPVOID kind) {
  reinterpret_cast<void (*)()>(kind)();
  return 0;
}

// What the kind leaves in gOutcome when it returns in the main thread;
// 100 + the thread's exit code when it ran in a thread and the program went
// on.
int RunKind(const std::string& scenario) {
  for (const auto& kind : kKinds) {
    const std::string name = std::string("kind-") + kind.Name;
    if (scenario == name) {
      kind.Run();
      return gOutcome;
    }
    if (scenario == name + "-thread") {
      HANDLE thread = CreateThread(nullptr, 0, KindThread, reinterpret_cast<LPVOID>(kind.Run), 0, nullptr);
      WaitForSingleObject(thread, INFINITE);
      DWORD code = 0;
      GetExitCodeThread(thread, &code);
      CloseHandle(thread);
      return 100 + static_cast<int>(code);
    }
  }
  return 2;
}

}  // namespace

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

int SaveRace(const std::string& folder, const std::string& tag) {
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(folder);
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);
  o.SetErrorsNumberToSave(1000);
  // Every raise is a twin of the first: each one counts in the stored
  // report, a change of the log read long before the report is saved.
  o.SetLogOptions({loNoDuplicateErrors});
  static std::atomic<bool> failed{false};
  ExceptionErrorNotify = [](TTraciraExceptionRecord&, TTraciraActionType, bool&) { failed = true; };
  static std::wstring message;
  for (int n = 1; n <= 60; ++n) {
    failed = false;
    message = L"Report " + std::wstring(tag.begin(), tag.end()) + L" " + std::to_wstring(n);
    AtTheEdge([] { throw EScanerProblem(message); });
    std::printf("%s %s %d\n", failed ? "failed" : "saved", tag.c_str(), n);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string scenario = argv[1], folder = argv[2];
  if (scenario == "save-loop") SaveLoop(folder, argc > 3 ? std::atoi(argv[3]) : 1);
  if (scenario == "save-race") return SaveRace(folder, argc > 3 ? argv[3] : "A");
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

  gFolder = folder;
  if (scenario.starts_with("kind-")) return RunKind(scenario);
  if (scenario == "unhandled-main") RaiseProblem();
  if (scenario == "out-of-memory") {
    // Every byte of the address space taken (only a 32-bit program can get
    // there), then a raise nobody catches: nothing on its way in may need
    // memory before the crash reporter gives back what it kept for this.
    if (sizeof(void*) != 4) return 77;
    for (SIZE_T size = 16 << 20; size >= 4096;)
      if (!VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE)) size /= 2;
    RaiseProblem();
  }
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
  if (scenario == "restart-filter" || scenario == "terminate-filter") {
    TTraciraExceptionFilter f;
    f.ExceptionClassName = "EScanerProblem";
    f.ActionType = scenario == "restart-filter" ? fatRestart : fatTerminate;
    o.ExceptionsFilters().Add(f);
    AtTheEdge(RaiseProblem);
    return 4;  // not reached: the program restarts or ends
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
  if (scenario == "freeze") return Freeze(kSleep);
  if (scenario == "freeze-allocating") return Freeze(kAllocate);
  if (scenario == "freeze-in-the-loader") return Freeze(kLoad);
  if (scenario == "internal-error") return InternalError();
  if (scenario == "fault-in-the-handling") return FaultInTheHandling();
  if (scenario == "raise-during-exit") {
    folder.copy(gExitFolder, sizeof gExitFolder - 1);
    return 0;
  }
  return 2;
}
