#include "tests/app/AppTestSupport.h"

#include <gtest/gtest.h>

#include "Units/ScanerX.h"

namespace apptest {

namespace {
const wchar_t kFontKey[] = L"Software\\Ortvel\\Font";
const wchar_t kDriverSettings[] = L"Software\\TavrixTests\\App";
const wchar_t kClsidKey[] = L"CLSID\\{691870D7-592F-11D3-B029-0000E8DBEDCE}\\InprocServer32";

HRESULT CallEntry(const char* entry) {
  const HMODULE library = LoadLibraryW(DravixDll().c_str());
  if (library == nullptr) {
    ADD_FAILURE() << "cannot load the driver stand-in, error " << GetLastError();
    return E_FAIL;
  }
  using EntryFn = HRESULT(WINAPI*)();
  const auto fn = reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(library, entry)));
  const HRESULT hr = fn != nullptr ? fn() : E_NOINTERFACE;
  FreeLibrary(library);
  return hr;
}

HKEY CreateFontKey() {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kFontKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  return key;
}
}  // namespace

std::wstring WinPath(const char* unixPath) {
  std::wstring path = L"Z:";
  for (const char* p = unixPath; *p != '\0'; ++p) {
    path += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
  }
  return path;
}

std::wstring TavrixExe() { return WinPath(TAVRIX_EXE); }
std::wstring DravixDll() { return WinPath(DRAVIX_DLL); }

void RegisterDriver() { ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK); }
void UnregisterDriver() {
  CallEntry("DllUnregisterServer");
  ASSERT_FALSE(DriverRegistered());
}

bool DriverRegistered() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClsidKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void IsolateDriverSettings() {
  SetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", kDriverSettings);
  RegDeleteTreeW(HKEY_CURRENT_USER, kDriverSettings);
}

void DeleteFontKey() { RegDeleteTreeW(HKEY_CURRENT_USER, kFontKey); }

void SetFontValue(const wchar_t* name, std::uint32_t value) {
  const HKEY key = CreateFontKey();
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  RegCloseKey(key);
}

void SetFontString(const wchar_t* name, const std::wstring& value) {
  const HKEY key = CreateFontKey();
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
  return true;
}

void FeedSerial(const wchar_t* port, const std::string& bytes) {
  const HANDLE line = CreateFileW(port, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(line, INVALID_HANDLE_VALUE) << "the serial pair is missing";
  DWORD written = 0;
  WriteFile(line, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(line);
  ASSERT_EQ(written, bytes.size());
}

void ConfigureDevice(int port, int model) {
  TScanerX scaner;
  scaner.SetPortNumber(port);
  scaner.SetModel(model);
  scaner.SetStopFlag(0);  // CR
  scaner.SetBaudRate(7);  // 9600
}

}  // namespace apptest
