#include "FakeScaner.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>

#include "Dravix.h"

using Microsoft::WRL::ComPtr;

TestVariant TestVariant::Int(LONG v) {
  TestVariant result;
  result.fValue.vt = VT_I4;
  result.fValue.lVal = v;
  return result;
}

TestVariant TestVariant::Bool(VARIANT_BOOL v) {
  TestVariant result;
  result.fValue.vt = VT_BOOL;
  result.fValue.boolVal = v;
  return result;
}

TestVariant TestVariant::Str(const std::wstring& v) {
  TestVariant result;
  result.fValue.vt = VT_BSTR;
  result.fValue.bstrVal = SysAllocStringLen(v.data(), UINT(v.size()));
  return result;
}

HRESULT FakeScanerState::Fire(DISPID id, std::vector<TestVariant> args) {
  if (!Sink) return E_FAIL;
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(it->Get());
  DISPPARAMS params{reversed.data(), nullptr, UINT(reversed.size()), 0};
  // The sink is the client's: call it through a reference of our own.
  const ComPtr<IDispatch> sink = Sink;
  return sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

namespace {

const std::vector<std::wstring> kMethodNames = {L"ShowProperties", L"AddDevice",    L"DeleteDevice",
                                                L"DeleteEvent",    L"ClearDevices", L"AboutBox"};

class FakeScaner final : public IDispatch, public IConnectionPointContainer, public IConnectionPoint {
 public:
  explicit FakeScaner(FakeScanerState& state) : fState(state) {
    ++fState.Created;
    ++fState.Alive;
  }
  ~FakeScaner() { --fState.Alive; }

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
      *object = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IConnectionPoint) {
      *object = static_cast<IConnectionPoint*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++fRefCount; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --fRefCount;
    if (count == 0) delete this;
    return count;
  }

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return DISP_E_UNKNOWNNAME;
    const auto found = std::find(kMethodNames.begin(), kMethodNames.end(), std::wstring(names[0]));
    if (found == kMethodNames.end()) {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    ids[0] = kFakeMethodBase + DISPID(found - kMethodNames.begin());
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* info, UINT*) override {
    if (const auto failure = fState.Failures.find(id); failure != fState.Failures.end()) {
      if (failure->second.Description.empty() || !info) return failure->second.Status;
      *info = EXCEPINFO{};
      info->scode = failure->second.Status;
      info->bstrSource = SysAllocString(L"FakeScaner");
      info->bstrDescription = SysAllocString(failure->second.Description.c_str());
      return DISP_E_EXCEPTION;
    }
    if (id >= kFakeMethodBase && id < kFakeMethodBase + DISPID(kMethodNames.size())) {
      if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
      if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
      const std::wstring& name = kMethodNames[id - kFakeMethodBase];
      fState.MethodCalls.push_back(name);
      if (result && name != L"AboutBox") {
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = fState.MethodResults.count(name) ? fState.MethodResults[name] : 0;
      }
      return S_OK;
    }
    if (flags & DISPATCH_PROPERTYPUT) {
      if (params->cArgs != 1 || params->cNamedArgs != 1 ||
          params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
        return DISP_E_PARAMNOTOPTIONAL;
      }
      fState.Writes.emplace_back(id, TestVariant(params->rgvarg[0]));
      fState.Properties[id] = TestVariant(params->rgvarg[0]);
      return S_OK;
    }
    if (flags & DISPATCH_PROPERTYGET) {
      const auto found = fState.Properties.find(id);
      if (found == fState.Properties.end()) return DISP_E_MEMBERNOTFOUND;
      if (!result) return E_POINTER;
      VariantInit(result);
      return VariantCopy(result, const_cast<VARIANT*>(&found->second.Get()));
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
    if (riid != DIID_IScanerEvents) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  }

  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    *iid = DIID_IScanerEvents;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
    *container = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (fState.Sink) return CONNECT_E_ADVISELIMIT;
    // A control asks the sink for its event interface, as the real one does.
    ComPtr<IDispatch> events;
    if (FAILED(sink->QueryInterface(DIID_IScanerEvents, reinterpret_cast<void**>(events.GetAddressOf())))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    fState.Sink = events;
    *cookie = 77;
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    if (cookie != 77 || !fState.Sink) return CONNECT_E_NOCONNECTION;
    fState.Sink.Reset();
    ++fState.Unadvised;
    return S_OK;
  }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  std::atomic<ULONG> fRefCount{0};
  FakeScanerState& fState;
};

class FakeScanerFactory final : public IClassFactory {
 public:
  explicit FakeScanerFactory(FakeScanerState& state) : fState(state) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++fRefCount; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --fRefCount;
    if (count == 0) delete this;
    return count;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    if (FAILED(fState.CreationFailure)) return fState.CreationFailure;
    // Objects are born with no reference (mingw's ComPtr::Attach adds one).
    const ComPtr<FakeScaner> control(new FakeScaner(fState));
    return control->QueryInterface(riid, object);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  std::atomic<ULONG> fRefCount{0};
  FakeScanerState& fState;
};

}  // namespace

FakeScanerRegistration::FakeScanerRegistration(FakeScanerState& state) {
  const ComPtr<FakeScanerFactory> factory(new FakeScanerFactory(state));
  const HRESULT hr = CoRegisterClassObject(CLSID_Scaner45, factory.Get(), CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &fCookie);
  if (FAILED(hr)) throw std::runtime_error("CoRegisterClassObject failed");
}

FakeScanerRegistration::~FakeScanerRegistration() { CoRevokeClassObject(fCookie); }
