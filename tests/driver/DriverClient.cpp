#include "DriverClient.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/ChildProcess.h"

namespace dravix::test {

std::wstring DllPath() {
  std::wstring path = L"Z:" DRAVIX_DLL_UNIX_PATH;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

DWORD RunRegsvr32(bool unregister) {
  std::wstring command = L"regsvr32.exe /s ";
  if (unregister) command += L"/u ";
  command += L"\"" + DllPath() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!testsupport::StartChildProcess(command, FALSE, 0, nullptr, si, pi)) {
    return GetLastError() | 0x80000000u;
  }
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

TSettingsKey::TSettingsKey(const std::wstring& name)
    : fPath(L"Software\\DravixTest\\" + name + L"-" + std::to_wstring(GetCurrentProcessId())) {
  Remove();
  SetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", fPath.c_str());
}

TSettingsKey::~TSettingsKey() {
  Remove();
  SetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", nullptr);
}

void TSettingsKey::Remove() const { RegDeleteTreeW(HKEY_CURRENT_USER, fPath.c_str()); }

TDriver::TDriver() {
  const HRESULT hr =
      CoCreateInstance(CLSID_Scaner45, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&fDispatch));
  EXPECT_EQ(hr, S_OK) << "CoCreateInstance";
}

HRESULT TDriver::Get(DISPID id, VARIANT& result) const {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return fDispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                           nullptr);
}

long TDriver::GetLong(DISPID id) const {
  TVariant r;
  EXPECT_EQ(Get(id, r.v), S_OK) << "get " << id;
  EXPECT_EQ(r.v.vt, VT_I4) << "get " << id;
  return r.v.lVal;
}

std::wstring TDriver::GetString(DISPID id) const {
  TVariant r;
  EXPECT_EQ(Get(id, r.v), S_OK) << "get " << id;
  EXPECT_EQ(r.v.vt, VT_BSTR) << "get " << id;
  return r.v.vt == VT_BSTR && r.v.bstrVal ? std::wstring(r.v.bstrVal, SysStringLen(r.v.bstrVal)) : L"";
}

bool TDriver::GetBool(DISPID id) const {
  TVariant r;
  EXPECT_EQ(Get(id, r.v), S_OK) << "get " << id;
  EXPECT_EQ(r.v.vt, VT_BOOL) << "get " << id;
  EXPECT_TRUE(r.v.boolVal == VARIANT_TRUE || r.v.boolVal == VARIANT_FALSE) << "get " << id;
  return r.v.boolVal != VARIANT_FALSE;
}

HRESULT TDriver::Put(DISPID id, const VARIANT& value) const {
  VARIANT arg = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&arg, &named, 1, 1};
  return fDispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                           nullptr);
}

HRESULT TDriver::PutLong(DISPID id, long value) const {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  return Put(id, v);
}

HRESULT TDriver::PutString(DISPID id, const std::wstring& value) const {
  TVariant v;
  v.v.vt = VT_BSTR;
  v.v.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  return Put(id, v.v);
}

HRESULT TDriver::PutBool(DISPID id, bool value) const {
  VARIANT v;
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return Put(id, v);
}

long TDriver::Call(DISPID method) const {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  TVariant r;
  EXPECT_EQ(fDispatch->Invoke(method, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &r.v, nullptr,
                              nullptr),
            S_OK)
      << "call " << method;
  EXPECT_EQ(r.v.vt, VT_I4) << "call " << method;
  return r.v.lVal;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE,
                              static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

}  // namespace dravix::test
