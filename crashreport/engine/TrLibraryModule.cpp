#include "crashreport/engine/TrLibraryModule.h"

#include "crashreport/engine/TrEngine.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/engine/TrThreads.h"
#include "rtl/Guarded.h"

namespace tracira {

namespace {

struct TProgramExports {
  BOOL(WINAPI* Manager)(const void*, const void*, int, HMODULE) = nullptr;
  void(WINAPI* GeneralRaise)(const void*, const std::type_info*, const void*, ULONG_PTR, int) = nullptr;
};
constinit TProgramExports gProgram;
constinit bool gLibraryModule = false;

int HandlerCode(THandlerKind handler) {
  return handler == THandlerKind::Program ? 0 : handler == THandlerKind::Edge ? 1 : 2;
}

void LibraryOnRaise(TThreadState& state, TRaiseRecord& raise) noexcept {
  // Kept here only so that the terminate handler, which comes after an
  // exception nobody catches, does not pass it on a second time.
  TKeptRaise& kept = state.Kept[state.NextKept];
  state.NextKept = (state.NextKept + 1) % TThreadState::kKept;
  kept.Raise = raise;
  kept.Raise.Notified = raise.Handler == THandlerKind::Terminate;
  gProgram.GeneralRaise(raise.Object, raise.Type, reinterpret_cast<const void*>(raise.Address),
                        raise.StackPointer, HandlerCode(raise.Handler));
}

void LibraryOnRethrow(TThreadState&, const void* object, THandlerKind handler) noexcept {
  gProgram.GeneralRaise(object, nullptr, nullptr, 0, HandlerCode(handler));
}

void LibraryOnEdge() noexcept { gProgram.Manager(CurrentExceptionObject(), nullptr, 1, ThisModule()); }

// Nothing of the library's can catch it, and it cannot unwind into the
// program's frames: the program ends, as it would without a crash reporter.
void LibraryOnUnhandledEnd(bool) { TerminateProcess(GetCurrentProcess(), 1); }

}  // namespace

bool InitLibraryModule(HMODULE library) {
  const HMODULE program = GetModuleHandleW(nullptr);
  const auto find = [program](auto& entry, const char* name) {
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
        reinterpret_cast<void*>(GetProcAddress(program, name)));
  };
  find(gProgram.Manager, "ExceptionManager");
  find(gProgram.GeneralRaise, "TraciraLog_CallGeneralRaise");
  if (!gProgram.Manager || !gProgram.GeneralRaise) return false;  // the program has no crash reporter
  InstallRaiseHooks({LibraryOnRaise, LibraryOnRethrow, LibraryOnUnhandledEnd}, false);
  rtl::SetEdgeHook(LibraryOnEdge);
  ForwardThreadFunctions(library, program);
  gLibraryModule = true;
  return true;
}

void DoneLibraryModule() {
  gLibraryModule = false;
  UnhookThreadFunctions();
  rtl::SetEdgeHook(nullptr);
  RemoveRaiseHooks();
}

bool IsLibraryModule() { return gLibraryModule; }

}  // namespace tracira
