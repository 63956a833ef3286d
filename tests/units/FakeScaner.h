// A third party's scanner control as the tool might meet it: IDispatch, its
// methods at dispatch ids of its own, a connection point for the driver's
// events, and, when the test gives it type information, the dual interface
// IScaner714 with a function table laid out as that type information says.
// Registered in the test process under the driver's class id, so the binding
// creates it exactly as it would create the real one. Its properties are a
// plain store that the test reads and fills; it records what the binding
// writes and calls.
#pragma once

#include <oaidl.h>
#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <string>
#include <vector>

class TestVariant {
 public:
  TestVariant() noexcept { VariantInit(&fValue); }
  TestVariant(const VARIANT& value) : TestVariant() { VariantCopy(&fValue, const_cast<VARIANT*>(&value)); }
  TestVariant(const TestVariant& other) : TestVariant() {
    VariantCopy(&fValue, const_cast<VARIANT*>(&other.fValue));
  }
  TestVariant& operator=(const TestVariant& other) {
    if (this != &other) VariantCopy(&fValue, const_cast<VARIANT*>(&other.fValue));
    return *this;
  }
  ~TestVariant() { VariantClear(&fValue); }
  static TestVariant Int(LONG v);
  static TestVariant Bool(VARIANT_BOOL v);
  static TestVariant Str(const std::wstring& v);
  const VARIANT& Get() const noexcept { return fValue; }

 private:
  VARIANT fValue;
};

struct FakeFailure {
  HRESULT Status;
  std::wstring Description;  // empty: a bare failure status, no EXCEPINFO
  int Remaining = -1;        // how many more accesses fail; -1: all
  WORD Kinds = 0;            // DISPATCH_* flags of the accesses that fail; 0: all
};

// What the test sees of the fake control.
struct FakeScanerState {
  std::map<DISPID, TestVariant> Properties;
  std::vector<std::pair<DISPID, TestVariant>> Writes;
  std::map<std::wstring, LONG> MethodResults;  // by method name; default 0
  std::vector<std::wstring> MethodCalls;
  std::map<DISPID, FakeFailure> Failures;  // Invoke of this id fails
  HRESULT CreationFailure = S_OK;          // the class factory's answer when failing
  // Type information of IScaner714 (either view of a dual interface): with
  // it the control answers for IScaner714, its function table's slots where
  // the type information puts them, and gives it out through GetTypeInfo
  // unless TypeInfoHidden.
  Microsoft::WRL::ComPtr<ITypeInfo> DualTypeInfo;
  bool TypeInfoHidden = false;
  std::vector<std::wstring> TableCalls;  // methods called through the function table
  int Created = 0;
  int Alive = 0;
  int Unadvised = 0;
  Microsoft::WRL::ComPtr<IDispatch> Sink;  // the advised event sink

  // Calls the advised sink as the control would: arguments given first to
  // last (they are passed last first).
  HRESULT Fire(DISPID id, std::vector<TestVariant> args);
};

// Registers the fake under CLSID_Scaner45 for this process while it lives.
class FakeScanerRegistration {
 public:
  explicit FakeScanerRegistration(FakeScanerState& state);
  ~FakeScanerRegistration();
  FakeScanerRegistration(const FakeScanerRegistration&) = delete;
  FakeScanerRegistration& operator=(const FakeScanerRegistration&) = delete;

 private:
  DWORD fCookie = 0;
};

// The fake's dispatch ids of the methods, unlike the driver's own.
inline constexpr DISPID kFakeMethodBase = 3000;
