#include "DriverTestSupport.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>

#include "UnitsTestPaths.h"

std::wstring DravixPath() {
  // Wine's drive Z: is the Unix root.
  std::wstring path = L"Z:";
  for (const char* c = UNITS_DRAVIX_DLL; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
  return path;
}

HRESULT RegisterDravix(bool install) {
  HMODULE module = LoadLibraryW(DravixPath().c_str());
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  using Entry = HRESULT(STDAPICALLTYPE*)();
  const auto entry = reinterpret_cast<Entry>(
      reinterpret_cast<void*>(GetProcAddress(module, install ? "DllRegisterServer" : "DllUnregisterServer")));
  const HRESULT hr = entry ? entry() : HRESULT_FROM_WIN32(GetLastError());
  FreeLibrary(module);
  return hr;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return done();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(std::min<long long>(left.count(), 50)), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

namespace {
BOOL CALLBACK FindDialog(HWND window, LPARAM result) {
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (IsWindowVisible(window) && std::wstring(name) == L"#32770") {
    *reinterpret_cast<HWND*>(result) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK CloseDialogTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindDialog, reinterpret_cast<LPARAM>(&found));
  if (!found) return;
  KillTimer(nullptr, timer);
  PostMessageW(found, WM_COMMAND, IDCANCEL, 0);
}
}  // namespace

void CloseNextDialog() { SetTimer(nullptr, 0, 100, CloseDialogTimer); }

// The stand-in is registered for the whole run, with its devices under a key
// of this test's own (DRAVIX_SETTINGS_KEY, set by the test's definition),
// emptied first so every run starts from the driver's first-start list.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  wchar_t key[512] = {};
  if (GetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", key, 512) == 0 || key[0] == 0) {
    std::fprintf(stderr, "DRAVIX_SETTINGS_KEY is not set: refusing to touch the default driver settings\n");
    return 2;
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, key);
  const HRESULT hr = RegisterDravix(true);
  if (FAILED(hr)) {
    std::fprintf(stderr, "registering %ls failed: 0x%08lX\n", DravixPath().c_str(),
                 static_cast<unsigned long>(hr));
    return 2;
  }
  const int result = RUN_ALL_TESTS();
  RegDeleteTreeW(HKEY_CURRENT_USER, key);
  CoUninitialize();
  return result;
}
