#include "Units/Scaner45.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>

#include "driver/DispatchIds.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"
#include "rtl/SysErrors.h"

using Microsoft::WRL::ComPtr;

namespace {

using namespace dravix;

class TVariant {
 public:
  TVariant() noexcept { VariantInit(&fValue); }
  ~TVariant() { VariantClear(&fValue); }
  TVariant(const TVariant&) = delete;
  TVariant& operator=(const TVariant&) = delete;
  VARIANT& Get() noexcept { return fValue; }

 private:
  VARIANT fValue;
};

class TBstr {
 public:
  TBstr() = default;
  explicit TBstr(const std::wstring& text) : fValue(SysAllocStringLen(text.data(), UINT(text.size()))) {
    if (!fValue) throw std::bad_alloc();
  }
  ~TBstr() { SysFreeString(fValue); }
  TBstr(const TBstr&) = delete;
  TBstr& operator=(const TBstr&) = delete;
  BSTR* Out() noexcept {
    SysFreeString(fValue);
    fValue = nullptr;
    return &fValue;
  }
  BSTR Release() noexcept { return std::exchange(fValue, nullptr); }
  std::wstring Text() const { return fValue ? std::wstring(fValue, SysStringLen(fValue)) : std::wstring(); }

 private:
  BSTR fValue = nullptr;
};

// EXCEPINFO owns three strings.
class TExcepInfo {
 public:
  TExcepInfo() noexcept { fValue = EXCEPINFO{}; }
  ~TExcepInfo() {
    SysFreeString(fValue.bstrSource);
    SysFreeString(fValue.bstrDescription);
    SysFreeString(fValue.bstrHelpFile);
  }
  TExcepInfo(const TExcepInfo&) = delete;
  TExcepInfo& operator=(const TExcepInfo&) = delete;
  EXCEPINFO& Get() noexcept { return fValue; }

 private:
  EXCEPINFO fValue;
};

// The methods called through IScaner714's function table, in the order of
// Scaner714Slots, with the number of parameters this program passes: each
// returns its result through one [out, retval] long, except AboutBox.
struct TTableMethod {
  const wchar_t* Name;
  UINT Params;
};
constexpr TTableMethod kTableMethods[kScaner714SlotCount] = {
    {L"ShowProperties", 1}, {L"AddDevice", 1},    {L"DeleteDevice", 1},
    {L"DeleteEvent", 1},    {L"ClearDevices", 1}, {L"AboutBox", 0},
};

// A type's attributes, for one scope.
class TTypeAttr {
 public:
  explicit TTypeAttr(ITypeInfo& info) : fInfo(info) {
    if (FAILED(fInfo.GetTypeAttr(&fAttr))) fAttr = nullptr;
  }
  ~TTypeAttr() {
    if (fAttr) fInfo.ReleaseTypeAttr(fAttr);
  }
  TTypeAttr(const TTypeAttr&) = delete;
  TTypeAttr& operator=(const TTypeAttr&) = delete;
  const TYPEATTR* operator->() const noexcept { return fAttr; }
  explicit operator bool() const noexcept { return fAttr != nullptr; }

 private:
  ITypeInfo& fInfo;
  TYPEATTR* fAttr = nullptr;
};

// One function's description, for one scope.
class TFuncDesc {
 public:
  TFuncDesc(ITypeInfo& info, UINT index) : fInfo(info) {
    if (FAILED(fInfo.GetFuncDesc(index, &fDesc))) fDesc = nullptr;
  }
  ~TFuncDesc() {
    if (fDesc) fInfo.ReleaseFuncDesc(fDesc);
  }
  TFuncDesc(const TFuncDesc&) = delete;
  TFuncDesc& operator=(const TFuncDesc&) = delete;
  const FUNCDESC* operator->() const noexcept { return fDesc; }
  explicit operator bool() const noexcept { return fDesc != nullptr; }

 private:
  ITypeInfo& fInfo;
  FUNCDESC* fDesc = nullptr;
};

// The function-table side of the control's own type information for its
// dual interface; null when the control gives none, or one for another
// interface.
ComPtr<ITypeInfo> TableTypeInfo(IScaner714& dual) {
  ComPtr<ITypeInfo> info;
  if (FAILED(dual.GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) || !info) return nullptr;
  ComPtr<ITypeInfo> table;
  {
    const TTypeAttr attr(*info.Get());
    if (!attr) return nullptr;
    if (attr->typekind == TKIND_INTERFACE) {
      table = info;
    } else if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
      // A dual interface's dispatch view; index -1 leads to its table view.
      HREFTYPE ref = 0;
      if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
          FAILED(info->GetRefTypeInfo(ref, &table)) || !table) {
        return nullptr;
      }
    } else {
      return nullptr;
    }
  }
  const TTypeAttr attr(*table.Get());
  if (!attr || attr->typekind != TKIND_INTERFACE || !IsEqualGUID(attr->guid, IID_IScaner714)) return nullptr;
  return table;
}

// True when the type information puts method at the byte offset slot of the
// function table, as a method (not a property accessor) taking what this
// program passes: a long* to return the result in, and an HRESULT back.
bool ConfirmsSlot(ITypeInfo& info, const TTableMethod& method, std::size_t slot) {
  MEMBERID memid = MEMBERID_NIL;
  LPOLESTR names[] = {const_cast<LPOLESTR>(method.Name)};
  if (FAILED(info.GetIDsOfNames(names, 1, &memid))) return false;
  const TTypeAttr attr(info);
  if (!attr) return false;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    const TFuncDesc desc(info, i);
    if (!desc || desc->memid != memid || desc->invkind != INVOKE_FUNC) continue;
    if (desc->oVft < 0 || static_cast<std::size_t>(desc->oVft) != slot) return false;
    if (desc->callconv != CC_STDCALL || desc->elemdescFunc.tdesc.vt != VT_HRESULT) return false;
    if (desc->cParams != static_cast<SHORT>(method.Params)) return false;
    if (method.Params == 0) return true;
    const TYPEDESC& param = desc->lprgelemdescParam[0].tdesc;
    return param.vt == VT_PTR && param.lptdesc != nullptr && param.lptdesc->vt == VT_I4;
  }
  return false;
}

std::wstring BstrText(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

[[noreturn]] void RaiseOleError(HRESULT hr, const std::wstring& description) {
  std::wstring message = description.empty() ? OleErrorMessage(hr) : description;
  // Descriptions often end in a line break meant for a message box.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
    message.pop_back();
  }
  throw rtl::EOleSysError(std::move(message), static_cast<std::int32_t>(hr));
}

}  // namespace

std::wstring OleErrorMessage(HRESULT hr) {
  return rtl::SysErrorMessage(static_cast<DWORD>(hr), L"OLE error");
}

void OleCheck(HRESULT hr) {
  if (FAILED(hr)) RaiseOleError(hr, {});
}

// The control's outgoing interface, implemented by the client. Its lifetime
// is its reference count (the driver holds it while advised), so it may
// outlive the binding: the binding detaches it first, and a late call is
// dropped.
class TScaner45::TEventSink final : public IDispatch {
 public:
  static ComPtr<TEventSink> Create(TScaner45* owner) {
    // Born with no reference: the first is the ComPtr's. (mingw's
    // ComPtr::Attach adds a reference, so it cannot adopt a new object.)
    return ComPtr<TEventSink>(std::make_unique<TEventSink>(owner).release());
  }
  explicit TEventSink(TScaner45* owner) noexcept : fOwner(owner) {}
  void Detach() noexcept { fOwner = nullptr; }

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_IScanerEvents) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++fRefCount; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --fRefCount;
    if (count == 0) delete this;  // created by Create, owned by its references
    return count;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      const std::wstring name = names[i] ? names[i] : L"";
      ids[i] = DISPID_UNKNOWN;
      if (i == 0 && _wcsicmp(name.c_str(), L"OnDataEvent") == 0) {
        ids[i] = kOnDataEvent;
      } else if (i == 0 && _wcsicmp(name.c_str(), L"OnKeyEvent") == 0) {
        ids[i] = kOnKeyEvent;
      } else {
        hr = DISP_E_UNKNOWNNAME;
      }
    }
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT* argError) override {
    // A handler may free the binding and so unadvise this sink mid-call.
    const ComPtr<TEventSink> keepAlive(this);
    if (result) VariantInit(result);
    if (id != kOnDataEvent && id != kOnKeyEvent) return DISP_E_MEMBERNOTFOUND;
    if (!params) return E_INVALIDARG;
    const UINT expected = id == kOnDataEvent ? 1 : 3;
    if (params->cArgs != expected) return DISP_E_BADPARAMCOUNT;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    TScaner45* const owner = fOwner;
    if (!owner) return S_OK;
    // Nothing may unwind into the driver: what escapes a handler goes to
    // the application from the edge of the program's own handling.
    HRESULT hr = S_OK;
    rtl::Guarded(
        [&] {
          // Arguments arrive last first.
          if (id == kOnDataEvent) {
            TVariant eventId;
            if (FAILED(VariantChangeType(&eventId.Get(), &params->rgvarg[0], 0, VT_I4))) {
              if (argError) *argError = 0;
              hr = DISP_E_TYPEMISMATCH;
              return;
            }
            owner->DataEvent(eventId.Get().lVal);
          } else {
            TVariant text[3];
            for (UINT i = 0; i < 3; ++i) {
              if (FAILED(VariantChangeType(&text[i].Get(), &params->rgvarg[2 - i], 0, VT_BSTR))) {
                if (argError) *argError = 2 - i;
                hr = DISP_E_TYPEMISMATCH;
                return;
              }
            }
            owner->KeyEvent(BstrText(text[0].Get().bstrVal), BstrText(text[1].Get().bstrVal),
                            BstrText(text[2].Get().bstrVal));
          }
        },
        [&] { rtl::ApplicationHandleException(owner); });
    return hr;
  }

 private:
  ~TEventSink() = default;
  friend struct std::default_delete<TEventSink>;

  std::atomic<ULONG> fRefCount{0};
  TScaner45* fOwner;
};

TScaner45::TScaner45(TMethodBinding binding) {
  OleCheck(CoCreateInstance(CLSID_Scaner45, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                            IID_IDispatch, reinterpret_cast<void**>(fControl.GetAddressOf())));
  // A control expects its host to initialise it before use.
  ComPtr<IPersistStreamInit> persist;
  if (SUCCEEDED(fControl.As(&persist))) {
    const HRESULT hr = persist->InitNew();
    if (FAILED(hr) && hr != E_NOTIMPL && hr != E_UNEXPECTED) OleCheck(hr);
  }
  if (binding == TMethodBinding::Early) {
    // The order of the dual interface's function table is the driver's own
    // choice: a method goes through the table only where the control's type
    // information puts it at the slot this program calls; the others, and all
    // of them without the dual interface, go by name.
    ComPtr<IScaner714> dual;
    if (SUCCEEDED(fControl.As(&dual))) {
      if (const ComPtr<ITypeInfo> table = TableTypeInfo(*dual.Get())) {
        for (std::size_t i = 0; i < kScaner714SlotCount; ++i) {
          fTableSlots[i] = ConfirmsSlot(*table.Get(), kTableMethods[i], Scaner714Slots[i]);
        }
      }
      if (fTableSlots.any()) fEarly = dual;
    }
  }
  ComPtr<IConnectionPointContainer> container;
  OleCheck(fControl.As(&container));
  OleCheck(container->FindConnectionPoint(DIID_IScanerEvents, &fEventPoint));
  fSink = TEventSink::Create(this);
  OleCheck(fEventPoint->Advise(fSink.Get(), &fCookie));
}

TScaner45::~TScaner45() {
  fSink->Detach();
  fEventPoint->Unadvise(fCookie);
}

void TScaner45::Invoke(DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result) {
  TExcepInfo info;
  UINT argError = 0;
  const HRESULT hr =
      fControl->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info.Get(), &argError);
  if (SUCCEEDED(hr)) return;
  if (hr == DISP_E_EXCEPTION) {
    EXCEPINFO& e = info.Get();
    if (e.pfnDeferredFillIn) e.pfnDeferredFillIn(&e);
    const HRESULT code = e.scode != 0 ? e.scode : hr;
    RaiseOleError(code, BstrText(e.bstrDescription));
  }
  RaiseOleError(hr, {});
}

void TScaner45::GetProperty(DISPID id, VARTYPE type, VARIANT& value) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  TVariant result;
  Invoke(id, DISPATCH_PROPERTYGET, none, &result.Get());
  OleCheck(VariantChangeType(&value, &result.Get(), 0, type));
}

void TScaner45::SetProperty(DISPID id, VARIANT& value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  Invoke(id, DISPATCH_PROPERTYPUT, params, nullptr);
}

std::int32_t TScaner45::GetInteger(DISPID id) {
  TVariant value;
  GetProperty(id, VT_I4, value.Get());
  return value.Get().lVal;
}

void TScaner45::SetInteger(DISPID id, std::int32_t value) {
  TVariant arg;
  arg.Get().vt = VT_I4;
  arg.Get().lVal = value;
  SetProperty(id, arg.Get());
}

std::wstring TScaner45::GetString(DISPID id) {
  TVariant value;
  GetProperty(id, VT_BSTR, value.Get());
  return BstrText(value.Get().bstrVal);
}

void TScaner45::SetString(DISPID id, const std::wstring& value) {
  TBstr text(value);
  TVariant arg;
  arg.Get().vt = VT_BSTR;
  arg.Get().bstrVal = text.Release();
  SetProperty(id, arg.Get());
}

bool TScaner45::GetBoolean(DISPID id) {
  // Any non-zero value is true, also a driver's 1 in place of -1.
  TVariant value;
  GetProperty(id, VT_BOOL, value.Get());
  return value.Get().boolVal != 0;
}

void TScaner45::SetBoolean(DISPID id, bool value) {
  TVariant arg;
  arg.Get().vt = VT_BOOL;
  arg.Get().boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  SetProperty(id, arg.Get());
}

DISPID TScaner45::DispIdOf(const wchar_t* name) {
  const auto found = fDispIds.find(name);
  if (found != fDispIds.end()) return found->second;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  OleCheck(fControl->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  fDispIds.emplace(name, id);
  return id;
}

std::int32_t TScaner45::CallByName(const wchar_t* name) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  TVariant result;
  Invoke(DispIdOf(name), DISPATCH_METHOD, none, &result.Get());
  TVariant code;
  OleCheck(VariantChangeType(&code.Get(), &result.Get(), 0, VT_I4));
  return code.Get().lVal;
}

void TScaner45::RaiseEarlyBoundError(HRESULT hr) {
  std::wstring description;
  ComPtr<ISupportErrorInfo> support;
  if (SUCCEEDED(fEarly.As(&support)) && support->InterfaceSupportsErrorInfo(IID_IScaner714) == S_OK) {
    ComPtr<IErrorInfo> error;
    if (GetErrorInfo(0, &error) == S_OK && error) {
      TBstr text;
      if (SUCCEEDED(error->GetDescription(text.Out()))) description = text.Text();
    }
  }
  RaiseOleError(hr, description);
}

bool TScaner45::EarlyBound() const noexcept {
  return fTableSlots[kSlotShowProperties] && fTableSlots[kSlotAddDevice] && fTableSlots[kSlotDeleteDevice] &&
         fTableSlots[kSlotDeleteEvent];
}

template <typename EarlyCall>
std::int32_t TScaner45::CallMethod(std::size_t method, EarlyCall call) {
  if (!fTableSlots[method]) return CallByName(kTableMethods[method].Name);
  LONG result = 0;
  const HRESULT hr = call(*fEarly.Get(), &result);
  if (FAILED(hr)) RaiseEarlyBoundError(hr);
  return result;
}

void TScaner45::DataEvent(std::int32_t EventID) {
  // A copy: the handler may replace itself or free this binding.
  const TScaner45DataEvent handler = fOnDataEvent;
  if (handler) handler(*this, EventID);
}

void TScaner45::KeyEvent(const std::wstring& Source, const std::wstring& Message, const std::wstring& Data) {
  const TScaner45KeyEvent handler = fOnKeyEvent;
  if (handler) handler(*this, Source, Message, Data);
}

std::int32_t TScaner45::GetResultCode() { return GetInteger(kResultCode); }
std::wstring TScaner45::GetResultDescription() { return GetString(kResultDescription); }
std::wstring TScaner45::GetVersion() { return GetString(kVersion); }
std::int32_t TScaner45::GetCurrentDeviceIndex() { return GetInteger(kCurrentDeviceIndex); }
void TScaner45::SetCurrentDeviceIndex(std::int32_t value) { SetInteger(kCurrentDeviceIndex, value); }
std::int32_t TScaner45::GetCurrentDeviceNumber() { return GetInteger(kCurrentDeviceNumber); }
void TScaner45::SetCurrentDeviceNumber(std::int32_t value) { SetInteger(kCurrentDeviceNumber, value); }
std::wstring TScaner45::GetCurrentDeviceName() { return GetString(kCurrentDeviceName); }
void TScaner45::SetCurrentDeviceName(const std::wstring& value) { SetString(kCurrentDeviceName, value); }
std::int32_t TScaner45::GetDeviceCount() { return GetInteger(kDeviceCount); }
std::int32_t TScaner45::GetPortNumber() { return GetInteger(kPortNumber); }
void TScaner45::SetPortNumber(std::int32_t value) { SetInteger(kPortNumber, value); }
std::int32_t TScaner45::GetBaudRate() { return GetInteger(kBaudRate); }
void TScaner45::SetBaudRate(std::int32_t value) { SetInteger(kBaudRate, value); }
std::int32_t TScaner45::GetParity() { return GetInteger(kParity); }
void TScaner45::SetParity(std::int32_t value) { SetInteger(kParity, value); }
std::int32_t TScaner45::GetDataBits() { return GetInteger(kDataBits); }
void TScaner45::SetDataBits(std::int32_t value) { SetInteger(kDataBits, value); }
std::int32_t TScaner45::GetStopBits() { return GetInteger(kStopBits); }
void TScaner45::SetStopBits(std::int32_t value) { SetInteger(kStopBits, value); }
std::int32_t TScaner45::GetStopFlag() { return GetInteger(kStopFlag); }
void TScaner45::SetStopFlag(std::int32_t value) { SetInteger(kStopFlag, value); }
std::int32_t TScaner45::GetLockDevices() { return GetInteger(kLockDevices); }
void TScaner45::SetLockDevices(std::int32_t value) { SetInteger(kLockDevices, value); }
std::wstring TScaner45::GetDeviceDescription() { return GetString(kDeviceDescription); }
bool TScaner45::GetDeviceEnabled() { return GetBoolean(kDeviceEnabled); }
void TScaner45::SetDeviceEnabled(bool value) { SetBoolean(kDeviceEnabled, value); }
std::int32_t TScaner45::GetModel() { return GetInteger(kModel); }
void TScaner45::SetModel(std::int32_t value) { SetInteger(kModel, value); }
bool TScaner45::GetAutoDisable() { return GetBoolean(kAutoDisable); }
void TScaner45::SetAutoDisable(bool value) { SetBoolean(kAutoDisable, value); }
std::int32_t TScaner45::GetDataCount() { return GetInteger(kDataCount); }
bool TScaner45::GetDataEventEnabled() { return GetBoolean(kDataEventEnabled); }
void TScaner45::SetDataEventEnabled(bool value) { SetBoolean(kDataEventEnabled, value); }
std::int32_t TScaner45::GetEventNumber() { return GetInteger(kEventNumber); }
void TScaner45::SetEventNumber(std::int32_t value) { SetInteger(kEventNumber, value); }
std::wstring TScaner45::GetScanData() { return GetString(kScanData); }
std::wstring TScaner45::GetTrack1() { return GetString(kTrack1); }
std::wstring TScaner45::GetTrack2() { return GetString(kTrack2); }
std::wstring TScaner45::GetTrack3() { return GetString(kTrack3); }
void TScaner45::SetPropertyPageEnabled(bool value) { SetBoolean(kPropertyPageEnabled, value); }

std::int32_t TScaner45::ShowProperties() {
  return CallMethod(kSlotShowProperties, [](IScaner714& c, LONG* r) { return c.ShowProperties(r); });
}
std::int32_t TScaner45::AddDevice() {
  return CallMethod(kSlotAddDevice, [](IScaner714& c, LONG* r) { return c.AddDevice(r); });
}
std::int32_t TScaner45::DeleteDevice() {
  return CallMethod(kSlotDeleteDevice, [](IScaner714& c, LONG* r) { return c.DeleteDevice(r); });
}
std::int32_t TScaner45::DeleteEvent() {
  return CallMethod(kSlotDeleteEvent, [](IScaner714& c, LONG* r) { return c.DeleteEvent(r); });
}
std::int32_t TScaner45::ClearDevices() {
  return CallMethod(kSlotClearDevices, [](IScaner714& c, LONG* r) { return c.ClearDevices(r); });
}

void TScaner45::AboutBox() {
  if (fTableSlots[kSlotAboutBox]) {
    const HRESULT hr = fEarly->AboutBox();
    if (FAILED(hr)) RaiseEarlyBoundError(hr);
    return;
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Invoke(DispIdOf(L"AboutBox"), DISPATCH_METHOD, none, nullptr);
}
