// Entry points of the in-process server and its class factory.
#include "driver/server/Module.h"

#include <ole2.h>

#include <atomic>
#include <vector>

#include "Dravix.h"

namespace dravix::server {

namespace {

HINSTANCE gInstance = nullptr;
std::atomic<long> gObjects{0};

// The one class factory; it lives as long as the module, so its reference
// count only feeds the module count.
class TClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    ModuleAddRef();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ModuleRelease();
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateScanerControl(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ModuleAddRef();
    } else {
      ModuleRelease();
    }
    return S_OK;
  }
};

TClassFactory gFactory;

}  // namespace

HINSTANCE ModuleInstance() { return gInstance; }

void ModuleAddRef() { ++gObjects; }
void ModuleRelease() { --gObjects; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(gInstance, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring ModuleVersion() {
  const std::wstring path = ModulePath();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) return L"0.0.0.0";
  std::vector<BYTE> data(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || len < sizeof(*info)) {
    return L"0.0.0.0";
  }
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionLS));
}

}  // namespace dravix::server

using namespace dravix::server;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    gInstance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_Scaner45) return CLASS_E_CLASSNOTAVAILABLE;
  return gFactory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() { return gObjects.load() == 0 ? S_OK : S_FALSE; }
