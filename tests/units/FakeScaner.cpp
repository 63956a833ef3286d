#include "FakeScaner.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <array>
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

// The function-table view of a dual interface's type information.
ComPtr<ITypeInfo> TableView(ITypeInfo& info) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info.GetTypeAttr(&attr))) throw std::runtime_error("no type attributes");
  const bool dispatch = attr->typekind == TKIND_DISPATCH;
  info.ReleaseTypeAttr(attr);
  ComPtr<ITypeInfo> table(&info);
  if (dispatch) {
    HREFTYPE ref = 0;
    if (FAILED(info.GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
        FAILED(info.GetRefTypeInfo(ref, &table))) {
      throw std::runtime_error("no function-table view of the dual interface");
    }
  }
  return table;
}

class FakeScaner final : public IDispatch, public IConnectionPointContainer, public IConnectionPoint {
 public:
  explicit FakeScaner(FakeScanerState& state) : fState(state) {
    ++fState.Created;
    ++fState.Alive;
    if (fState.DualTypeInfo) BuildTable(*fState.DualTypeInfo.Get());
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
    } else if (riid == IID_IScaner714 && fFace.Table) {
      *object = &fFace;
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
    *count = GivesTypeInfo() ? 1 : 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    *info = nullptr;
    if (!GivesTypeInfo()) return E_NOTIMPL;
    if (index != 0) return DISP_E_BADINDEX;
    return fState.DualTypeInfo.CopyTo(info);
  }
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
    if (const auto failure = fState.Failures.find(id);
        failure != fState.Failures.end() && failure->second.Remaining != 0 &&
        (failure->second.Kinds == 0 || (failure->second.Kinds & flags) != 0)) {
      if (failure->second.Remaining > 0) --failure->second.Remaining;
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
  // IScaner714 as a caller sees it: an object whose first word points to
  // the function table. The entries take the face as their first argument.
  struct Face {
    const void* const* Table;
    FakeScaner* Owner;
  };

  bool GivesTypeInfo() const { return fState.DualTypeInfo && !fState.TypeInfoHidden; }

  // Every slot where the type information puts it: IUnknown's and
  // IDispatch's first, the methods of kMethodNames by name, and stubs for
  // the property accessors the binding never calls through the table.
  void BuildTable(ITypeInfo& info) {
    const ComPtr<ITypeInfo> table = TableView(info);
    TYPEATTR* attr = nullptr;
    if (FAILED(table->GetTypeAttr(&attr))) throw std::runtime_error("no type attributes");
    const UINT count = attr->cFuncs;
    table->ReleaseTypeAttr(attr);
    fTable = {Entry(&FaceQueryInterface), Entry(&FaceAddRef),   Entry(&FaceRelease),
              Entry(&FaceTypeInfoCount),  Entry(&FaceTypeInfo), Entry(&FaceIDsOfNames),
              Entry(&FaceInvoke)};
    for (UINT i = 0; i < count; ++i) {
      FUNCDESC* desc = nullptr;
      if (FAILED(table->GetFuncDesc(i, &desc))) throw std::runtime_error("no function description");
      BSTR name = nullptr;
      table->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
      const std::wstring text = name ? name : L"";
      SysFreeString(name);
      const std::size_t slot = static_cast<std::size_t>(desc->oVft) / sizeof(void*);
      if (slot >= fTable.size()) fTable.resize(slot + 1, nullptr);
      const auto method = std::find(kMethodNames.begin(), kMethodNames.end(), text);
      if (desc->invkind == INVOKE_FUNC && method != kMethodNames.end()) {
        fTable[slot] = kFaceMethods[static_cast<std::size_t>(method - kMethodNames.begin())];
      } else {
        fTable[slot] = Entry(&FaceAccessor);
      }
      table->ReleaseFuncDesc(desc);
    }
    fFace = {fTable.data(), this};
  }

  HRESULT TableCall(std::size_t index, LONG* result) {
    const std::wstring& name = kMethodNames[index];
    fState.TableCalls.push_back(name);
    if (result) *result = fState.MethodResults.count(name) ? fState.MethodResults[name] : 0;
    return S_OK;
  }

  template <class Fn>
  static const void* Entry(Fn* fn) {
    return reinterpret_cast<const void*>(fn);
  }
  static HRESULT STDMETHODCALLTYPE FaceQueryInterface(Face* self, REFIID riid, void** object) {
    return self->Owner->QueryInterface(riid, object);
  }
  static ULONG STDMETHODCALLTYPE FaceAddRef(Face* self) { return self->Owner->AddRef(); }
  static ULONG STDMETHODCALLTYPE FaceRelease(Face* self) { return self->Owner->Release(); }
  static HRESULT STDMETHODCALLTYPE FaceTypeInfoCount(Face* self, UINT* count) {
    return self->Owner->GetTypeInfoCount(count);
  }
  static HRESULT STDMETHODCALLTYPE FaceTypeInfo(Face* self, UINT index, LCID lcid, ITypeInfo** info) {
    return self->Owner->GetTypeInfo(index, lcid, info);
  }
  static HRESULT STDMETHODCALLTYPE FaceIDsOfNames(Face* self, REFIID riid, LPOLESTR* names, UINT count,
                                                  LCID lcid, DISPID* ids) {
    return self->Owner->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  static HRESULT STDMETHODCALLTYPE FaceInvoke(Face* self, DISPID id, REFIID riid, LCID lcid, WORD flags,
                                              DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                                              UINT* arg) {
    return self->Owner->Invoke(id, riid, lcid, flags, params, result, info, arg);
  }
  template <std::size_t Index>
  static HRESULT STDMETHODCALLTYPE FaceMethod(Face* self, LONG* result) {
    return self->Owner->TableCall(Index, result);
  }
  static HRESULT STDMETHODCALLTYPE FaceAboutBox(Face* self) { return self->Owner->TableCall(5, nullptr); }
  // Every property accessor of the interface takes one argument.
  static HRESULT STDMETHODCALLTYPE FaceAccessor(Face*, void*) { return E_NOTIMPL; }

  // The entries of kMethodNames, in its order.
  static inline const std::array<const void*, 6> kFaceMethods = {Entry(&FaceMethod<0>), Entry(&FaceMethod<1>),
                                                                 Entry(&FaceMethod<2>), Entry(&FaceMethod<3>),
                                                                 Entry(&FaceMethod<4>), Entry(&FaceAboutBox)};

  std::atomic<ULONG> fRefCount{0};
  FakeScanerState& fState;
  std::vector<const void*> fTable;
  Face fFace{nullptr, nullptr};
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
