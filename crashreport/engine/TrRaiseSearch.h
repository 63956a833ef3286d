// The parts of the interception that depend on how the target unwinds C++
// exceptions: DWARF tables on i686 (TrRaise.cpp), SEH on x86-64
// (TrRaiseX64.cpp).
#pragma once

#include <unwind.h>
#include <windows.h>

#include <typeinfo>

#include "crashreport/engine/TrRaise.h"

namespace tracira {

// libstdc++'s exception header, as its ABI lays it out in front of every
// thrown object: the searches read the type and the search's result
// (handlerSwitchValue) from it.
struct TCxaException {
  std::type_info* exceptionType;
  void* exceptionDestructor;
  void* unexpectedHandler;
  void* terminateHandler;
  TCxaException* nextException;
  int handlerCount;
  int handlerSwitchValue;
  const unsigned char* actionRecord;
  const unsigned char* languageSpecificData;
  _Unwind_Ptr catchTemp;
  void* adjustedPtr;
  _Unwind_Exception unwindHeader;
};

// Who catches the exception with this unwinder header if it is raised from
// the caller's frame, found without unwinding anything.
THandlerKind Search(_Unwind_Exception* exception);

// Code whose frames the C++ unwinder can pass: only there may a processor
// exception become a C++ exception. Elsewhere (the system, another
// component) the system's own handling goes on.
bool HasUnwindTables(const void* address);

#if defined(__x86_64__)
// context (captured inside a function) becomes its caller's registers as
// they stand at the return; false when the function has no unwind data.
bool UnwindToCaller(CONTEXT& context);

// Where the raise for a stack overflow at context starts: a frame that has
// nothing to clean up yet and no call-site entry there (the C++ unwinder
// would end the program: a prologue, mostly) is left, its registers
// unwound in context, and the raise starts at the call in the frame above.
// Answers the address to raise from (one byte into the faulting
// instruction, or the return address of that call).
DWORD64 MoveToOverflowRaiseStart(CONTEXT& context);
#endif

// The codes GCC raises C++ exceptions with where they unwind through SEH
// (x86-64): a throw, its unwinding and a forced unwind.
inline bool IsGccThrowCode(DWORD code) { return (code & 0xF0FFFFFFu) == 0x20474343u; }

}  // namespace tracira
