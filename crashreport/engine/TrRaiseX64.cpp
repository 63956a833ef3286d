// x86-64: C++ exceptions unwind through SEH (RaiseException with GCC's code,
// the per-function handler __gxx_personality_seh0), not through DWARF
// tables, so the handler search and the test for unwind tables differ from
// the i686 ones in TrRaise.cpp.
//
// INTERIM, not the finished interception: the search does not walk the
// frames yet and answers Program for every raise, so a raise is not
// reported where it is thrown; an exception that reaches the edge
// (rtl::CallGuarded) is still reported there, and one that nobody catches
// by the terminate handler. Processor exceptions are converted only in the
// module that holds this code.
#include <windows.h>

#include "crashreport/engine/TrRaiseSearch.h"

#if defined(__x86_64__)

namespace tracira {

THandlerKind Search(_Unwind_Exception*) { return THandlerKind::Program; }

bool HasUnwindTables(const void* address) {
  DWORD64 imageBase = 0;
  if (!RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &imageBase, nullptr)) return false;
  HMODULE own = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&HasUnwindTables), &own);
  return reinterpret_cast<DWORD64>(own) == imageBase;
}

}  // namespace tracira

#endif
