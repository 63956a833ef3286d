#include "tests/app/DriverProxy.h"

#include <gtest/gtest.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>

#include "Dravix.h"
#include "tests/app/AppTestSupport.h"

using Microsoft::WRL::ComPtr;

namespace apptest {

namespace {
// The driver's EventNumber property: writing an id that is not queued is
// refused with "invalid value" and changes nothing else.
constexpr DISPID kEventNumber = 25;
}  // namespace

class DriverProxy::Control final : public IDispatch {
 public:
  Control(DriverProxy& owner, ComPtr<IDispatch> inner) : fOwner(owner), fInner(std::move(inner)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    // Not the dual interface: that would bypass the proxy. The rest
    // (connection points, persistence) is the stand-in's own.
    if (riid == IID_IScaner714) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    return fInner->QueryInterface(riid, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++fRefs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --fRefs;
    if (refs == 0) delete this;  // owned by its references
    return refs;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return fInner->GetTypeInfoCount(count); }
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return fInner->GetTypeInfo(index, lcid, info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return fInner->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argError) override {
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) fOwner.fWrites.push_back(id);
    const HRESULT hr = fInner->Invoke(id, riid, lcid, flags, params, result, excep, argError);
    if (FAILED(hr) || !(flags & DISPATCH_PROPERTYGET) || result == nullptr) return hr;
    if (const auto fail = fOwner.fFail.find(id); fail != fOwner.fFail.end() && fail->second) {
      VARIANT bad;
      VariantInit(&bad);
      bad.vt = VT_I4;
      bad.lVal = -12345;
      DISPID named = DISPID_PROPERTYPUT;
      DISPPARAMS put{&bad, &named, 1, 1};
      fInner->Invoke(kEventNumber, IID_NULL, lcid, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr);
    }
    if (const auto value = fOwner.fIntegers.find(id); value != fOwner.fIntegers.end()) {
      VariantClear(result);
      result->vt = VT_I4;
      result->lVal = value->second;
    }
    return hr;
  }

 private:
  std::atomic<ULONG> fRefs{0};
  DriverProxy& fOwner;
  ComPtr<IDispatch> fInner;
};

// Lives as long as the DriverProxy; COM's references do not own it.
class DriverProxy::Factory final : public IClassFactory {
 public:
  Factory(DriverProxy& owner, ComPtr<IClassFactory> inner) : fOwner(owner), fInner(std::move(inner)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ComPtr<IDispatch> inner;
    if (const HRESULT hr = fInner->CreateInstance(nullptr, IID_IDispatch, &inner); FAILED(hr)) return hr;
    const ComPtr<Control> control(std::make_unique<Control>(fOwner, inner).release());
    return control->QueryInterface(riid, object);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  DriverProxy& fOwner;
  ComPtr<IClassFactory> fInner;
};

DriverProxy::DriverProxy() {
  fLibrary = LoadLibraryW(DravixDll().c_str());
  if (fLibrary == nullptr) {
    ADD_FAILURE() << "cannot load the driver stand-in";
    return;
  }
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(fLibrary, "DllGetClassObject")));
  ComPtr<IClassFactory> inner;
  if (getClassObject == nullptr || FAILED(getClassObject(CLSID_Scaner45, IID_IClassFactory, &inner))) {
    ADD_FAILURE() << "the stand-in gives no class object";
    return;
  }
  fFactory = std::make_unique<Factory>(*this, inner);
  const HRESULT hr = CoRegisterClassObject(CLSID_Scaner45, fFactory.get(), CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &fCookie);
  EXPECT_EQ(hr, S_OK) << "cannot register the proxy's class object";
}

DriverProxy::~DriverProxy() {
  if (fCookie != 0) CoRevokeClassObject(fCookie);
  // The stand-in stays loaded: controls made through the proxy may outlive it.
}

}  // namespace apptest
