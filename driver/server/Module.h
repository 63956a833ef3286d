// Process-wide state of the Dravix.dll server: the module handle and the
// count of live objects and locks that DllCanUnloadNow answers from.
#pragma once

#include <windows.h>

#include <string>

namespace dravix::server {

HINSTANCE ModuleInstance();
std::wstring ModulePath();
// "a.b.c.d" from the module's own version resource.
std::wstring ModuleVersion();

// Every live COM object of the module holds one of these.
void ModuleAddRef();
void ModuleRelease();

// Ties an object's lifetime to the module count.
class TModuleRef {
 public:
  TModuleRef() { ModuleAddRef(); }
  TModuleRef(const TModuleRef&) : TModuleRef() {}
  TModuleRef& operator=(const TModuleRef&) = default;
  ~TModuleRef() { ModuleRelease(); }
};

HRESULT CreateScanerControl(REFIID riid, void** object);

}  // namespace dravix::server
