#include "crashreport/engine/TrThreads.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <mutex>
#include <shared_mutex>

#include "crashreport/debug/TrStack.h"
#include "crashreport/hook/TrHook.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"

namespace tracira {

namespace {

TTraciraThreadsList* gRegistry = nullptr;
void (*gOnThreadException)() = nullptr;

using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                      LPDWORD);
using TExitThread = void(WINAPI*)(DWORD);
using TResumeThread = DWORD(WINAPI*)(HANDLE);
TCreateThread gRealCreateThread = nullptr;
TExitThread gRealExitThread = nullptr;
TResumeThread gRealResumeThread = nullptr;

// What a new thread needs to enter the registry before its own entry runs.
struct TThreadStart {
  LPTHREAD_START_ROUTINE Entry;
  LPVOID Parameter;
  DWORD CallerID;
  bool RuntimeThread;
  std::vector<std::uint8_t> CallerStack;
};

// The overflow reserve of x86-64 (rtl::HoldOverflowReserve) for a thread
// of the registry, given back before the thread ends: the system frees the
// stack from the bottom it knows.
void HoldOverflowReserve() {
#if defined(__x86_64__)
  rtl::HoldOverflowReserve();
#endif
}
void ReleaseOverflowReserve() {
#if defined(__x86_64__)
  rtl::ReleaseOverflowReserve();
#endif
}

DWORD WINAPI RegisteredThreadEntry(LPVOID p) {
  HoldOverflowReserve();
  std::unique_ptr<TThreadStart> start(static_cast<TThreadStart*>(p));
  if (gRegistry)
    gRegistry->AddCurrentThread(start->CallerID, start->RuntimeThread, std::move(start->CallerStack),
                                reinterpret_cast<const void*>(start->Entry), start->Parameter);
  const LPTHREAD_START_ROUTINE entry = start->Entry;
  const LPVOID parameter = start->Parameter;
  start.reset();
  DWORD result = 1;
  // A C++ exception that escapes the entry is handed to the crash reporter
  // here; the thread then ends with exit code 1.
  rtl::Guarded([&] { result = entry(parameter); },
               [] {
                 if (gOnThreadException) gOnThreadException();
               });
  if (gRegistry) gRegistry->RemoveCurrentThread();
  ReleaseOverflowReserve();
  return result;
}

HANDLE StartRegistered(TCreateThread real, bool runtime, LPSECURITY_ATTRIBUTES sa, SIZE_T stack,
                       LPTHREAD_START_ROUTINE entry, LPVOID parameter, DWORD flags, LPDWORD id) {
  if (!real) real = &CreateThread;
  std::unique_ptr<TThreadStart> start;
  try {
    start = std::make_unique<TThreadStart>(
        TThreadStart{entry, parameter, GetCurrentThreadId(), runtime, CopyCurrentStack()});
  } catch (...) {
    return real(sa, stack, entry, parameter, flags, id);
  }
  HANDLE thread = real(sa, stack, RegisteredThreadEntry, start.get(), flags, id);
  if (thread) start.release();
  return thread;
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                                 LPVOID parameter, DWORD flags, LPDWORD id) {
  return StartRegistered(gRealCreateThread, false, sa, stack, entry, parameter, flags, id);
}

// The runtime's thread start (msvcrt's _beginthreadex, under std::thread).
HANDLE WINAPI HookedRuntimeCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                                        LPVOID parameter, DWORD flags, LPDWORD id) {
  return StartRegistered(gRealCreateThread, true, sa, stack, entry, parameter, flags, id);
}

// A thread started suspended may have had its priority set meanwhile.
DWORD WINAPI HookedResumeThread(HANDLE thread) {
  const DWORD previous = (gRealResumeThread ? gRealResumeThread : &ResumeThread)(thread);
  if (gRegistry && previous == 1) gRegistry->UpdatePriority(GetThreadId(thread), GetThreadPriority(thread));
  return previous;
}

// A software exception raised by the program's own code: raised as a C++
// exception from the call itself, so that it unwinds and is reported like
// any other. Codes that only inform a debugger go their usual way, and so
// do the runtime's own: on x86-64 a C++ throw is itself a RaiseException of
// the unwinder linked into the program (through the same import entry), and
// turning it into a throw would throw again without end.
using TRaiseException = void(WINAPI*)(DWORD, DWORD, DWORD, const ULONG_PTR*);
TRaiseException gRealRaiseException = nullptr;

bool IsRuntimeUnwindCode(DWORD code) {
  // "GCC" in the low bytes: a throw, an unwind to a frame, a forced unwind.
  constexpr DWORD kGccThrow = 0x20474343, kGccUnwind = 0x21474343, kGccForced = 0x22474343;
  return code == kGccThrow || code == kGccUnwind || code == kGccForced;
}

void WINAPI HookedRaiseException(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) {
  constexpr DWORD kThreadName = 0x406D1388, kDebugPrint = 0x40010006, kDebugPrintWide = 0x4001000A;
  if (code == kThreadName || code == kDebugPrint || code == kDebugPrintWide ||
      (code & 0xC0000000) == 0x40000000 || IsRuntimeUnwindCode(code) || !gRegistry) {
    (gRealRaiseException ? gRealRaiseException : &RaiseException)(code, flags, count, arguments);
    return;
  }
  wchar_t text[40];
  swprintf(text, 40, L"External exception %08lX", static_cast<unsigned long>(code));
  throw rtl::EExternalException(text, code, __builtin_return_address(0));
}

void WINAPI HookedExitThread(DWORD code) {
  if (gRegistry) gRegistry->RemoveCurrentThread();
  ReleaseOverflowReserve();
  (gRealExitThread ? gRealExitThread : &ExitThread)(code);
}

struct TPatch {
  HMODULE Module;
  const char* Procedure;
  const void* Replacement;
  void* Previous;
};
// A fixed table, not a vector: Done takes the patches back after every
// ordinary static object, a vector among them, has been destroyed.
constexpr std::size_t kMaxPatches = 64;
constinit TPatch gPatches[kMaxPatches] = {};
constinit std::size_t gPatchCount = 0;

void Patch(HMODULE module, const char* procedure, const void* replacement, void** previous) {
  if (!module) return;
  try {
    if (gPatchCount == kMaxPatches) return;
    void* old = HookDllProcedure(module, "kernel32.dll", procedure, replacement);
    if (!old) return;
    if (previous && !*previous) *previous = old;
    gPatches[gPatchCount++] = {module, procedure, replacement, old};
  } catch (const ETrHookError&) {
    // The thread simply stays out of the registry.
  }
}

}  // namespace

TTraciraThreadsList::TTraciraThreadsList() = default;

TTraciraThreadsList::~TTraciraThreadsList() {
  for (auto& item : fItems)
    if (item->Handle) CloseHandle(item->Handle);
}

void TTraciraThreadsList::AddCurrentThread(DWORD callerID, bool runtimeThread,
                                           std::vector<std::uint8_t> callerStack, const void* entry,
                                           const void* parameter) {
  auto info = std::make_unique<TTraciraThreadInfo>();
  info->ID = GetCurrentThreadId();
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &info->Handle, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  info->CallerID = callerID;
  info->Priority = GetThreadPriority(GetCurrentThread());
  info->TopOfStack = CurrentTopOfStack();
  info->CreateThreadFunction = entry;
  info->Parameter = parameter;
  info->IsRuntimeThread = runtimeThread;
  info->CallerStackDump = std::move(callerStack);
  std::unique_lock lock(fLock);
  fItems.push_back(std::move(info));
}

void TTraciraThreadsList::RemoveCurrentThread() {
  const DWORD id = GetCurrentThreadId();
  std::unique_ptr<TTraciraThreadInfo> gone;
  {
    std::unique_lock lock(fLock);
    const auto it = std::find_if(fItems.begin(), fItems.end(), [id](const auto& i) { return i->ID == id; });
    if (it != fItems.end()) {
      gone = std::move(*it);
      fItems.erase(it);
    }
  }
  if (gone && gone->Handle) CloseHandle(gone->Handle);
}

void TTraciraThreadsList::PurgeList() {
  std::vector<std::unique_ptr<TTraciraThreadInfo>> gone;
  {
    std::unique_lock lock(fLock);
    for (auto it = fItems.begin(); it != fItems.end();) {
      DWORD code = 0;
      if ((*it)->Handle && GetExitCodeThread((*it)->Handle, &code) && code != STILL_ACTIVE) {
        gone.push_back(std::move(*it));
        it = fItems.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& g : gone)
    if (g->Handle) CloseHandle(g->Handle);
}

std::vector<TTraciraThreadInfo> TTraciraThreadsList::Snapshot() {
  std::vector<TTraciraThreadInfo> copy;
  std::shared_lock lock(fLock);
  copy.reserve(fItems.size());
  for (const auto& item : fItems) {
    TTraciraThreadInfo& c = copy.emplace_back(*item);
    c.IsACopy = true;
    c.Handle = nullptr;
    HANDLE own = nullptr;
    if (item->Handle && DuplicateHandle(GetCurrentProcess(), item->Handle, GetCurrentProcess(), &own, 0,
                                        FALSE, DUPLICATE_SAME_ACCESS)) {
      c.Handle = own;
      c.HandleOwner = std::shared_ptr<void>(own, CloseHandle);
    }
  }
  return copy;
}

void TTraciraThreadsList::UpdatePriority(DWORD id, int priority) {
  std::unique_lock lock(fLock);
  for (auto& item : fItems)
    if (item->ID == id) item->Priority = priority;
}

bool TTraciraThreadsList::Contains(DWORD id) {
  std::shared_lock lock(fLock);
  return std::any_of(fItems.begin(), fItems.end(), [id](const auto& i) { return i->ID == id; });
}

void HookThreadFunctions(TTraciraThreadsList& registry, void (*onThreadException)()) {
  gRegistry = &registry;
  gOnThreadException = onThreadException;
  HMODULE program = GetModuleHandleW(nullptr);
  HMODULE runtime = GetModuleHandleW(L"msvcrt.dll");
  Patch(program, "CreateThread", reinterpret_cast<const void*>(&HookedCreateThread),
        reinterpret_cast<void**>(&gRealCreateThread));
  Patch(runtime, "CreateThread", reinterpret_cast<const void*>(&HookedRuntimeCreateThread),
        reinterpret_cast<void**>(&gRealCreateThread));
  Patch(program, "ResumeThread", reinterpret_cast<const void*>(&HookedResumeThread),
        reinterpret_cast<void**>(&gRealResumeThread));
  Patch(runtime, "ResumeThread", reinterpret_cast<const void*>(&HookedResumeThread),
        reinterpret_cast<void**>(&gRealResumeThread));
  Patch(program, "RaiseException", reinterpret_cast<const void*>(&HookedRaiseException),
        reinterpret_cast<void**>(&gRealRaiseException));
  Patch(program, "ExitThread", reinterpret_cast<const void*>(&HookedExitThread),
        reinterpret_cast<void**>(&gRealExitThread));
  Patch(runtime, "ExitThread", reinterpret_cast<const void*>(&HookedExitThread),
        reinterpret_cast<void**>(&gRealExitThread));
}

HANDLE CreateRegisteredThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                              LPVOID parameter, DWORD flags, LPDWORD id) {
  return StartRegistered(gRealCreateThread, false, sa, stack, entry, parameter, flags, id);
}

DWORD ResumeRegisteredThread(HANDLE thread) { return HookedResumeThread(thread); }

void ExitRegisteredThread(DWORD code) {
  HookedExitThread(code);
  __builtin_unreachable();  // ExitThread does not return
}

HANDLE CreateUnregisteredThread(LPTHREAD_START_ROUTINE entry, LPVOID parameter) {
  // The import entry itself may be patched: the saved original is taken.
  const TCreateThread create = gRealCreateThread ? gRealCreateThread : &CreateThread;
  return create(nullptr, 0, entry, parameter, 0, nullptr);
}

void ForwardThreadFunctions(HMODULE library, HMODULE program) {
  static constexpr const char* kForwarded[][2] = {{"CreateThread", "TraciraLog_CallCreateThread"},
                                                  {"ResumeThread", "TraciraLog_CallResumeThread"},
                                                  {"ExitThread", "TraciraLog_CallExitThread"}};
  for (const auto& [procedure, exportName] : kForwarded)
    if (const FARPROC target = GetProcAddress(program, exportName))
      Patch(library, procedure, reinterpret_cast<const void*>(target), nullptr);
}

void UnhookThreadFunctions() {
  while (gPatchCount > 0) {
    const TPatch& patch = gPatches[--gPatchCount];
    try {
      HookDllProcedure(patch.Module, "kernel32.dll", patch.Procedure, patch.Previous);
    } catch (const ETrHookError&) {
    }
  }
  gRegistry = nullptr;
  gOnThreadException = nullptr;
}

}  // namespace tracira
