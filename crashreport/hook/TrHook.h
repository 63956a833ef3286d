// Replacing procedures of the system, the runtime and the GUI library with
// the crash reporter's own: import-table entries, code patches with
// trampolines, and virtual-table slots.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "rtl/Exceptions.h"

namespace tracira {

// A hook that couldn't be installed; the message is one of the three texts
// below with the procedure's or module's name.
class ETrHookError : public rtl::Exception {
 public:
  using Exception::Exception;
};

// ---------------------------------------------------------------------------
// Import-table patching

// Overwrites module's import entries of dllName's procName (the DLL name
// compared without regard to case, ".dll" optional) with newProc and returns
// the previous value; null when the module doesn't import it. Raises
// ETrHookError when an entry can't be written.
void* HookDllProcedure(HMODULE module, std::string_view dllName, std::string_view procName,
                       const void* newProc);

// The same for each of modules (null entries skipped), never raising.
// previous receives the first previous value found. True when at least one
// entry was patched.
bool TryHookDllProcedureEx(std::span<const HMODULE> modules, std::string_view dllName,
                           std::string_view procName, const void* newProc, void*& previous);

// ---------------------------------------------------------------------------
// Code patching

// Patches the procedure at target (followed through leading import thunks
// "jmp dword ptr [slot]") with a jump to newProc and returns the trampoline:
// a callable copy of the procedure as it was. Hooking the same procedure
// again returns the first trampoline and changes nothing. name goes into the
// error texts; the address in hexadecimal when empty.
void* HookProcedureEx(void* target, const void* newProc, std::wstring_view name);
void* HookProcedure(void* target, const void* newProc);

// Restores the bytes the hook overwrote (target as given to HookProcedure)
// and frees the trampoline unless a moved call's return address points into
// it. False when the procedure isn't hooked or can't be written.
bool UnhookProcedure(void* target);

// The procedure behind any leading import thunks; target itself otherwise.
void* ResolveJumpThunk(void* target);

// ---------------------------------------------------------------------------
// Virtual-method tables

// The virtual-method table of a polymorphic object.
inline void** VirtualTableOf(const void* object) { return *static_cast<void** const*>(object); }

// Replaces slot index of the table with newProc and returns the old value.
// Raises ETrHookError when the slot can't be written.
void* HookVirtualMethod(void** table, std::size_t index, const void* newProc);
// Puts the old value back.
void UnhookVirtualMethod(void** table, std::size_t index, const void* oldProc);

}  // namespace tracira
