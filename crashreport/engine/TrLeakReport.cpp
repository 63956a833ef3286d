#include "crashreport/engine/TrLeakReport.h"

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <typeinfo>

#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrEngine.h"
#include "crashreport/engine/TrHandling.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/leaks/TrLeaks.h"

namespace tracira {

namespace {

constinit bool gFinishing = false;

// Runs the handling in place, on this thread, for an exception object made
// here; nothing is thrown.
template <class E>
void NotifyInPlace(E& object, std::uintptr_t address, const TTraciraStackList* given) {
  TThreadState* state = CurrentThreadState();
  if (!state) return;
  TNotifyParams p;
  p.ThreadID = GetCurrentThreadId();
  p.Address = address;
  p.TopOfStack = CurrentTopOfStack();
  p.StackPoint = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  p.Object = &object;
  p.Type = &typeid(E);
  p.GivenStack = given;
  if (InterlockedExchange(&state->InGoNotify, 1) == 0) {
    ExceptNotify(*state, p);
    InterlockedExchange(&state->InGoNotify, 0);
  }
}

// A release's error, from inside free or operator delete: reported as the
// exception of its kind, and the program goes on (a release must not
// throw). Not while another handling runs: its threads may be paused, and a
// release on the handling thread itself would wait for its own end.
void ReportLeakError(leaks::TLeakError error, std::uintptr_t site) {
  if (!gEngine.Get() || !IsTraciraLogActive() || gEngine->HandlingThread.load() != 0) return;
  try {
    const TTraciraModuleOptions& options = *gEngine->Options;
    if (error == leaks::leOverrun) {
      EMemoryOverrun overrun(FromAnsi(options.GetCustomizedExpandedTexts(mtException_LeakMemoryOverrun)));
      NotifyInPlace(overrun, site, nullptr);
    } else {
      EMultiFree twice(FromAnsi(options.GetCustomizedExpandedTexts(mtException_LeakMultiFree)));
      NotifyInPlace(twice, site, nullptr);
    }
  } catch (...) {
    // A report that failed leaves the release as it was.
  }
}

bool Kept(TTraciraDebugDetail detail) {
  return detail == ddProcedure || detail == ddUnitAndProcedure || detail == ddSourceCode;
}

struct TLeakSection {
  TTraciraStackList Stack;
  std::uint64_t TotalSize = 0;
  std::uint32_t TotalCount = 0;
  std::uintptr_t CommonAddress = 0;
  std::vector<std::size_t> Reported;  // rows that made it into the section
};

// The units of the runtimes linked into every program: the C runtime's
// start-up (its copies of the command line and environment), the threads
// library (a static mutex's inner object, thread keys and their data),
// libgcc's thread-local storage, the C++ runtime's emergency exception pool
// and exception globals. What they allocate for themselves is theirs.
constexpr std::string_view kRuntimeUnits[] = {
    "crtexe.c", "crtdll.c", "tlssup.c", "tlsthrd.c",   "atonexit.c",    "onexit_table.c",  "pseudo-reloc.c",
    "mutex.c",  "thread.c", "cond.c",   "rwlock.c",    "barrier.c",     "sem.c",           "spinlock.c",
    "misc.c",   "sched.c",  "emutls.c", "eh_alloc.cc", "eh_globals.cc", "atexit_thread.cc"};

// A leak is the program's when the call that allocated it is in the
// program's code: code with line information, outside the runtimes' units.
bool ProgramSite(std::uintptr_t site) {
  TTraciraDebugInfo entry;
  GetDebugInfosByAddr(site, 0, entry, true, true);
  return entry.DebugDetail == ddSourceCode && std::find(std::begin(kRuntimeUnits), std::end(kRuntimeUnits),
                                                        entry.UnitName) == std::end(kRuntimeUnits);
}

TLeakSection Section(const std::vector<leaks::TLeakRow>& rows) {
  constexpr std::uintptr_t kUnassigned = ~std::uintptr_t{0};
  TLeakSection s;
  s.CommonAddress = kUnassigned;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const leaks::TLeakRow& row = rows[r];
    TTraciraStackList entries;
    for (const std::uintptr_t address : row.Stack) {
      if (address == 0) break;
      TTraciraDebugInfo entry;
      GetDebugInfosByAddr(address, 0, entry, entries.empty(), true);
      if (!Kept(entry.DebugDetail)) continue;
      entry.IsALeak = true;
      entry.LeakType = row.Type.empty() ? "Data" : row.Type.substr(0, 64);
      entry.LeakSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(row.Size, UINT32_MAX));
      entry.LeakCount = row.Count;
      entry.ThreadID = 0;
      entries.push_back(std::move(entry));
    }
    if (entries.empty()) continue;
    entries.front().ErrorLine = true;  // each leak a block of its own
    s.Reported.push_back(r);
    s.Stack.insert(s.Stack.end(), entries.begin(), entries.end());
    s.TotalSize += row.Size;
    s.TotalCount += row.Count;
    s.CommonAddress = s.CommonAddress == kUnassigned || s.CommonAddress == row.Stack[0] ? row.Stack[0] : 0;
  }
  if (s.CommonAddress == kUnassigned) s.CommonAddress = 0;
  return s;
}

}  // namespace

void ConnectLeakDetector() { leaks::SetErrorReporter(&ReportLeakError); }

std::unique_ptr<TTraciraModuleOptions> StopLeakTracking(const TTraciraModuleOptions& current) {
  if (gFinishing || !leaks::Tracking()) return nullptr;
  leaks::StopTracking();
  auto kept = std::make_unique<TTraciraModuleOptions>();
  kept->DisableSharedDataWrite();
  kept->Assign(&current);
  return kept;
}

void FinishLeakDetector(std::unique_ptr<TTraciraModuleOptions> options) {
  if (gFinishing || !options) return;
  gFinishing = true;
  leaks::SetErrorReporter(nullptr);
  // Set up again first: which leaks are the program's is told by the
  // debug data.
  Init();
  std::vector<leaks::TLeakRow> reported;
  if (gEngine.Get() && IsTraciraLogInstalled()) gEngine->Options->Assign(options.get());
  if (gEngine.Get() && IsTraciraLogActive()) {
    try {
      const std::vector<leaks::TLeakRow> rows = leaks::StopAndAnalyse(ProgramSite);
      const TLeakSection section = Section(rows);
      if (section.TotalSize != 0) {
        TTraciraModuleOptions& current = *gEngine->Options;
        TLogOptions log = current.LogOptions();
        log.Exclude(loSaveAssemblerAndCPUSections);
        current.SetLogOptions(log);
        const std::string message = current.GetCustomizedExpandedTexts(mtCallStack_LeakCaption) + ": " +
                                    current.GetCustomizedExpandedTexts(mtCallStack_LeakSize) + "=" +
                                    std::to_string(section.TotalSize) + " - " +
                                    current.GetCustomizedExpandedTexts(mtCallStack_LeakCount) + "=" +
                                    std::to_string(section.TotalCount);
        EMemoryLeak leak(FromAnsi(message));
        NotifyInPlace(leak, section.CommonAddress, &section.Stack);
      }
      for (const std::size_t r : section.Reported) reported.push_back(rows[r]);
    } catch (...) {
      OutputDebugStringW(L"Error in TrLeaks \"HandleAnyLeak\" section.");
    }
  }
  Done();
  if (leaks::Options().Contains(leaks::loFreeAllLeaks)) leaks::FreeLeaks(reported);
}

}  // namespace tracira
