// Where exceptions enter the crash reporter: the hook on the C++ throw path,
// the processor and system exceptions turned into C++ exceptions, the
// terminate handler and the unhandled-exception filter; and the answer to
// "will the program's own code catch it?".
//
// Everything here may run on a thread whose stack or heap is in trouble, so
// the per-thread state lives in a fixed pool and nothing on the way in
// allocates before the handling starts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

namespace tracira {

// Who catches a thrown exception, as the unwinder's search finds it.
enum class THandlerKind : std::uint8_t {
  Program,    // a catch clause of the program's own code
  Edge,       // the catch-all at the edge of the program's handling (rtl::CallGuarded)
  Terminate,  // a noexcept function, or nobody at all: the program is ended
};

// One raise as the crash reporter saw it.
struct TRaiseRecord {
  const void* Object = nullptr;  // the thrown object
  const std::type_info* Type = nullptr;
  std::uintptr_t Address = 0;       // the raising instruction
  std::uintptr_t StackPointer = 0;  // the raising frame's stack: the call stack is read from here
  THandlerKind Handler = THandlerKind::Terminate;
  bool HasContext = false;  // Context holds the processor state of a system exception
  // A throw's own frame as the raise hook found it (x86-64: where the
  // unwind of the stack starts); valid only while the hook runs.
  const CONTEXT* Frame = nullptr;
  bool Notified = false;  // the handling has seen it
  bool Answer = true;     // its answer: true lets the runtime's own handling run as well
};

// A raise as its thread keeps it until it is known who catches it in the
// end (a catch clause may end in "throw;" and send it further): the record,
// the processor state of a system exception and a copy of the stack as it
// was before anything unwound.
struct TKeptRaise {
  TRaiseRecord Raise;
  CONTEXT Context;
  EXCEPTION_RECORD SystemRecord;
  CONTEXT Frame;  // Raise.Frame's copy, when HasFrame
  bool HasFrame = false;
  // The stack from Raise.StackPointer up, copied into this raise's part of
  // its thread's buffer (KeptStackBuffer): nothing on the way in allocates.
  const std::uint8_t* Stack = nullptr;
  std::uint32_t StackSize = 0;
  std::span<const std::uint8_t> StackCopy() const { return {Stack, StackSize}; }
};

// What the crash reporter keeps for each thread.
struct TThreadState {
  volatile DWORD ThreadID;
  volatile LONG InGoNotify;
  bool InHandling;      // handling an exception (the raising or the handling thread)
  bool PendingContext;  // Context and Record belong to the system exception being raised now
  // A stack of its own for the thread's stack overflow (made on the first
  // one, kept with the slot), and where the overflowing frame's registers
  // are kept on it while the exception is raised from there.
  std::uint8_t* OverflowStack;
  void* OverflowFrame;
  // The buffer of the kept raises' stack copies (kKept parts of
  // kKeptStackSize bytes), made by the system on the thread's first raise
  // and kept with the slot.
  std::uint8_t* KeptStacks;
  // Inside the throw hook: a throw from the hook's own work goes its way
  // without being seen again.
  bool InRaiseHook;
  CONTEXT Context;
  EXCEPTION_RECORD Record;
  // The latest raises, newest at NextKept - 1: a clean-up that raises and
  // catches on its own must not push out the exception it runs for.
  static constexpr int kKept = 4;
  TKeptRaise Kept[kKept];
  int NextKept;
  // The newest kept raise of this object, or null.
  TKeptRaise* FindKept(const void* object) {
    if (!object) return nullptr;
    for (int i = 1; i <= kKept; ++i) {
      TKeptRaise& k = Kept[(NextKept - i + kKept * 2) % kKept];
      if (k.Raise.Object == object) return &k;
    }
    return nullptr;
  }
};

// The class a system exception is raised as, and its message
// ("EAccessViolation", "Access violation at address 0040122A in module
// 'Tavrix.exe'. Read of address 00000000").
struct TSystemExceptionText {
  const char* ClassName;
  std::wstring Message;
};
TSystemExceptionText DescribeSystemException(const EXCEPTION_RECORD& record);

inline std::uintptr_t StackPointerOf(const CONTEXT& c) {
#if defined(__i386__)
  return c.Esp;
#else
  return c.Rsp;
#endif
}

// The most of a raising thread's stack kept with a raise.
inline constexpr std::uint32_t kKeptStackSize = 100 * 1024;

// Part index of the state's kept-stack buffer, or null when the system has
// no memory for it (the raise is then kept without its stack).
std::uint8_t* KeptStackBuffer(TThreadState& state, int index) noexcept;

// The calling thread's state; null only when every slot is taken.
TThreadState* CurrentThreadState() noexcept;

// Called for every raise (a throw, or a system exception turned into one)
// before the stack unwinds, and by the terminate handler, the
// unhandled-exception filter and the stack-overflow path with handler
// Terminate; raise.HasContext: state.Context and state.Record hold the
// processor state. It must not throw.
using TRaiseHandler = void (*)(TThreadState& state, TRaiseRecord& raise) noexcept;

struct TRaiseHooks {
  TRaiseHandler OnRaise = nullptr;
  // A caught exception raised again ("throw;") and who catches it now.
  void (*OnRethrow)(TThreadState& state, const void* object, THandlerKind handler) noexcept = nullptr;
  // Decides how a thread that ends by an exception nobody caught goes on:
  // never returns.
  void (*OnUnhandledEnd)(bool mainThread) = nullptr;
};

// Installs the throw hook's handler, the vectored exception handler, the
// terminate handler and, for the program (processWide), the
// unhandled-exception filter; Remove puts back what was there. A library
// module's own hooks see its own throws and its own code's processor
// exceptions: its unwinder knows only its own tables.
void InstallRaiseHooks(const TRaiseHooks& hooks, bool processWide = true);
void RemoveRaiseHooks();

// The handler search of the unwinder, without unwinding: who will catch the
// exception object (as given to __cxa_throw) if it is thrown from here.
THandlerKind FindHandler(void* thrownObject, const std::type_info* type);

// A system exception that nobody handles, as a raise of this thread (its
// context and record copied into the state).
TRaiseRecord UnhandledSystemRaise(TThreadState& state, const EXCEPTION_POINTERS& info);

// The system exception codes turned into C++ exceptions.
bool IsConvertedExceptionCode(DWORD code);

// The object of the exception being handled in this thread (the primary
// exception of std::current_exception()), or null; and its type.
const void* CurrentExceptionObject(const std::type_info** type = nullptr);

// The thread ID of the process's main thread (the one that ran Init).
DWORD MainThreadID();

}  // namespace tracira
