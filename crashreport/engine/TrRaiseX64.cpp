// x86-64: C++ exceptions unwind through SEH (RaiseException with GCC's code,
// a per-function handler __gxx_personality_seh0 whose handler data is the
// function's exception table), not through DWARF tables, so the handler
// search and the test for unwind tables differ from the i686 ones in
// TrRaise.cpp.
//
// The search walks the frames as the system's dispatcher will
// (RtlLookupFunctionEntry, RtlVirtualUnwind) and reads each frame's table as
// the C++ personality routine reads it in its search phase: the call-site
// entry of the frame's instruction, then its catch clauses against the
// thrown type.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "crashreport/engine/TrLsda.h"
#include "crashreport/engine/TrRaiseSearch.h"
#include "rtl/Guarded.h"
#include "rtl/ModuleFile.h"

#if defined(__x86_64__)

extern "C" EXCEPTION_DISPOSITION __gxx_personality_seh0(PEXCEPTION_RECORD, void*, PCONTEXT,
                                                        PDISPATCHER_CONTEXT);

// Each module of the project links its own copy of the C++ personality
// routine; this export names a module's copy, so that the search in one
// module reads the catch clauses of another's frames too (an exception
// crosses between their frames on x86-64).
extern "C" __declspec(dllexport) const void* TrCxxPersonalityRoutine() {
  return reinterpret_cast<const void*>(&__gxx_personality_seh0);
}

namespace tracira {

namespace {

// The exception a search is for.
struct TThrown {
  const std::type_info* Type;
  void* Object;
};

// Does a catch clause for catchType take the thrown exception?
bool Catches(const void* catchType, void* context) {
  const auto& thrown = *static_cast<const TThrown*>(context);
  if (!thrown.Type) return false;
  void* adjusted = thrown.Object;
  // A thrown pointer is matched through the pointer itself.
  if (thrown.Type->__is_pointer_p()) adjusted = *static_cast<void**>(adjusted);
  return static_cast<const std::type_info*>(catchType)->__do_catch(thrown.Type, &adjusted, 1);
}

bool OnStack(std::uintptr_t sp) {
  // The thread's information block (gs:0x30 holds its own address).
  const NT_TIB* tib;
  asm("movq %%gs:0x30, %0" : "=r"(tib));
  return sp >= reinterpret_cast<std::uintptr_t>(tib->StackLimit) &&
         sp < reinterpret_cast<std::uintptr_t>(tib->StackBase);
}

// Is handler the C++ personality routine of another module of the project?
bool IsProjectPersonality(PEXCEPTION_ROUTINE handler) {
  const HMODULE module = rtl::ModuleOfAddress(reinterpret_cast<const void*>(handler));
  if (!module) return false;
  using TNamer = const void* (*)();
  const auto namer =
      reinterpret_cast<TNamer>(reinterpret_cast<void*>(GetProcAddress(module, "TrCxxPersonalityRoutine")));
  return namer && namer() == reinterpret_cast<const void*>(handler);
}

// The search from the caller of FindHandler: context is the state in a
// frame below the thrower's.
THandlerKind SearchFrom(CONTEXT& context, const std::type_info* thrown, void* object) {
  const auto personality = reinterpret_cast<PEXCEPTION_ROUTINE>(&__gxx_personality_seh0);
  // However deep the stack (an overflow's is thousands of frames), the walk
  // ends: each frame lies above the one before, or the walk stops.
  for (DWORD64 below = 0; context.Rip != 0 && context.Rsp > below && OnStack(context.Rsp);) {
    below = context.Rsp;
    DWORD64 imageBase = 0;
    const std::uintptr_t pc = context.Rip;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
    if (!entry) {
      // A leaf function: its return address is on top of the stack.
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    const PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, pc, entry, &context,
                                                        &handlerData, &establisher, nullptr);
    // Frames of other code are passed: the system's handlers don't catch
    // C++ exceptions. A catch clause of another module of the project is
    // the program's own (at that module's edge, its crash reporter hands the
    // exception to this one's ExceptionManager).
    if (!handlerData || (handler != personality && !IsProjectPersonality(handler))) continue;
    const std::uintptr_t functionStart = imageBase + entry->BeginAddress;
    TThrown exception{thrown, object};
    switch (ReadLsda(static_cast<const std::uint8_t*>(handlerData), functionStart, pc, Catches, &exception)) {
      case TLsdaAnswer::None:
        break;
      case TLsdaAnswer::Terminate:
      case TLsdaAnswer::Uncovered:
        return THandlerKind::Terminate;
      case TLsdaAnswer::Catch:
        return reinterpret_cast<const void*>(functionStart) == rtl::CallGuardedAddress()
                   ? THandlerKind::Edge
                   : THandlerKind::Program;
    }
  }
  return THandlerKind::Terminate;
}

}  // namespace

__attribute__((noinline)) THandlerKind Search(_Unwind_Exception* exception) {
  const auto* header = reinterpret_cast<const TCxaException*>(exception + 1) - 1;
  CONTEXT context;
  RtlCaptureContext(&context);
  // The frames from here to the thrower's own are the crash reporter's
  // (the throw hook and FindHandler), which catch nothing.
  return SearchFrom(context, header->exceptionType, const_cast<TCxaException*>(header) + 1);
}

bool UnwindToCaller(CONTEXT& context) {
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
  if (!entry) return false;
  void* handlerData = nullptr;
  DWORD64 establisher = 0;
  RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData, &establisher,
                   nullptr);
  return true;
}

namespace {

// The language handler and its data of a function, from its unwind data.
bool HandlerOf(DWORD64 imageBase, const RUNTIME_FUNCTION& entry, PEXCEPTION_ROUTINE& handler,
               const std::uint8_t*& data) {
  const auto* info = reinterpret_cast<const std::uint8_t*>(imageBase + entry.UnwindData);
  const std::uint8_t flags = info[0] >> 3;
  if (!(flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER)) || (flags & UNW_FLAG_CHAININFO)) return false;
  const std::uint8_t codes = info[2];
  const auto* at = info + 4 + ((codes + 1u) & ~1u) * 2;
  std::uint32_t rva;
  std::memcpy(&rva, at, sizeof rva);
  handler = reinterpret_cast<PEXCEPTION_ROUTINE>(imageBase + rva);
  data = at + sizeof rva;
  return true;
}

// What the raise for an overflow makes of a frame at pc: starts there (its
// exception table covers pc), passes it (nothing to clean up, no table),
// or leaves it and starts in the frame above: inside its prologue (only
// part of the frame is set up) or where its table has no call-site entry.
enum class TOverflowFrame { Start, Pass, Leave };

TOverflowFrame OverflowFrame(DWORD64 imageBase, const RUNTIME_FUNCTION& entry, DWORD64 pc) {
  const auto* info = reinterpret_cast<const std::uint8_t*>(imageBase + entry.UnwindData);
  const DWORD64 start = imageBase + entry.BeginAddress;
  if (!((info[0] >> 3) & UNW_FLAG_CHAININFO) && pc - 1 - start < info[1]) return TOverflowFrame::Leave;
  PEXCEPTION_ROUTINE handler = nullptr;
  const std::uint8_t* lsda = nullptr;
  if (!HandlerOf(imageBase, entry, handler, lsda)) return TOverflowFrame::Pass;
  if (handler != reinterpret_cast<PEXCEPTION_ROUTINE>(&__gxx_personality_seh0)) return TOverflowFrame::Start;
  return ReadLsda(lsda, start, pc, nullptr, nullptr) == TLsdaAnswer::Uncovered ? TOverflowFrame::Leave
                                                                               : TOverflowFrame::Start;
}

}  // namespace

DWORD64 MoveToOverflowRaiseStart(CONTEXT& context) {
  // One byte into the faulting instruction, as a return address is one
  // byte past its call.
  DWORD64 resume = context.Rip + 1;
  DWORD64 pc = resume;
  CONTEXT walk = context;
  for (int depth = 0; depth < 16; ++depth) {
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc - 1, &imageBase, nullptr);
    if (!entry) break;
    const TOverflowFrame frame = OverflowFrame(imageBase, *entry, pc);
    if (frame == TOverflowFrame::Start) break;
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, walk.Rip, entry, &walk, &handlerData, &establisher,
                     nullptr);
    pc = walk.Rip;
    if (frame == TOverflowFrame::Leave) {
      context = walk;
      resume = pc;
    }
  }
  return resume;
}

bool HasUnwindTables(const void* address) {
  // Each module of the project links its own unwinder, and the one of this
  // module unwinds only this module's frames (as on i686, where only this
  // module's DWARF tables are registered with it).
  const HMODULE at = rtl::ModuleOfAddress(address);
  DWORD64 imageBase = 0;
  return at && at == rtl::ModuleOfAddress(reinterpret_cast<const void*>(&HasUnwindTables)) &&
         RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &imageBase, nullptr);
}

}  // namespace tracira

#endif
