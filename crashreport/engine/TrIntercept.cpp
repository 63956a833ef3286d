#include "crashreport/engine/TrIntercept.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "crashreport/debug/TrDebugWin.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/TrExceptionObject.h"
#include "crashreport/engine/TrHandling.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/hook/TrHook.h"
#include "rtl/Guarded.h"

#if defined(__i386__)
#define TR_THISCALL __attribute__((thiscall))
#else
#define TR_THISCALL
#endif

namespace tracira {

namespace {

bool CatchHandled() {
  return gInstalled && gEngine->Options->BehaviourOptions().Contains(boCatchHandledExceptions);
}

// Keeps a raise in its thread's state with a copy of its stack: whoever
// catches it first may clean up and raise it again, and the report is made
// where it finally lands.
TKeptRaise& Keep(TThreadState& state, const TRaiseRecord& raise) {
  const int index = state.NextKept;
  TKeptRaise& kept = state.Kept[index];
  state.NextKept = (state.NextKept + 1) % TThreadState::kKept;
  kept.Raise = raise;
  kept.Raise.Notified = false;
  kept.Raise.Answer = true;
  if (raise.HasContext) {
    kept.Context = state.Context;
    kept.SystemRecord = state.Record;
  }
  kept.HasFrame = raise.Frame != nullptr;
  if (raise.Frame) kept.Frame = *raise.Frame;
  kept.Raise.Frame = nullptr;
  kept.Stack = nullptr;
  kept.StackSize = 0;
  const std::uintptr_t top = CurrentTopOfStack();
  if (raise.StackPointer == 0 || raise.StackPointer >= top) return kept;
  std::uint8_t* buffer = KeptStackBuffer(state, index);
  if (!buffer) return kept;
  const auto size = static_cast<std::uint32_t>(
      std::min<std::uintptr_t>({top - raise.StackPointer, kMaxStackScan, kKeptStackSize}));
  // The thread's own stack between its stack pointer and its base is
  // committed memory.
  std::memcpy(buffer, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(raise.StackPointer)), size);
  kept.Stack = buffer;
  kept.StackSize = size;
  return kept;
}

// The handling of one kept raise.
void GoNotify(TThreadState& state, TKeptRaise& kept) noexcept {
  if (InterlockedExchange(&state.InGoNotify, 1) != 0) return;
  const DWORD lastError = GetLastError();
  TRaiseRecord& raise = kept.Raise;
  raise.Notified = true;
  raise.Answer = true;
  try {
    // Any thrown object can be reported by its type (a "throw 42;" too); a
    // raise without one only with a system exception's context.
    const bool manageable = raise.Type ? raise.Object != nullptr : raise.HasContext;
    if (gInstalled && gActive && manageable && ActiveInThread(*gEngine, GetCurrentThreadId())) {
      TNotifyParams p;
      p.Handled = raise.Handler == THandlerKind::Program;
      p.Stack = kept.StackCopy();
      p.Context = raise.HasContext ? &kept.Context : nullptr;
      p.Record = raise.HasContext ? &kept.SystemRecord : nullptr;
      p.Frame = kept.HasFrame ? &kept.Frame : nullptr;
      p.TopOfStack = CurrentTopOfStack();
      p.StackPoint = raise.StackPointer;
      p.ThreadID = GetCurrentThreadId();
      p.Address = raise.Address;
      p.Object = raise.Object;
      p.Type = raise.Type;
      raise.Answer = ExceptNotify(state, p);
    }
  } catch (...) {
    // Nothing may leave the raise hook.
  }
  SetLastError(lastError);
  InterlockedExchange(&state.InGoNotify, 0);
}

// Every raise comes here before the stack unwinds. One that the program's
// own code catches is not reported (unless the options ask for those too);
// one that goes to the edge of the program's handling is reported there,
// after the frames in between have run their clean-up (a window's handler
// refreshes its fields before the crash reporter shows anything); one that
// nobody catches is reported now, while the program still stands.
void OnRaise(TThreadState& state, TRaiseRecord& raise) noexcept {
  TKeptRaise& kept = Keep(state, raise);
  if (raise.Handler == THandlerKind::Edge) return;
  if (raise.Handler == THandlerKind::Program && !CatchHandled()) return;
  GoNotify(state, kept);
}

// A catch clause raised its exception again: its way goes on.
void OnRethrow(TThreadState& state, const void* object, THandlerKind handler) noexcept {
  TKeptRaise* kept = state.FindKept(object);
  if (!kept || kept->Raise.Notified) return;
  kept->Raise.Handler = handler;
  if (handler == THandlerKind::Terminate) GoNotify(state, *kept);
}

// The exception being caught at an edge (rtl::CallGuarded).
void OnEdge() noexcept {
  TThreadState* state = CurrentThreadState();
  if (!state || !gInstalled) return;
  TKeptRaise* kept = state->FindKept(CurrentExceptionObject());
  if (!kept || kept->Raise.Notified) return;
  kept->Raise.Handler = THandlerKind::Edge;
  GoNotify(*state, *kept);
}

// A thread (or the whole program) ends by an exception nobody caught.
void OnUnhandledEnd(bool mainThread) {
  if (gEngine.Get() && gEngine->TerminateRequested)
    KillApplication(*gEngine, gEngine->Options->TerminateBtnOperation());
  if (mainThread) KillApplication(*gEngine, tbTerminate);
  ExitThread(1);
}

// What escapes a registered thread's entry.
void OnThreadException() { ExceptionManager(nullptr, nullptr, 0, nullptr); }

// ---------------------------------------------------------------------------
// The GUI library's exception handling

using THandleExceptionProc = void(TR_THISCALL*)(void* self, void* sender);
using TShowExceptionProc = void(TR_THISCALL*)(void* self, const std::exception& e);

void TR_THISCALL Hooked_VCLHandleException(void* self, void* sender) {
  if (ExceptionManager(nullptr, nullptr, 1, nullptr))
    reinterpret_cast<THandleExceptionProc>(gEngine->HandleExceptionTrampoline)(self, sender);
}

void TR_THISCALL Hooked_VCLShowException(void* self, const std::exception& error) {
  const void* current = CurrentExceptionObject();
  if (ExceptionManager(current ? current : &error, nullptr, 1, nullptr))
    reinterpret_cast<TShowExceptionProc>(gEngine->ShowExceptionTrampoline)(self, error);
}

void Hook_OnExceptionEvents(TEngine& e) {
  if (void* target = GetSymbolAddr(VCL1_ID)) {
    e.HandleExceptionTrampoline =
        HookProcedureEx(target, reinterpret_cast<const void*>(&Hooked_VCLHandleException),
                        L"gui::Application::HandleException");
    e.HandleExceptionTarget = target;
  }
  if (void* target = GetSymbolAddr(VCL2_ID)) {
    e.ShowExceptionTrampoline = HookProcedureEx(
        target, reinterpret_cast<const void*>(&Hooked_VCLShowException), L"gui::Application::ShowException");
    e.ShowExceptionTarget = target;
  }
}

}  // namespace

bool ActiveInThread(TEngine& e, DWORD id) {
  std::lock_guard lock(e.ThreadsOffLock);
  return std::find(e.ThreadsOff.begin(), e.ThreadsOff.end(), id) == e.ThreadsOff.end();
}

void InstallInterception(TEngine& e) {
  InstallRaiseHooks({OnRaise, OnRethrow, OnUnhandledEnd});
  rtl::SetEdgeHook(OnEdge);
  HookThreadFunctions(e.Threads, OnThreadException);
  try {
    Hook_OnExceptionEvents(e);
  } catch (const ETrHookError& error) {
    SetInternalError(e, eeNone, MessageOf(&error), 0);
  }
}

void RemoveInterception(TEngine& e) {
  if (e.ShowExceptionTarget) UnhookProcedure(e.ShowExceptionTarget);
  if (e.HandleExceptionTarget) UnhookProcedure(e.HandleExceptionTarget);
  UnhookThreadFunctions();
  rtl::SetEdgeHook(nullptr);
  RemoveRaiseHooks();
}

}  // namespace tracira

using namespace tracira;

extern "C" BOOL WINAPI ExceptionManager(const void* exceptionObject, const void* exceptionAddress, int,
                                        HMODULE) {
  if (!gInstalled || !gActive) return TRUE;
  TThreadState* state = CurrentThreadState();
  if (!state) return TRUE;
  const std::type_info* type = nullptr;
  const void* current = CurrentExceptionObject(&type);
  const void* object = exceptionObject ? exceptionObject : current;
  if (object != current) type = nullptr;
  // Kept from its raise: reported now if the edge did not do it yet, and
  // the same answer every time it is asked.
  if (TKeptRaise* kept = state->FindKept(object)) {
    if (!kept->Raise.Notified) {
      kept->Raise.Handler = THandlerKind::Edge;
      GoNotify(*state, *kept);
    }
    return kept->Raise.Answer;
  }
  // A second exception inside a handling is not reported.
  if (state->InHandling || state->InGoNotify) return FALSE;
  if (!object) return TRUE;
  // Not seen at its raise (raised before the hooks, or raised again): its
  // stack is read from here.
  TRaiseRecord raise;
  raise.Object = object;
  raise.Type = type;
  raise.Address = exceptionAddress ? ToAddress(exceptionAddress) : ToAddress(__builtin_return_address(0));
  raise.StackPointer = ToAddress(__builtin_dwarf_cfa());
  raise.Handler = THandlerKind::Edge;
  TKeptRaise& kept = Keep(*state, raise);
  GoNotify(*state, kept);
  return kept.Raise.Answer;
}

// ---------------------------------------------------------------------------
// The program file's exports for the crash reporters of other modules of
// the process: their threads and raises.

extern "C" {

__declspec(dllexport) HANDLE WINAPI
    TraciraLog_CallCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                                LPVOID parameter, DWORD flags, LPDWORD id) {
  return CreateRegisteredThread(sa, stack, entry, parameter, flags, id);
}

__declspec(dllexport) DWORD WINAPI TraciraLog_CallResumeThread(HANDLE thread) {
  return ResumeRegisteredThread(thread);
}

__declspec(dllexport) void WINAPI TraciraLog_CallExitThread(DWORD code) { ExitRegisteredThread(code); }

// A raise in another module: the thrown object, its type, the raising
// instruction and stack pointer, and who catches it (0 the module's own
// code, 1 the edge of its handling, 2 nobody). A caught exception raised
// again there ("throw;") comes without type, address and stack pointer.
__declspec(dllexport) void WINAPI
    TraciraLog_CallGeneralRaise(const void* object, const std::type_info* type, const void* address,
                                ULONG_PTR stackPointer, int handler) {
  TThreadState* state = CurrentThreadState();
  if (!state || state->InHandling || !gInstalled) return;
  const THandlerKind kind = handler == 0   ? THandlerKind::Program
                            : handler == 1 ? THandlerKind::Edge
                                           : THandlerKind::Terminate;
  if (!type && !address && stackPointer == 0) {
    OnRethrow(*state, object, kind);
    return;
  }
  TRaiseRecord raise;
  raise.Object = object;
  raise.Type = type;
  raise.Address = ToAddress(address);
  raise.StackPointer = stackPointer;
  raise.Handler = kind;
  OnRaise(*state, raise);
}

// A system exception of another module that nobody there handles.
__declspec(dllexport) void WINAPI TraciraLog_CallExceptObject(EXCEPTION_POINTERS* info) {
  TThreadState* state = CurrentThreadState();
  if (!state || state->InHandling || !gInstalled || !info) return;
  TRaiseRecord raise = UnhandledSystemRaise(*state, *info);
  OnRaise(*state, raise);
}

}  // extern "C"
