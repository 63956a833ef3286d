// Test-side client of Dravix.dll: registration through regsvr32, a settings
// key of the test's own, and late-bound calls through IDispatch::Invoke, the
// way the tool's binding reaches the control.
#pragma once

#include <ole2.h>
#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <string>

#include "Dravix.h"
#include "driver/DispatchIds.h"

namespace dravix::test {

using Microsoft::WRL::ComPtr;

// The built DLL as a Windows path (Wine maps / to Z:\).
std::wstring DllPath();
// Runs regsvr32 /s [/u] on the DLL; returns its exit code.
DWORD RunRegsvr32(bool unregister);

// Points the driver at a fresh HKCU key of its own (removed again by Remove).
class TSettingsKey {
 public:
  explicit TSettingsKey(const std::wstring& name);
  ~TSettingsKey();
  const std::wstring& Path() const { return fPath; }
  void Remove() const;

 private:
  std::wstring fPath;
};

class TVariant {
 public:
  TVariant() { VariantInit(&v); }
  TVariant(const TVariant&) = delete;
  TVariant& operator=(const TVariant&) = delete;
  ~TVariant() { VariantClear(&v); }
  VARIANT v;
};

class TDriver {
 public:
  // CoCreateInstance of the control; fails the test when it can't.
  TDriver();
  IDispatch* Dispatch() const { return fDispatch.Get(); }

  HRESULT Get(DISPID id, VARIANT& result) const;
  long GetLong(DISPID id) const;
  std::wstring GetString(DISPID id) const;
  bool GetBool(DISPID id) const;
  HRESULT Put(DISPID id, const VARIANT& value) const;
  HRESULT PutLong(DISPID id, long value) const;
  HRESULT PutString(DISPID id, const std::wstring& value) const;
  HRESULT PutBool(DISPID id, bool value) const;
  long Call(DISPID method) const;

  long Code() const { return GetLong(kResultCode); }
  std::wstring Text() const { return GetString(kResultDescription); }

 private:
  ComPtr<IDispatch> fDispatch;
};

// Pumps this thread's messages until `done` holds or the timeout passes.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

}  // namespace dravix::test
