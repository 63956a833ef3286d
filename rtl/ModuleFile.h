// The modules of the process: which one holds an address, and the file it
// was loaded from (Windows only).
#pragma once

#include <windows.h>

#include <string>

namespace rtl {

// The module that holds address, or null; its reference count is left as
// it is.
HMODULE ModuleOfAddress(const void* address);

// The full path of the module's file, however long; empty when the module
// is not loaded.
std::wstring ModuleFileName(HMODULE module);

}  // namespace rtl
