// The crash reporter in this very process: what is reported, what is not,
// and that the program goes on.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/core/TrText.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/report/TrLogManager.h"
#include "rtl/Guarded.h"
#include "tests/crashreport/engine/EngineTestSupport.h"

namespace {

using namespace tracira;
using enginetest::PrepareOptions;
using enginetest::SavedReports;

class EScanerProblem : public rtl::Exception {
 public:
  using Exception::Exception;
};

int gDestructors = 0;
struct TCounted {
  ~TCounted() { ++gDestructors; }
};

constexpr int kRaiseProblemLine = __LINE__ + 1;
__attribute__((noinline)) void RaiseProblem() { throw EScanerProblem(L"The scanner went away"); }
volatile int* volatile gNull = nullptr;
volatile int gZero = 0;
__attribute__((noinline)) int ReadNull() {
  TCounted counted;
  return *gNull;
}
__attribute__((noinline)) int DivideByZero() {
  TCounted counted;
  return 100 / gZero;
}

// Runs body at the edge of the program's own handling, as a window
// procedure does; answers whether the runtime's own handling was asked to run.
template <class Body>
bool AtTheEdge(Body body) {
  bool passedOn = false;
  rtl::Guarded(body, [&] { passedOn = ExceptionManager(nullptr, nullptr, 1, nullptr); });
  return passedOn;
}

TEST(Engine, IsInstalledFromTheDataBlock) { EXPECT_TRUE(IsTraciraLogInstalled()); }

TEST(Engine, ExceptionCaughtByTheProgramIsNotReported) {
  PrepareOptions("caught");
  const int before = ExceptionCount();
  try {
    RaiseProblem();
  } catch (const rtl::Exception&) {
  }
  EXPECT_EQ(ExceptionCount(), before);
  EXPECT_TRUE(SavedReports().empty());
}

TEST(Engine, ExceptionReachingTheEdgeIsReportedWithItsStack) {
  PrepareOptions("edge");
  const int before = ExceptionCount();
  const bool passedOn = AtTheEdge([] {
    try {
      RaiseProblem();
    } catch (const rtl::EConvertError&) {
      ADD_FAILURE() << "an unrelated handler caught it";
    }
  });
  EXPECT_FALSE(passedOn);
  EXPECT_EQ(ExceptionCount(), before + 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EScanerProblem"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("The scanner went away."), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("RaiseProblem"), std::string::npos) << reports[0];
  std::printf("%s\n", reports[0].c_str());
}

// Debug data names things in UTF-8; the report holds them in the code page
// like every other text.
__attribute__((noinline)) void ОпросСканера() { throw EScanerProblem(L"The scanner went away"); }

TEST(Engine, NamesBeyondASCIIAreInTheReportsCodePage) {
  PrepareOptions("utf8-names");
  AtTheEdge([] { ОпросСканера(); });
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find(ToAnsi(L"ОпросСканера")), std::string::npos) << reports[0];
}

TEST(Engine, AbortIsNeverReported) {
  PrepareOptions("abort");
  const int before = ExceptionCount();
  EXPECT_TRUE(AtTheEdge([] { throw rtl::EAbort(L"quiet"); }));
  EXPECT_EQ(ExceptionCount(), before);
}

TEST(Engine, AccessViolationUnwindsAndIsReported) {
  PrepareOptions("av");
  gDestructors = 0;
  const int before = ExceptionCount();
  AtTheEdge([] { ReadNull(); });
  EXPECT_EQ(gDestructors, 1);
  EXPECT_EQ(ExceptionCount(), before + 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EAccessViolation"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("Read of address 00000000"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("ReadNull"), std::string::npos) << reports[0];
}

TEST(Engine, DivisionByZeroUnwindsAndIsReported) {
  PrepareOptions("div");
  gDestructors = 0;
  AtTheEdge([] { DivideByZero(); });
  EXPECT_EQ(gDestructors, 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EDivByZero"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("DivideByZero"), std::string::npos) << reports[0];
}

// Reservations of the size of the address space kept back for a handling
// out of memory.
int OutOfMemoryReserves() {
  int count = 0;
  MEMORY_BASIC_INFORMATION info;
  for (const char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
       p = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_RESERVE && info.AllocationProtect == PAGE_NOACCESS &&
        info.RegionSize == 0x1000000 && info.BaseAddress == info.AllocationBase)
      ++count;
  }
  return count;
}

TEST(Engine, AHandlingThatWaitedForAnotherRunsWithTheReserveReleased) {
  PrepareOptions("reserve");
  const int idle = OutOfMemoryReserves();
  ASSERT_GE(idle, 1);
  std::atomic<int> calls{0}, seen{-1};
  std::thread second;
  ExceptionNotify = [&](TTraciraExceptionRecord&, bool&) {
    if (++calls == 1) {
      second = std::thread([] { AtTheEdge([] { RaiseProblem(); }); });
      Sleep(300);  // the second raise waits for this handling's end meanwhile
    } else {
      seen = OutOfMemoryReserves();
    }
  };
  AtTheEdge([] { RaiseProblem(); });
  second.join();
  ExceptionNotify = nullptr;
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(seen, idle - 1);
  EXPECT_EQ(OutOfMemoryReserves(), idle);  // kept back again
}

}  // namespace

namespace {

TTraciraExceptionFilter Filter(const char* className, TFilterHandlerType handler,
                               TFilterActionType action = fatNone) {
  TTraciraExceptionFilter f;
  f.ExceptionClassName = className;
  f.HandlerType = handler;
  f.ActionType = action;
  return f;
}

TEST(Filters, RtlHandlerStepsAsideAndNoneSwallows) {
  struct Case {
    const char* ClassName;  // named by the filter: the class itself or an ancestor
    TFilterHandlerType Handler;
    bool PassedOn;
    int Reports;
  };
  const Case cases[] = {
      {"EScanerProblem", fhtRTL, true, 0},
      {"rtl::Exception", fhtRTL, true, 0},
      {"escanerproblem", fhtNone, false, 0},
      {"EConvertError", fhtNone, false, 1},  // names another class: no effect
      {"Exception", fhtTraciraLog, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ClassName);
    PrepareOptions("filters");
    CurrentTraciraLogOptions().ExceptionsFilters().Add(Filter(c.ClassName, c.Handler));
    EXPECT_EQ(AtTheEdge([] { RaiseProblem(); }), c.PassedOn);
    EXPECT_EQ(SavedReports().size(), static_cast<std::size_t>(c.Reports));
  }
  CurrentTraciraLogOptions().ExceptionsFilters().Clear();
}

// A class of the program's own beside the exception class: a filter that
// names it takes the exception, as one naming the first base does.
struct TRetryable {
  virtual ~TRetryable() = default;
};
class EScanerTimeout : public EScanerProblem, public TRetryable {
 public:
  using EScanerProblem::EScanerProblem;
};

TEST(Filters, EveryBaseOfAClassWithSeveralIsNamed) {
  for (const char* base : {"TRetryable", "EScanerProblem", "rtl::Exception"}) {
    SCOPED_TRACE(base);
    PrepareOptions("second-base");
    CurrentTraciraLogOptions().ExceptionsFilters().Add(Filter(base, fhtNone));
    EXPECT_FALSE(AtTheEdge([] { throw EScanerTimeout(L"late"); }));
    EXPECT_TRUE(SavedReports().empty());
  }
  CurrentTraciraLogOptions().ExceptionsFilters().Clear();
}

// The switches around a report, and the events that tell of it.
TEST(Behaviour, SwitchesAndEventsAroundAReport) {
  const DWORD self = GetCurrentThreadId();
  struct Case {
    const char* Name;
    std::function<void()> Setup;  // after the options are prepared
    bool Caught;                  // raised inside the program's own catch clause, else at the edge
    std::size_t Reports;
    bool PassedOn;      // at the edge: the runtime's own handling is asked to run as well
    const char* Event;  // the notify event that fired: "handled", "unhandled" or none
  };
  const auto behaviour = [](TBehaviourOption option) {
    return [option] {
      TBehaviourOptions b = CurrentTraciraLogOptions().BehaviourOptions();
      CurrentTraciraLogOptions().SetBehaviourOptions(b.Include(option));
    };
  };
  const Case cases[] = {
      {"a caught exception", [] {}, true, 0, false, ""},
      {"boCatchHandledExceptions", behaviour(boCatchHandledExceptions), true, 1, false, "handled"},
      {"boCallRTLExceptionEvent", behaviour(boCallRTLExceptionEvent), false, 1, true, "unhandled"},
      {"switched off", [] { SetTraciraLogState(false); }, false, 0, true, ""},
      {"switched off in this thread", [self] { SetTraciraLogActiveInThread(self, false); }, false, 0, true,
       ""},
      {"fatTerminate cancelled at atTerminating",
       [] {
         TTraciraExceptionFilter f = Filter("EScanerProblem", fhtTraciraLog, fatTerminate);
         CurrentTraciraLogOptions().ExceptionsFilters().Add(f);
         ExceptionActionNotify = [](TTraciraExceptionRecord&, TTraciraActionType action, bool& execute) {
           if (action == atTerminating) execute = false;
         };
       },
       false, 1, false, "unhandled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    PrepareOptions("behaviour");
    std::string event;
    ExceptionNotify = [&](TTraciraExceptionRecord&, bool&) { event += "unhandled"; };
    HandledExceptionNotify = [&](TTraciraExceptionRecord&, bool&) { event += "handled"; };
    c.Setup();
    bool passedOn = false;
    if (c.Caught) {
      try {
        RaiseProblem();
      } catch (const EScanerProblem&) {
      }
    } else {
      passedOn = AtTheEdge([] { RaiseProblem(); });
    }
    SetTraciraLogState(true);
    SetTraciraLogActiveInThread(self, true);
    ExceptionNotify = HandledExceptionNotify = nullptr;
    ExceptionActionNotify = nullptr;
    EXPECT_EQ(SavedReports().size(), c.Reports);
    EXPECT_EQ(passedOn, c.PassedOn);
    EXPECT_EQ(event, c.Event);
  }
  PrepareOptions("behaviour");
}

TEST(Events, HandleClearedStopsTheReportAndPassesItOn) {
  PrepareOptions("handle");
  std::vector<std::string> calls;
  TTraciraLog first, second;
  first.OnExceptionNotify = [&](TTraciraExceptionRecord& r, bool&) {
    calls.push_back("first " + r.ExceptionClassName);
  };
  second.OnExceptionNotify = [&](TTraciraExceptionRecord&, bool&) { calls.push_back("second"); };
  ExceptionNotify = [&](TTraciraExceptionRecord& r, bool& handle) {
    calls.push_back("global " + std::to_string(r.ExceptionThreadID == GetCurrentThreadId()));
    handle = false;
  };
  const int before = ExceptionCount();
  EXPECT_TRUE(AtTheEdge([] { RaiseProblem(); }));
  ExceptionNotify = nullptr;
  // The components from the last created to the first, then the global one.
  EXPECT_EQ(calls, (std::vector<std::string>{"second", "first EScanerProblem", "global 1"}));
  EXPECT_EQ(ExceptionCount(), before);
  EXPECT_TRUE(SavedReports().empty());
}

TEST(Events, ExceptionInsideAHandlerIsNotReported) {
  PrepareOptions("nested");
  int inner = 0;
  ExceptionNotify = [&](TTraciraExceptionRecord&, bool&) {
    ++inner;
    throw rtl::Exception(L"raised by the handler");
  };
  const int before = ExceptionCount();
  AtTheEdge([] { RaiseProblem(); });
  ExceptionNotify = nullptr;
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(ExceptionCount(), before + 1);
  ASSERT_EQ(SavedReports().size(), 1u);
  EXPECT_EQ(SavedReports()[0].find("raised by the handler"), std::string::npos);
}

TEST(Events, CustomDataBecomesASectionAndActionsCanSkipTheSave) {
  PrepareOptions("custom");
  CustomDataRequest = [](TTraciraExceptionRecord&, std::vector<std::string>& lines) {
    lines = {"Port=COM 41", "Operator=Иванов"};
  };
  std::vector<TTraciraActionType> actions;
  ExceptionActionNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool& execute) {
    actions.push_back(action);
    if (action == atSavingLogFile) execute = false;
  };
  AtTheEdge([] { RaiseProblem(); });
  CustomDataRequest = nullptr;
  ExceptionActionNotify = nullptr;
  // The saving is skipped, its end is told all the same.
  EXPECT_EQ(actions, (std::vector<TTraciraActionType>{atSavingLogFile, atSavedLogFile}));
  EXPECT_TRUE(SavedReports().empty());
  const std::string report = LastLogText();
  EXPECT_NE(report.find("Custom Information:"), std::string::npos) << report;
  EXPECT_NE(report.find("8.1 Port    : COM 41"), std::string::npos) << report;
}

}  // namespace

namespace {

TEST(Threads, EightThreadsRaisingAtOnceGiveEightReports) {
  PrepareOptions("eight");
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  std::vector<DWORD> ids(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      ids[i] = GetCurrentThreadId();
      ++ready;
      while (ready < 8) Sleep(1);
      AtTheEdge([] { RaiseProblem(); });
    });
  for (auto& t : threads) t.join();
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 8u);
  // Each report names its own thread first.
  std::set<std::string> first;
  for (const std::string& r : reports) {
    const auto at = r.find("*Exception Thread: ID=");
    ASSERT_NE(at, std::string::npos) << r;
    first.insert(r.substr(at + 22, r.find(';', at) - at - 22));
  }
  std::set<std::string> expected;
  for (DWORD id : ids) expected.insert(std::to_string(id));
  EXPECT_EQ(first, expected);
}

TEST(Threads, ExceptionEscapingAThreadIsReportedAndTheProgramGoesOn) {
  PrepareOptions("thread");
  std::thread worker([] { RaiseProblem(); });
  worker.join();
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("RaiseProblem"), std::string::npos) << reports[0];
  // The thread that created the worker is shown too, from its saved stack.
  EXPECT_NE(reports[0].find("Calling Thread"), std::string::npos) << reports[0];
}

TEST(Threads, AThreadsNameIsItsClass) {
  using TSetThreadDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const auto name = reinterpret_cast<TSetThreadDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!name) GTEST_SKIP() << "this system names no threads";
  PrepareOptions("thread-name");
  std::thread poller([name] {
    name(GetCurrentThread(), L"Опрос сканера");
    AtTheEdge([] { RaiseProblem(); });
  });
  poller.join();
  const std::string report = LastLogText();
  EXPECT_NE(report.find("Class=" + ToAnsi(L"Опрос сканера")), std::string::npos) << report;
}

TEST(Threads, OtherThreadsAreShownAfterTheRaisingOne) {
  PrepareOptions("others");
  std::atomic<bool> stop{false};
  std::thread idle([&] {
    while (!stop) Sleep(5);
  });
  AtTheEdge([] { RaiseProblem(); });
  stop = true;
  idle.join();
  const std::string report = LastLogText();
  const auto exceptionThread = report.find("*Exception Thread:");
  const auto runningThread = report.find("Running Thread:");
  ASSERT_NE(exceptionThread, std::string::npos) << report;
  ASSERT_NE(runningThread, std::string::npos) << report;
  EXPECT_LT(exceptionThread, runningThread);
}

// Threads that hold a lock the handling needs (the heap's, the loader's)
// must not stop it, whether they are left running or paused for the whole
// handling: one allocating (a runtime thread), one loading and freeing a
// library (a Windows thread), a thousand raises over the configurations.
DWORD WINAPI LoadAndFreeLibraries(LPVOID stop) {
  while (!*static_cast<std::atomic<bool>*>(stop)) {
    if (HMODULE m = LoadLibraryW(L"msimg32.dll")) FreeLibrary(m);
    // Not without a break: Wine's loader lock is not fair, and a thread
    // that takes it back at once starves every other user of the loader.
    Sleep(1);
  }
  return 0;
}

TEST(Threads, ThreadsHoldingTheHeapOrTheLoaderNeverBlockTheHandling) {
  constexpr int kRaises = 250;  // in each configuration: a thousand in all
  const struct {
    const char* Name;
    TBehaviourOptions Pause;
  } cases[] = {
      {"no pause", {}},
      {"runtime threads paused", {boPauseBorlandThreads}},
      {"Windows threads paused", {boPauseWindowsThreads}},
      {"all but the main thread paused",
       {boPauseBorlandThreads, boPauseWindowsThreads, boDoNotPauseMainThread}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    PrepareOptions("hammer");
    TTraciraModuleOptions& o = CurrentTraciraLogOptions();
    o.SetSaveLogFile(false);
    o.SetLogOptions({});
    o.SetBehaviourOptions(c.Pause);
    std::atomic<bool> stop{false};
    std::thread hammer([&] {
      while (!stop) {
        std::vector<std::string> v(16, std::string(100, 'x'));
        v.clear();
      }
    });
    HANDLE loader = CreateThread(nullptr, 0, LoadAndFreeLibraries, &stop, 0, nullptr);
    ASSERT_NE(loader, nullptr);
    const int before = ExceptionCount();
    for (int i = 0; i < kRaises; ++i) AtTheEdge([] { RaiseProblem(); });
    stop = true;
    hammer.join();
    WaitForSingleObject(loader, INFINITE);
    CloseHandle(loader);
    EXPECT_EQ(ExceptionCount(), before + kRaises);
  }
}

// Wine's address waits, under its critical sections, slim locks and
// condition variables, guard each wait queue with a spin lock. A thread
// paused while it holds one would leave the handling spinning for good when
// it touches the same queue: a thread waking an address in a loop, and the
// handling waking the same address.
int gWakeTarget = 0;
using TWakeAddress = void(WINAPI*)(void*);
TWakeAddress gWakeAddress = nullptr;
DWORD WINAPI WakeInALoop(LPVOID stop) {
  while (!*static_cast<std::atomic<bool>*>(stop)) gWakeAddress(&gWakeTarget);
  return 0;
}

TEST(Threads, NoThreadIsPausedInsideTheSystemsSpinLock) {
  gWakeAddress = reinterpret_cast<TWakeAddress>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlWakeAddressSingle")));
  ASSERT_NE(gWakeAddress, nullptr);
  PrepareOptions("spin-lock");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetSaveLogFile(false);
  o.SetLogOptions({});
  o.SetBehaviourOptions({boPauseWindowsThreads});
  std::atomic<bool> stop{false};
  HANDLE waker = CreateThread(nullptr, 0, WakeInALoop, &stop, 0, nullptr);
  ASSERT_NE(waker, nullptr);
  // A spinning handling never ends: the watchdog turns that into a failure.
  HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread watchdog([finished] {
    if (WaitForSingleObject(finished, 60000) == WAIT_TIMEOUT) {
      std::fprintf(stderr, "a handling spun for a minute: a thread was paused inside a spin lock\n");
      TerminateProcess(GetCurrentProcess(), 3);
    }
  });
  ExceptionNotify = [](TTraciraExceptionRecord&, bool&) {
    for (int i = 0; i < 1000; ++i) gWakeAddress(&gWakeTarget);
  };
  const int before = ExceptionCount();
  for (int i = 0; i < 100; ++i) AtTheEdge([] { RaiseProblem(); });
  ExceptionNotify = nullptr;
  SetEvent(finished);
  watchdog.join();
  stop = true;
  WaitForSingleObject(waker, INFINITE);
  CloseHandle(waker);
  CloseHandle(finished);
  EXPECT_EQ(ExceptionCount(), before + 100);
}

BOOL CALLBACK CloseErrorBox(HWND wnd, LPARAM found) {
  wchar_t caption[64] = {};
  GetWindowTextW(wnd, caption, 64);
  if (std::wstring(caption) != L"Error occurred" || !IsWindowVisible(wnd)) return TRUE;
  wchar_t text[256] = {};
  GetDlgItemTextW(wnd, 0xFFFF, text, 256);
  *reinterpret_cast<std::wstring*>(found) = text;
  PostMessageW(wnd, WM_COMMAND, IDOK, 0);
  return FALSE;
}

TEST(Dialog, MessageBoxShowsTheMessageOnTheRaisingThread) {
  PrepareOptions("dialog");
  CurrentTraciraLogOptions().SetExceptionDialogType(edtMessageBox);
  std::wstring shown;
  std::atomic<bool> done{false};
  std::thread closer([&] {
    while (!done && shown.empty()) {
      EnumWindows(CloseErrorBox, reinterpret_cast<LPARAM>(&shown));
      Sleep(20);
    }
  });
  AtTheEdge([] { RaiseProblem(); });
  done = true;
  closer.join();
  EXPECT_EQ(shown, L"The scanner went away");
  EXPECT_EQ(SavedReports().size(), 1u);
}

// A processor fault in the program's code that runs during a handling is
// converted as anywhere else, and swallowed like a handler's C++ exception:
// the handling goes on and so does the program.
TEST(FaultsInAHandling, ANullDereferenceInAnEventHandler) {
  PrepareOptions("fault-in-handler");
  gDestructors = 0;
  ExceptionNotify = [](TTraciraExceptionRecord&, bool&) { ReadNull(); };
  AtTheEdge([] { RaiseProblem(); });
  ExceptionNotify = nullptr;
  EXPECT_EQ(gDestructors, 1);  // ReadNull's frame was unwound
  EXPECT_EQ(SavedReports().size(), 1u);
  AtTheEdge([] { RaiseProblem(); });
  EXPECT_EQ(SavedReports().size(), 2u);
}

std::atomic<int> gTicks{0};

// A window of the program: its procedure runs through the edge of the
// program's handling, as the GUI library's windows do.
LRESULT CALLBACK TickingWindow(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != WM_TIMER) return DefWindowProcW(wnd, msg, wp, lp);
  rtl::Guarded(
      [] {
        if (++gTicks == 1) ReadNull();
      },
      [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
  return 0;
}

TEST(FaultsInAHandling, ANullDereferenceInAWindowProcedureWhileTheBoxIsShown) {
  PrepareOptions("fault-in-window");
  CurrentTraciraLogOptions().SetExceptionDialogType(edtMessageBox);
  WNDCLASSW wc{};
  wc.lpfnWndProc = TickingWindow;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavrixTickingWindow";
  RegisterClassW(&wc);
  HWND wnd = CreateWindowW(wc.lpszClassName, L"Ticks", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                           wc.hInstance, nullptr);
  ASSERT_NE(wnd, nullptr);
  gTicks = 0;
  std::wstring shown;
  std::atomic<bool> done{false};
  // The box is closed once the window's timer has faulted and ticked on.
  std::thread closer([&] {
    while (!done && shown.empty()) {
      if (gTicks >= 3) EnumWindows(CloseErrorBox, reinterpret_cast<LPARAM>(&shown));
      Sleep(20);
    }
  });
  AtTheEdge([&] {
    SetTimer(wnd, 1, 10, nullptr);
    RaiseProblem();
  });
  done = true;
  closer.join();
  KillTimer(wnd, 1);
  DestroyWindow(wnd);
  EXPECT_EQ(shown, L"The scanner went away");
  EXPECT_GE(gTicks.load(), 3);
  EXPECT_EQ(SavedReports().size(), 1u);
}

}  // namespace

namespace {

template <class Fn>
Fn Export(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(nullptr), name)));
}

TEST(Exports, OtherModulesReachThisModulesHandlersByPlainName) {
  using TNotify = void(WINAPI*)(TTraciraExceptionRecord*, bool*);
  using TLines = void(WINAPI*)(TTraciraExceptionRecord*, std::vector<std::string>*);
  const auto notify = Export<TNotify>("TraciraLog_ExceptionNotifyEvent");
  const auto custom = Export<TLines>("TraciraLog_CustomDataRequestEventEx");
  ASSERT_NE(notify, nullptr);
  ASSERT_NE(custom, nullptr);
  EXPECT_NE(Export<void*>("ExceptionManager"), nullptr);
  TTraciraLog component;
  component.OnExceptionNotify = [](TTraciraExceptionRecord& r, bool& handle) {
    handle = r.ExceptionMessage != "x";
  };
  component.OnCustomDataRequest = [](TTraciraExceptionRecord&, std::vector<std::string>& lines) {
    lines.push_back("from=component");
  };
  TTraciraExceptionRecord record;
  record.ExceptionMessage = "x";
  bool handle = true;
  notify(&record, &handle);
  EXPECT_FALSE(handle);
  std::vector<std::string> lines;
  custom(&record, &lines);
  EXPECT_EQ(lines, std::vector<std::string>{"from=component"});
}

DWORD WINAPI ThrowFromForwardedThread(LPVOID) {
  RaiseProblem();
  return 0;
}

TEST(Exports, AThreadPassedOnByAnotherModuleIsRegisteredAndReported) {
  PrepareOptions("forwarded");
  using TCreate =
      HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
  const auto create = Export<TCreate>("TraciraLog_CallCreateThread");
  ASSERT_NE(create, nullptr);
  HANDLE thread = create(nullptr, 0, ThrowFromForwardedThread, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, 30000);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 1u);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("ThrowFromForwardedThread"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("Calling Thread"), std::string::npos) << reports[0];
}

// Code of the program that its data block does not name (the C++ runtime
// linked into it) is not named after the nearest exported function.
TEST(Report, RuntimeFramesAreNotNamedAfterTheProgramsExports) {
  PrepareOptions("runtime-frames");
  AtTheEdge([] {
    const std::vector<int> empty;
    (void)empty.at(1);  // std::out_of_range, thrown inside the C++ runtime
  });
  const TTraciraStackList stack = LastCallStack();
  ASSERT_FALSE(stack.empty());
  for (const TTraciraDebugInfo& entry : stack) {
    EXPECT_NE(entry.ProcedureName, "ExceptionManager");
    EXPECT_FALSE(entry.ProcedureName.starts_with("TraciraLog_")) << entry.ProcedureName;
  }
  const auto test = std::find_if(stack.begin(), stack.end(),
                                 [](const TTraciraDebugInfo& e) { return e.UnitName == "EngineTest.cpp"; });
  EXPECT_NE(test, stack.end()) << "the test's own lambda";
}

// The raising thread's own frames, innermost first, with their lines.
TEST(Report, TheCallStackNamesTheRaisingFunctionsAndLinesInnermostFirst) {
  PrepareOptions("lines");
  AtTheEdge([] { RaiseProblem(); });
  const TTraciraStackList stack = LastCallStack();
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack[0].ProcedureName, "RaiseProblem");
  EXPECT_EQ(stack[0].UnitName, "EngineTest.cpp");
  EXPECT_TRUE(stack[0].ErrorLine);
  // The line of the throw itself.
  EXPECT_EQ(stack[0].Line, static_cast<std::uint32_t>(kRaiseProblemLine));
  const auto test = std::find_if(stack.begin(), stack.end(), [](const TTraciraDebugInfo& e) {
    return e.ProcedureName.find("operator()") != std::string::npos && e.UnitName == "EngineTest.cpp";
  });
  EXPECT_NE(test, stack.end()) << "the test's own lambda that called it";
}

}  // namespace

namespace {

TEST(SystemExceptions, InAWorkerThreadTheyUnwindAndAreReported) {
  PrepareOptions("worker");
  gDestructors = 0;
  std::thread worker([] { AtTheEdge([] { DivideByZero(); }); });
  worker.join();
  EXPECT_EQ(gDestructors, 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EDivByZero"), std::string::npos) << reports[0];
}

TEST(SystemExceptions, AnAccessViolationNobodyCatchesEndsOnlyItsThread) {
  PrepareOptions("worker-unhandled");
  std::thread worker([] { ReadNull(); });
  worker.join();
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EAccessViolation"), std::string::npos) << reports[0];
}

// Optimised as the shipped program is: a leaf without a frame of its own,
// where the stack pointer is off the alignment of a call when it faults.
__attribute__((noinline, optimize("O2", "omit-frame-pointer"))) int ReadInALeaf(volatile int* at) {
  return *at;
}

TEST(SystemExceptions, AFaultInAFramelessLeafIsReportedFromIt) {
  PrepareOptions("leaf");
  AtTheEdge([] { ReadInALeaf(gNull); });
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EAccessViolation"), std::string::npos) << reports[0];
  const TTraciraStackList stack = LastCallStack();
  ASSERT_FALSE(stack.empty());
  EXPECT_NE(stack.front().ProcedureName.find("ReadInALeaf"), std::string::npos) << reports[0];
}

TEST(SystemExceptions, ASoftwareExceptionRaisedByTheProgramUnwindsAndIsReported) {
  PrepareOptions("software");
  gDestructors = 0;
  AtTheEdge([] {
    TCounted counted;
    RaiseException(0xE0000042, 0, 0, nullptr);
  });
  EXPECT_EQ(gDestructors, 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("EExternalException"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("External exception E0000042"), std::string::npos) << reports[0];
}

}  // namespace
