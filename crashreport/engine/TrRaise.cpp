#include "crashreport/engine/TrRaise.h"

#include <cxxabi.h>
#include <unwind.h>

#include <exception>

#include "crashreport/core/TrTypes.h"
#include "crashreport/engine/TrLsda.h"
#include "crashreport/engine/TrRaiseSearch.h"
#include "crashreport/hook/TrHook.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"
#include "rtl/ModuleFile.h"

extern "C" {
#if defined(__i386__)
_Unwind_Reason_Code __gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class, _Unwind_Exception*,
                                         _Unwind_Context*);
const void* _Unwind_Find_FDE(void* pc, struct dwarf_eh_bases* bases);
[[noreturn]] void TrRaiseStackOverflow();
void TrOverflowTrampoline();
#endif
void* __cxa_init_primary_exception(void*, std::type_info*, void (*)(void*)) noexcept;
[[noreturn]] void __real___cxa_throw(void*, std::type_info*, void (*)(void*));
[[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*));
[[noreturn]] void __real___cxa_rethrow();
[[noreturn]] void __wrap___cxa_rethrow();
[[noreturn]] void __wrap___cxa_pure_virtual();
}

#if defined(__i386__)
// Holds the FDE lookup's answer; only its existence is used.
struct dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
#endif

namespace tracira {

namespace {

constexpr std::size_t kThreadSlots = 512;
constinit TThreadState gThreads[kThreadSlots];
constinit DWORD gTlsIndex = TLS_OUT_OF_INDEXES;
constinit DWORD gMainThreadID = 0;

constinit TRaiseHooks gHooks;
PVOID gVectoredHandler = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER gOldFilter = nullptr;
bool gProcessWide = false;  // the program's hooks, not a library module's
std::terminate_handler gOldTerminate = nullptr;
volatile bool gInstalled = false;

bool ThreadAlive(DWORD id) {
  HANDLE h = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (!h) return false;
  DWORD code = 0;
  const bool alive = GetExitCodeThread(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return alive;
}

TThreadState* ClaimSlot(DWORD id) {
  for (int pass = 0; pass < 2; ++pass) {
    for (TThreadState& s : gThreads) {
      const DWORD owner = s.ThreadID;
      // The second pass takes over the slots of threads that have ended.
      if (owner != 0 && (pass == 0 || owner == id || ThreadAlive(owner))) continue;
      if (InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&s.ThreadID), static_cast<LONG>(id),
                                     static_cast<LONG>(owner)) == static_cast<LONG>(owner)) {
        s.InGoNotify = 0;
        s.InHandling = false;
        s.PendingContext = false;
        s.InRaiseHook = false;
        for (TKeptRaise& k : s.Kept) k.Raise = TRaiseRecord{};
        s.NextKept = 0;
        return &s;
      }
    }
  }
  return nullptr;
}

std::uintptr_t ToAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// ---------------------------------------------------------------------------
// The handler search (DWARF unwinding; x86-64's SEH form is TrRaiseX64.cpp)

#if defined(__i386__)
struct TSearch {
  _Unwind_Exception* Exception;
  THandlerKind Result = THandlerKind::Terminate;
};

_Unwind_Reason_Code SearchFrame(_Unwind_Context* context, void* arg) {
  auto* search = static_cast<TSearch*>(arg);
  if (!_Unwind_GetLanguageSpecificData(context)) return _URC_NO_REASON;
  const _Unwind_Reason_Code found = __gxx_personality_v0(
      1, _UA_SEARCH_PHASE, search->Exception->exception_class, search->Exception, context);
  if (found != _URC_HANDLER_FOUND) return _URC_NO_REASON;
  const auto* header = reinterpret_cast<TCxaException*>(search->Exception + 1) - 1;
  // A positive switch value is a catch clause; zero or negative is the
  // terminate call of a noexcept function, or a throw list the exception breaks.
  if (header->handlerSwitchValue <= 0) {
    search->Result = THandlerKind::Terminate;
  } else if (reinterpret_cast<const void*>(_Unwind_GetRegionStart(context)) == rtl::CallGuardedAddress()) {
    search->Result = THandlerKind::Edge;
  } else {
    search->Result = THandlerKind::Program;
  }
  return _URC_END_OF_STACK;
}
#endif

// ---------------------------------------------------------------------------
// System exceptions

std::wstring ModuleNameOf(std::uintptr_t address) {
  const HMODULE module = rtl::ModuleOfAddress(reinterpret_cast<const void*>(address));
  if (!module) return {};
  const std::wstring path = rtl::ModuleFileName(module);
  return path.substr(path.find_last_of(L"\\/") + 1);
}

// Raised in place of the faulting instruction: the vectored handler makes
// the thread call this as if from there, so the stack unwinds from the
// faulting frame with its destructors and catch clauses.
[[noreturn]] __attribute__((noinline)) void RaiseSystemException() {
  const EXCEPTION_RECORD& record = CurrentThreadState()->Record;
  const DWORD code = record.ExceptionCode;
  const void* address = record.ExceptionAddress;
  std::wstring message = DescribeSystemException(record).Message;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      throw rtl::EAccessViolation(std::move(message), code, address);
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      throw rtl::EDivByZero(std::move(message), code, address);
    case EXCEPTION_INT_OVERFLOW:
      throw rtl::EIntOverflow(std::move(message), code, address);
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      throw rtl::EZeroDivide(std::move(message), code, address);
    case EXCEPTION_FLT_OVERFLOW:
      throw rtl::EOverflow(std::move(message), code, address);
    case EXCEPTION_FLT_UNDERFLOW:
      throw rtl::EUnderflow(std::move(message), code, address);
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
      throw rtl::EInvalidOp(std::move(message), code, address);
    case EXCEPTION_PRIV_INSTRUCTION:
      throw rtl::EPrivilege(std::move(message), code, address);
    case EXCEPTION_STACK_OVERFLOW:
      throw rtl::EStackOverflow(std::move(message), code, address);
    default:
      throw rtl::EExternalException(std::move(message), code, address);
  }
}

}  // namespace

#if defined(__x86_64__)
// Where the vectored handler makes the thread go, as if the faulting
// instruction had called it. The faulting function may be a leaf without a
// frame of its own, whose stack pointer is then off the 16-byte alignment
// that compiled code takes for granted at a call (RtlCaptureContext's
// fxsave faults on it): the entry realigns the stack below a frame pointer,
// so that the unwinder steps back over it to the faulting frame.
extern "C" [[noreturn]] void TrRaiseSystemExceptionEntry();
extern "C" [[noreturn]] __attribute__((used)) void TrRaiseSystemExceptionAligned() { RaiseSystemException(); }
asm(R"(
  .text
  .globl TrRaiseSystemExceptionEntry
  .def TrRaiseSystemExceptionEntry; .scl 2; .type 32; .endef
  .seh_proc TrRaiseSystemExceptionEntry
TrRaiseSystemExceptionEntry:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  andq $-16, %rsp
  subq $32, %rsp
  call TrRaiseSystemExceptionAligned
  int3
  .seh_endproc
)");
#endif

#if defined(__i386__)
// Code compiled by this project, with unwind tables: only there can an
// exception start from any instruction. Elsewhere (the system, another
// component) the system's own handling goes on.
bool HasUnwindTables(const void* address) {
  dwarf_eh_bases bases{};
  return _Unwind_Find_FDE(const_cast<void*>(address), &bases) != nullptr;
}
#endif

namespace {

// ---------------------------------------------------------------------------
// Stack overflow
//
// The overflow leaves the thread a few kilobytes of stack: too little to
// search for a handler, let alone to report.
//
// On i686 the exception is raised from a stack of the thread's own instead,
// through a trampoline whose unwind tables lead the unwinder back to the
// overflowing frame on the thread's stack; the handler search, the report
// of an exception nobody catches and the raise run on the overflow stack,
// while the clean-up and the catch clause run on the thread's stack where
// they belong.
//
// On x86-64 the system's dispatcher takes only frames on the thread's own
// stack, in order: the thread's stack holds a reserve back from the system
// instead (rtl::HoldOverflowReserve, from the start of the program and of
// each registered thread), so that the overflow comes early, and the
// exception is raised in place once the reserve is given back.

#if defined(__i386__)
constexpr std::size_t kOverflowStackSize = 256 * 1024;

std::uint8_t* OverflowStackOf(TThreadState& state) {
  if (!state.OverflowStack)
    state.OverflowStack = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, kOverflowStackSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  return state.OverflowStack;
}

// The overflowing frame's registers, as the trampoline's unwind tables read
// them (offsets 0, 4, 8, ... from its stack pointer).
struct TOverflowFrame {
  std::uint32_t ReturnAddress;  // one byte into the instruction the unwinder starts from
  std::uint32_t StackPointer;
  std::uint32_t Ebp, Ebx, Esi, Edi;
};

// CFA = [esp + 4]; eip at [esp]; ebp, ebx, esi, edi at [esp + 8 ...]
// (DWARF registers: 3 ebx, 4 esp, 5 ebp, 6 esi, 7 edi, 8 eip).
asm(R"(
  .text
  .globl _TrOverflowTrampoline
  .def _TrOverflowTrampoline; .scl 2; .type 32; .endef
_TrOverflowTrampoline:
  .cfi_startproc
  .cfi_escape 0x0f,0x03,0x74,0x04,0x06
  .cfi_escape 0x10,0x08,0x02,0x74,0x00
  .cfi_escape 0x10,0x05,0x02,0x74,0x08
  .cfi_escape 0x10,0x03,0x02,0x74,0x0c
  .cfi_escape 0x10,0x06,0x02,0x74,0x10
  .cfi_escape 0x10,0x07,0x02,0x74,0x14
  call _TrRaiseStackOverflow
  ud2
  .cfi_endproc
)");

// Where the raise starts from. An overflow mostly hits a prologue, before
// the function has anything to clean up and where its call-site table has
// no entry (the unwinder would end the program there): such a frame, and
// the frames without tables below it (a stack probe), are left out and the
// raise starts at the call in the frame above.
struct TStartFrame {
  TOverflowFrame* Frame;
  int Index = 0;
  bool Skip = false;
  bool Done = false;
};

_Unwind_Reason_Code FindStartFrame(_Unwind_Context* context, void* arg) {
  auto* find = static_cast<TStartFrame*>(arg);
  // 0: this walk's caller, 1: the trampoline, 2: the overflowing frame.
  if (find->Index++ < 2) return _URC_NO_REASON;
  if (find->Skip) {
    TOverflowFrame& f = *find->Frame;
    f.ReturnAddress = static_cast<std::uint32_t>(_Unwind_GetIP(context));
    f.Ebp = static_cast<std::uint32_t>(_Unwind_GetGR(context, 5));
    f.Ebx = static_cast<std::uint32_t>(_Unwind_GetGR(context, 3));
    f.Esi = static_cast<std::uint32_t>(_Unwind_GetGR(context, 6));
    f.Edi = static_cast<std::uint32_t>(_Unwind_GetGR(context, 7));
    return _URC_END_OF_STACK;
  }
  const auto* lsda = static_cast<const std::uint8_t*>(_Unwind_GetLanguageSpecificData(context));
  if (!lsda) return _URC_NO_REASON;
  if (ReadLsda(lsda, _Unwind_GetRegionStart(context), _Unwind_GetIP(context), nullptr, nullptr) !=
      TLsdaAnswer::Uncovered)
    return _URC_END_OF_STACK;
  find->Skip = true;
  find->Frame->StackPointer = static_cast<std::uint32_t>(_Unwind_GetCFA(context));
  return _URC_NO_REASON;
}
#endif

// A stack overflow where the thread cannot go on (code without unwind
// tables): reported from the overflow stack, then the process ends.
void HandleStackOverflow(TThreadState* state) {
  TRaiseRecord raise;
  raise.Address = ToAddress(state->Record.ExceptionAddress);
  raise.StackPointer = StackPointerOf(state->Context);
  raise.HasContext = true;
  raise.Handler = THandlerKind::Terminate;
  if (gHooks.OnRaise) gHooks.OnRaise(*state, raise);
  if (gHooks.OnUnhandledEnd) gHooks.OnUnhandledEnd(GetCurrentThreadId() == gMainThreadID);
  TerminateProcess(GetCurrentProcess(), 1);
}

#if defined(__i386__)
[[noreturn]] void RunOnStack(std::uint8_t* stack, void (*fn)(TThreadState*), TThreadState* arg) {
  void* top = stack + kOverflowStackSize - 16;
  asm volatile(
      "movl %0, %%esp\n\t"
      "pushl %2\n\t"
      "call *%1\n\t"
      :
      : "r"(top), "r"(fn), "r"(arg)
      : "memory");
  __builtin_unreachable();
}
#endif

// Did the thread fail to fetch the instruction it was sent to, by a call
// from code with unwind tables?
bool IsCallToNowhere(const EXCEPTION_RECORD& record, const CONTEXT& c) {
#if defined(__i386__)
  const std::uintptr_t pc = c.Eip;
#else
  const std::uintptr_t pc = c.Rip;
#endif
  if (record.ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record.NumberParameters < 2 ||
      record.ExceptionInformation[1] != pc)
    return false;
  // The top of the thread's own stack is readable.
  const std::uintptr_t returnAddress = *reinterpret_cast<const std::uintptr_t*>(StackPointerOf(c));
  return returnAddress != 0 && HasUnwindTables(reinterpret_cast<const void*>(returnAddress - 1));
}

LONG CALLBACK VectoredHandler(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!gInstalled || !(IsConvertedExceptionCode(code) || code == EXCEPTION_STACK_OVERFLOW))
    return EXCEPTION_CONTINUE_SEARCH;
#if defined(__x86_64__)
  // Before anything else: only the reserve leaves room to go on with. The
  // reserve is the program's crash reporter's to give back (a library
  // module's handler, called first, leaves the overflow alone).
  if (code == EXCEPTION_STACK_OVERFLOW && (!gProcessWide || !rtl::ReleaseOverflowReserve()))
    return EXCEPTION_CONTINUE_SEARCH;
#endif
  // A thread inside a handling (the handling thread, or the raising thread
  // running the program's event handlers and windows while it waits) gets
  // its fault converted too: the exception unwinds to the handling's own
  // catch, which records an internal error, or to the catch around the
  // handler or window procedure, which swallows it. Either way the handling
  // ends as it should, with its paused threads resumed.
  TThreadState* state = CurrentThreadState();
  if (!state) return EXCEPTION_CONTINUE_SEARCH;
  const bool unwinds = HasUnwindTables(info->ExceptionRecord->ExceptionAddress);
  CONTEXT& c = *info->ContextRecord;
  // A call through a null (or wild) function pointer faults where it went,
  // at an address without code or tables: raised from the call instead,
  // whose return address is on top of the stack.
  const bool calledNowhere = !unwinds && IsCallToNowhere(*info->ExceptionRecord, c);
  // An overflow in code without tables is the program's to report.
  if (!unwinds && !calledNowhere && (code != EXCEPTION_STACK_OVERFLOW || !gProcessWide))
    return EXCEPTION_CONTINUE_SEARCH;
  state->Context = *info->ContextRecord;
  state->Record = *info->ExceptionRecord;
  if (calledNowhere) {
    state->PendingContext = true;
#if defined(__i386__)
    c.Eip = ToAddress(reinterpret_cast<const void*>(&RaiseSystemException));
#else
    c.Rip = reinterpret_cast<DWORD64>(&TrRaiseSystemExceptionEntry);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (code == EXCEPTION_STACK_OVERFLOW) {
#if defined(__x86_64__)
    // The reserve is the thread's stack to raise the exception from, or to
    // report it where nothing can be unwound.
    if (!unwinds) HandleStackOverflow(state);
    state->PendingContext = true;
    const DWORD64 resume = MoveToOverflowRaiseStart(c);
    c.Rsp -= 8;
    *reinterpret_cast<DWORD64*>(c.Rsp) = resume;
    c.Rip = reinterpret_cast<DWORD64>(&TrRaiseSystemExceptionEntry);
    return EXCEPTION_CONTINUE_EXECUTION;
#else
    std::uint8_t* stack = OverflowStackOf(*state);
    if (!stack) return EXCEPTION_CONTINUE_SEARCH;
    if (unwinds) {
      auto* frame = reinterpret_cast<TOverflowFrame*>(
          (reinterpret_cast<std::uintptr_t>(stack + kOverflowStackSize) - 64) & ~std::uintptr_t{15});
      *frame = TOverflowFrame{c.Eip + 1, c.Esp, c.Ebp, c.Ebx, c.Esi, c.Edi};
      state->OverflowFrame = frame;
      state->PendingContext = true;
      c.Esp = ToAddress(frame);
      c.Eip = ToAddress(reinterpret_cast<const void*>(&TrOverflowTrampoline));
      return EXCEPTION_CONTINUE_EXECUTION;
    }
    // Nothing to unwind from, and no stack left for the system's handling.
    RunOnStack(stack, HandleStackOverflow, state);
#endif
  }
  state->PendingContext = true;
#if defined(__i386__)
  // A call from the faulting instruction: the return address points one
  // byte into it, so the unwinder finds the faulting instruction's frame
  // state and its call-site entry.
  c.Esp -= 4;
  *reinterpret_cast<DWORD*>(c.Esp) = c.Eip + 1;
  c.Eip = ToAddress(reinterpret_cast<const void*>(&RaiseSystemException));
#else
  c.Rsp -= 8;
  *reinterpret_cast<DWORD64*>(c.Rsp) = c.Rip + 1;
  c.Rip = reinterpret_cast<DWORD64>(&TrRaiseSystemExceptionEntry);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* info) {
  // A C++ throw that nobody catches, where throws go through SEH: the
  // throw returns (as the C runtime's own filter lets it), and the program
  // ends by the terminate handler, which reports it.
  if (IsGccThrowCode(info->ExceptionRecord->ExceptionCode) &&
      !(info->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE))
    return EXCEPTION_CONTINUE_EXECUTION;
  TThreadState* state = CurrentThreadState();
  if (state && !state->InHandling && gHooks.OnRaise) {
    TRaiseRecord raise = UnhandledSystemRaise(*state, *info);
    gHooks.OnRaise(*state, raise);
  }
  if (gHooks.OnUnhandledEnd) gHooks.OnUnhandledEnd(GetCurrentThreadId() == gMainThreadID);
  return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) void OnTerminate() {
  TThreadState* state = CurrentThreadState();
  const std::type_info* type = nullptr;
  const void* object = CurrentExceptionObject(&type);
  const TKeptRaise* kept = state ? state->FindKept(object) : nullptr;
  if (state && !state->InHandling && gHooks.OnRaise && !(kept && kept->Raise.Notified)) {
    TRaiseRecord raise;
    raise.Object = object;
    raise.Type = type;
    raise.Address = ToAddress(__builtin_return_address(0));
    raise.StackPointer = ToAddress(__builtin_dwarf_cfa());
    raise.Handler = THandlerKind::Terminate;
    gHooks.OnRaise(*state, raise);
  }
  if (gHooks.OnUnhandledEnd) gHooks.OnUnhandledEnd(GetCurrentThreadId() == gMainThreadID);
  TerminateProcess(GetCurrentProcess(), 1);
}

// ---------------------------------------------------------------------------
// The runtimes' own ends
//
// abort(), a failed assertion, a C runtime function given an invalid
// parameter and a pure virtual call raise no exception: the runtime ends the
// program (on Windows its invalid-parameter report ends it without any
// handler running; under Wine's msvcrt the function only fails). Each is
// reported as a system exception of a code of its own, raised at the call
// that led there, and then the program ends as after an exception nobody
// caught: abort, the assertion and the invalid parameter end the whole
// program, as the runtime would; the pure virtual call goes to
// std::terminate in the C++ runtime, so it ends as a terminate does.

constexpr DWORD kAbortCode = 0x40000015;             // STATUS_FATAL_APP_EXIT: what abort() ends with
constexpr DWORD kInvalidParameterCode = 0xC0000417;  // STATUS_INVALID_CRUNTIME_PARAMETER
// The crash reporter's own (the customer bit set: no system code).
constexpr DWORD kAssertionCode = 0xE0540001;
constexpr DWORD kPureCallCode = 0xE0540002;

// The call instruction that a return address follows: the direct call and
// the call through an import slot by their encodings, any other one by a
// byte inside it.
std::uintptr_t CallBefore(std::uintptr_t returnAddress) {
  const auto* code = reinterpret_cast<const std::uint8_t*>(returnAddress);
  if (code[-5] == 0xE8) return returnAddress - 5;
  if (code[-6] == 0xFF && code[-5] == 0x15) return returnAddress - 6;
  return returnAddress - 1;
}

#if defined(__i386__)
// A return address into code with unwind tables, right after a call.
bool FollowsACall(std::uintptr_t value) {
  if (!HasUnwindTables(reinterpret_cast<const void*>(value - 1))) return false;
  const auto* code = reinterpret_cast<const std::uint8_t*>(value);
  return code[-5] == 0xE8 || (code[-6] == 0xFF && code[-5] == 0x15) ||
         (code[-2] == 0xFF && (code[-1] & 0x38) == 0x10) || (code[-3] == 0xFF && (code[-2] & 0x38) == 0x10);
}
#endif

// The registers of the code that called the hook (returnAddress and cfa are
// the hook's own), at its call instruction. Frames of the module
// runtime (the C runtime the hook was called from) are passed.
__attribute__((noinline)) void CallerOfHook(CONTEXT& at, [[maybe_unused]] void* returnAddress,
                                            [[maybe_unused]] void* cfa, HMODULE runtime) {
  at = CONTEXT{};
  at.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&at);
#if defined(__x86_64__)
  UnwindToCaller(at);  // this function's frame
  UnwindToCaller(at);  // the hook's
  for (int depth = 0;
       runtime && depth < 16 && rtl::ModuleOfAddress(reinterpret_cast<const void*>(at.Rip)) == runtime;
       ++depth)
    if (!UnwindToCaller(at)) break;
  at.Rip = CallBefore(at.Rip);
#else
  std::uintptr_t ip = ToAddress(returnAddress);
  std::uintptr_t sp = ToAddress(cfa);
  // The runtime's frames have no tables here: the first return address
  // above them into code with tables, found on the stack as the report's
  // scan finds frames.
  if (runtime && rtl::ModuleOfAddress(returnAddress) == runtime) {
    // The thread's information block (fs:0x18 holds its own address).
    const NT_TIB* tib;
    asm("movl %%fs:0x18, %0" : "=r"(tib));
    const std::uintptr_t top = ToAddress(tib->StackBase);
    for (std::uintptr_t slot = sp; slot + sizeof(std::uintptr_t) <= top && slot < sp + 4096; slot += 4) {
      const std::uintptr_t value = *reinterpret_cast<const std::uintptr_t*>(slot);
      if (!FollowsACall(value)) continue;
      ip = value;
      sp = slot + sizeof(std::uintptr_t);
      break;
    }
  }
  at.Eip = CallBefore(ip);
  at.Esp = sp;
#endif
}

[[noreturn]] void EndByRuntime(const CONTEXT& at, DWORD code, std::initializer_list<ULONG_PTR> details,
                               bool wholeProgram) {
  TThreadState* state = CurrentThreadState();
  if (gInstalled && state && !state->InHandling && gHooks.OnRaise) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#if defined(__i386__)
    record.ExceptionAddress = reinterpret_cast<void*>(at.Eip);
#else
    record.ExceptionAddress = reinterpret_cast<void*>(at.Rip);
#endif
    for (const ULONG_PTR d : details) record.ExceptionInformation[record.NumberParameters++] = d;
    CONTEXT context = at;
    const EXCEPTION_POINTERS pointers{&record, &context};
    TRaiseRecord raise = UnhandledSystemRaise(*state, pointers);
    gHooks.OnRaise(*state, raise);
  }
  if (gHooks.OnUnhandledEnd) gHooks.OnUnhandledEnd(wholeProgram || GetCurrentThreadId() == gMainThreadID);
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);
}

HMODULE gCRuntime = nullptr;  // msvcrt.dll

[[noreturn]] __attribute__((noinline)) void __cdecl HookedAbort() {
  CONTEXT at;
  CallerOfHook(at, __builtin_return_address(0), __builtin_dwarf_cfa(), nullptr);
  EndByRuntime(at, kAbortCode, {}, true);
}

// The assertion's texts are the program's constants: they outlive the
// report.
[[noreturn]] __attribute__((noinline)) void __cdecl HookedAssert(const char* expression, const char* file,
                                                                 unsigned line) {
  CONTEXT at;
  CallerOfHook(at, __builtin_return_address(0), __builtin_dwarf_cfa(), nullptr);
  EndByRuntime(at, kAssertionCode, {ToAddress(expression), ToAddress(file), line, 0}, true);
}
[[noreturn]] __attribute__((noinline)) void __cdecl HookedWideAssert(const wchar_t* expression,
                                                                     const wchar_t* file, unsigned line) {
  CONTEXT at;
  CallerOfHook(at, __builtin_return_address(0), __builtin_dwarf_cfa(), nullptr);
  EndByRuntime(at, kAssertionCode, {ToAddress(expression), ToAddress(file), line, 1}, true);
}

// Replaces the C runtime's own _invalid_parameter, which its functions call
// directly. What it is given (the expression, function, file and line) is
// there only in a debug runtime, and lives as long as the runtime.
[[noreturn]] __attribute__((noinline)) void __cdecl HookedInvalidParameter(const wchar_t* expression,
                                                                           const wchar_t* function,
                                                                           const wchar_t* file, unsigned line,
                                                                           std::uintptr_t) {
  CONTEXT at;
  CallerOfHook(at, __builtin_return_address(0), __builtin_dwarf_cfa(), gCRuntime);
  EndByRuntime(at, kInvalidParameterCode, {ToAddress(expression), ToAddress(function), ToAddress(file), line},
               true);
}

// The program's imports patched for the runtimes' ends, and the C runtime's
// _invalid_parameter patched in its code; put back by RemoveRuntimeEnds.
struct TImportPatch {
  const char* Name;
  const void* Hook;
  void* Previous = nullptr;
};
TImportPatch gImportPatches[] = {{"abort", reinterpret_cast<const void*>(&HookedAbort)},
                                 {"_assert", reinterpret_cast<const void*>(&HookedAssert)},
                                 {"_wassert", reinterpret_cast<const void*>(&HookedWideAssert)}};
void* gInvalidParameterTarget = nullptr;

void InstallRuntimeEnds() {
  const HMODULE program = GetModuleHandleW(nullptr);
  for (TImportPatch& patch : gImportPatches) {
    try {
      patch.Previous = HookDllProcedure(program, "msvcrt.dll", patch.Name, patch.Hook);
    } catch (const ETrHookError&) {
      // Left to the runtime: it ends the program unreported.
    }
  }
  gCRuntime = GetModuleHandleW(L"msvcrt.dll");
  if (void* target =
          gCRuntime ? reinterpret_cast<void*>(GetProcAddress(gCRuntime, "_invalid_parameter")) : nullptr) {
    try {
      HookProcedureEx(target, reinterpret_cast<const void*>(&HookedInvalidParameter),
                      L"msvcrt._invalid_parameter");
      gInvalidParameterTarget = target;
    } catch (const ETrHookError&) {
    }
  }
}

void RemoveRuntimeEnds() {
  const HMODULE program = GetModuleHandleW(nullptr);
  for (TImportPatch& patch : gImportPatches) {
    if (!patch.Previous) continue;
    try {
      HookDllProcedure(program, "msvcrt.dll", patch.Name, patch.Previous);
    } catch (const ETrHookError&) {
    }
    patch.Previous = nullptr;
  }
  if (gInvalidParameterTarget) UnhookProcedure(gInvalidParameterTarget);
  gInvalidParameterTarget = nullptr;
}

// The text of an end of the runtime: an ANSI or UTF-16 text of its record.
std::wstring RuntimeText(ULONG_PTR text, bool wide) {
  if (!text) return {};
  if (wide) return reinterpret_cast<const wchar_t*>(text);
  const char* ansi = reinterpret_cast<const char*>(text);
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_ACP, 0, ansi, -1, out.data(), n);
  return out;
}

}  // namespace

std::uint8_t* KeptStackBuffer(TThreadState& state, int index) noexcept {
  if (!state.KeptStacks)
    state.KeptStacks =
        static_cast<std::uint8_t*>(VirtualAlloc(nullptr, std::size_t{kKeptStackSize} * TThreadState::kKept,
                                                MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  return state.KeptStacks ? state.KeptStacks + std::size_t{kKeptStackSize} * index : nullptr;
}

TThreadState* CurrentThreadState() noexcept {
  if (gTlsIndex == TLS_OUT_OF_INDEXES) return nullptr;
  if (auto* s = static_cast<TThreadState*>(TlsGetValue(gTlsIndex))) return s;
  TThreadState* s = ClaimSlot(GetCurrentThreadId());
  if (s) TlsSetValue(gTlsIndex, s);
  return s;
}

DWORD MainThreadID() { return gMainThreadID; }

TRaiseRecord UnhandledSystemRaise(TThreadState& state, const EXCEPTION_POINTERS& info) {
  state.Context = *info.ContextRecord;
  state.Record = *info.ExceptionRecord;
  TRaiseRecord raise;
  raise.Address = ToAddress(info.ExceptionRecord->ExceptionAddress);
  raise.StackPointer = StackPointerOf(*info.ContextRecord);
  raise.HasContext = true;
  raise.Handler = THandlerKind::Terminate;
  return raise;
}

TSystemExceptionText DescribeSystemException(const EXCEPTION_RECORD& record) {
  const std::uintptr_t at = ToAddress(record.ExceptionAddress);
  switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION: {
      const ULONG_PTR kind = record.NumberParameters >= 2 ? record.ExceptionInformation[0] : 0;
      const std::uintptr_t target = record.NumberParameters >= 2 ? record.ExceptionInformation[1] : 0;
      const wchar_t* verb = kind == 1 ? L"Write" : kind == 8 ? L"Execute" : L"Read";
      return {"EAccessViolation", L"Access violation at address " + WideHexAddress(at) + L" in module '" +
                                      ModuleNameOf(at) + L"'. " + verb + L" of address " +
                                      WideHexAddress(target)};
    }
    case EXCEPTION_STACK_OVERFLOW:
      return {"EStackOverflow", L"Stack overflow"};
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return {"EDivByZero", L"Division by zero"};
    case EXCEPTION_INT_OVERFLOW:
      return {"EIntOverflow", L"Integer overflow"};
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return {"EZeroDivide", L"Floating point division by zero"};
    case EXCEPTION_FLT_OVERFLOW:
      return {"EOverflow", L"Floating point overflow"};
    case EXCEPTION_FLT_UNDERFLOW:
      return {"EUnderflow", L"Floating point underflow"};
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
      return {"EInvalidOp", L"Invalid floating point operation"};
    case EXCEPTION_PRIV_INSTRUCTION:
      return {"EPrivilege", L"Privileged instruction"};
    case kAbortCode:
      return {"EAbnormalTermination", L"Abnormal program termination (abort)"};
    case kAssertionCode: {
      const ULONG_PTR* d = record.ExceptionInformation;
      const bool wide = d[3] != 0;
      return {"EAssertionFailed", RuntimeText(d[0], wide) + L" (" + RuntimeText(d[1], wide) + L", line " +
                                      std::to_wstring(d[2]) + L")"};
    }
    case kPureCallCode:
      return {"EAbstractError", L"Pure virtual function call"};
    case kInvalidParameterCode: {
      const ULONG_PTR* d = record.ExceptionInformation;
      std::wstring message = L"Invalid parameter passed to a C runtime function";
      if (d[0])
        message += L": " + RuntimeText(d[0], true) + L" in " + RuntimeText(d[1], true) + L" (" +
                   RuntimeText(d[2], true) + L", line " + std::to_wstring(d[3]) + L")";
      return {"EInvalidParameter", message};
    }
    default:
      return {"EExternalException", L"External exception " + WideHexAddress(record.ExceptionCode)};
  }
}

bool IsConvertedExceptionCode(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_IN_PAGE_ERROR:
      return true;
    default:
      return false;
  }
}

#if defined(__i386__)
THandlerKind Search(_Unwind_Exception* exception) {
  TSearch search{exception};
  _Unwind_Backtrace(SearchFrame, &search);
  return search.Result;
}
#endif

namespace {

constexpr std::uint64_t kGnuCxx = 0x474e5543432b2b00ull;  // "GNUCC++" and a zero: a primary exception

const TCxaException* CaughtHeader() {
  struct TGlobals {
    TCxaException* caughtExceptions;
    unsigned int uncaughtExceptions;
  };
  const auto* globals = reinterpret_cast<const TGlobals*>(abi::__cxa_get_globals());
  return globals ? globals->caughtExceptions : nullptr;
}

const void* ObjectOf(const TCxaException* header) {
  if (!header) return nullptr;
  const std::uint64_t kind = header->unwindHeader.exception_class;
  if (kind == kGnuCxx) return header + 1;
  // Raised again by std::rethrow_exception: a dependent record that points
  // to the original object.
  if (kind == kGnuCxx + 1) return *reinterpret_cast<void* const*>(header);
  return nullptr;
}
}  // namespace

THandlerKind FindHandler(void* thrownObject, const std::type_info* type) {
  // The header in front of the object must be set up for the personality
  // routine; __cxa_throw sets it up again in the same way.
  __cxa_init_primary_exception(thrownObject, const_cast<std::type_info*>(type), nullptr);
  return Search(reinterpret_cast<_Unwind_Exception*>(thrownObject) - 1);
}

const void* CurrentExceptionObject(const std::type_info** type) {
  const void* object = ObjectOf(CaughtHeader());
  if (type) *type = object ? abi::__cxa_current_exception_type() : nullptr;
  return object;
}

void InstallRaiseHooks(const TRaiseHooks& hooks, bool processWide) {
  if (gTlsIndex == TLS_OUT_OF_INDEXES) gTlsIndex = TlsAlloc();
  gMainThreadID = GetCurrentThreadId();
  gHooks = hooks;
  gVectoredHandler = AddVectoredExceptionHandler(1, VectoredHandler);
  gProcessWide = processWide;
#if defined(__x86_64__)
  if (processWide) rtl::HoldOverflowReserve();
#endif
  if (processWide) gOldFilter = SetUnhandledExceptionFilter(UnhandledFilter);
  if (processWide) InstallRuntimeEnds();
  gOldTerminate = std::set_terminate(OnTerminate);
  gInstalled = true;
}

void RemoveRaiseHooks() {
  if (!gInstalled) return;
  gInstalled = false;
  std::set_terminate(gOldTerminate);
  if (gProcessWide) RemoveRuntimeEnds();
  if (gProcessWide) SetUnhandledExceptionFilter(gOldFilter);
  gProcessWide = false;
  if (gVectoredHandler) RemoveVectoredExceptionHandler(gVectoredHandler);
  gVectoredHandler = nullptr;
  gHooks = TRaiseHooks{};
}

}  // namespace tracira

using namespace tracira;

#if defined(__i386__)
// Called by the trampoline on the overflow stack.
extern "C" [[noreturn]] void TrRaiseStackOverflow() {
  TStartFrame find{static_cast<TOverflowFrame*>(CurrentThreadState()->OverflowFrame)};
  _Unwind_Backtrace(FindStartFrame, &find);
  RaiseSystemException();
}
#endif

// The throw hook (the link option --wrap=__cxa_throw sends every throw of the
// program here). The search runs before anything unwinds, so a report made
// now sees the raising frames as they are.
extern "C" [[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type,
                                                void (*destructor)(void*)) {
  if (gInstalled && gHooks.OnRaise) {
    TThreadState* state = CurrentThreadState();
    // A converted processor exception's context belongs to this throw
    // alone, reported or not.
    const bool pendingContext = state && state->PendingContext;
    if (state) state->PendingContext = false;
    if (state && !state->InHandling && !state->InRaiseHook) {
      state->InRaiseHook = true;
      TRaiseRecord raise;
#if defined(__x86_64__)
      CONTEXT frame;
#endif
      raise.Object = object;
      raise.Type = type;
      if (pendingContext) {
        raise.HasContext = true;
        raise.Address = ToAddress(state->Record.ExceptionAddress);
        raise.StackPointer = StackPointerOf(state->Context);
      } else {
        // The call instruction that raised, and the raising frame's stack
        // above this hook's own frame.
        raise.Address = ToAddress(__builtin_return_address(0)) - 5;
        raise.StackPointer = ToAddress(__builtin_dwarf_cfa());
#if defined(__x86_64__)
        // The thrower's registers, at its call: its stack is unwound from
        // there (the stack pointer is the one above).
        RtlCaptureContext(&frame);
        if (UnwindToCaller(frame)) {
          frame.Rip = raise.Address;
          raise.Frame = &frame;
        }
#endif
      }
      raise.Handler = FindHandler(object, type);
      gHooks.OnRaise(*state, raise);
      state->InRaiseHook = false;
    }
  }
  __real___cxa_throw(object, type, destructor);
}

// "throw;" in a catch clause: the search runs again from here, since the
// clause that caught it was not the end of its way.
extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
  if (gInstalled && gHooks.OnRethrow) {
    TThreadState* state = CurrentThreadState();
    const TCxaException* header = CaughtHeader();
    const void* object = ObjectOf(header);
    if (state && !state->InHandling && object) {
      const THandlerKind handler = Search(const_cast<_Unwind_Exception*>(&header->unwindHeader));
      gHooks.OnRethrow(*state, object, handler);
    }
  }
  __real___cxa_rethrow();
}

// A call of a pure virtual function (-Wl,--wrap=__cxa_pure_virtual: the
// slot of every pure virtual function in the program's virtual tables).
// Without it the slot is null here, and the call an access violation at
// address 0.
extern "C" [[noreturn]] __attribute__((noinline)) void __wrap___cxa_pure_virtual() {
  CONTEXT at;
  CallerOfHook(at, __builtin_return_address(0), __builtin_dwarf_cfa(), nullptr);
  EndByRuntime(at, kPureCallCode, {}, false);
}
