#include "driver/server/ScanerControl.h"

#include <oleauto.h>
#include <olectl.h>

#include <memory>
#include <new>
#include <string>

#include "driver/core/DeviceStore.h"
#include "driver/core/Framing.h"
#include "driver/server/PropertiesDialog.h"

using Microsoft::WRL::ComPtr;

namespace dravix::server {

namespace {

constexpr wchar_t kWindowClass[] = L"DravixScanerNotify";
constexpr wchar_t kCurrentValue[] = L"CurrentDevice";
constexpr wchar_t kPropertyPageValue[] = L"PropertyPageEnabled";
constexpr DISPID kDataEventId = 1;
constexpr DISPID kKeyEventId = 201;

// Scanners send 8-bit text; Cyrillic ones in code page 1251.
std::wstring FromDevice(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n = MultiByteToWideChar(1251, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(1251, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

HRESULT ReturnString(std::wstring_view text, BSTR* value) {
  *value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *value ? S_OK : E_OUTOFMEMORY;
}

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* control = reinterpret_cast<TScanerControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (control && (message == WM_DRAVIX_INPUT || message == WM_DRAVIX_FIRE)) {
    // The client may release the control from inside an event handler.
    control->AddRef();
    try {
      if (message == WM_DRAVIX_INPUT) {
        control->TakeInput();
      } else {
        control->FireWaiting();
      }
    } catch (...) {
      // Nothing may unwind through the window manager; out of memory while
      // queueing drops this input, the next message carries on.
    }
    control->Release();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass() {
  WNDCLASSEXW cls{};
  cls.cbSize = sizeof(cls);
  cls.lpfnWndProc = NotifyWindowProc;
  cls.hInstance = ModuleInstance();
  cls.lpszClassName = kWindowClass;
  return RegisterClassExW(&cls) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

HRESULT CreateScanerControl(REFIID riid, void** object) { return TScanerControl::Create(riid, object); }

HRESULT TScanerControl::Create(REFIID riid, void** object) {
  std::unique_ptr<TScanerControl> control;
  try {
    control = std::make_unique<TScanerControl>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (const HRESULT hr = control->Init(); FAILED(hr)) return hr;
  // From here the reference count owns the object.
  TScanerControl* raw = control.release();
  const HRESULT hr = raw->QueryInterface(riid, object);
  raw->Release();
  return hr;
}

TScanerControl::TScanerControl() : fEvents(*static_cast<IScaner714*>(this), *this, DIID_IScanerEvents) {}

HRESULT TScanerControl::Init() {
  if (const HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &fTypeLib); FAILED(hr)) return hr;
  if (const HRESULT hr = fTypeLib->GetTypeInfoOfGuid(IID_IScaner714, &fTypeInfo); FAILED(hr)) return hr;
  if (!RegisterWindowClass()) return HRESULT_FROM_WIN32(GetLastError());
  fWindow =
      CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ModuleInstance(), this);
  if (!fWindow) return HRESULT_FROM_WIN32(GetLastError());
  fInbox = std::make_shared<TInbox>(fWindow);
  for (TDevice& device : fStore.LoadDevices())
    fDevices.push_back({std::move(device), fNextDeviceId++, nullptr});
  fCurrent = fStore.LoadNumber(kCurrentValue, 0);
  if (fCurrent >= fDevices.size()) fCurrent = 0;
  fPropertyPageEnabled = fStore.LoadNumber(kPropertyPageValue, 1) != 0;
  return S_OK;
}

TScanerControl::~TScanerControl() {
  // Readers first: they post to the window.
  for (TDeviceSlot& slot : fDevices) slot.Reader.reset();
  if (fWindow) {
    SetWindowLongPtrW(fWindow, GWLP_USERDATA, 0);
    DestroyWindow(fWindow);
  }
  fEvents.Clear();
}

HRESULT TScanerControl::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IScaner714) {
    *object = static_cast<IScaner714*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2) {
    *object = static_cast<IProvideClassInfo2*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG TScanerControl::AddRef() { return ++fRefs; }

ULONG TScanerControl::Release() {
  const ULONG refs = --fRefs;
  if (refs == 0) delete this;  // COM objects own themselves
  return refs;
}

// ---- IDispatch ------------------------------------------------------------

HRESULT TScanerControl::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT TScanerControl::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  fTypeInfo.CopyTo(info);
  return S_OK;
}

HRESULT TScanerControl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return DispGetIDsOfNames(fTypeInfo.Get(), names, count, ids);
}

HRESULT TScanerControl::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* excep, UINT* argError) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return DispInvoke(static_cast<IScaner714*>(this), fTypeInfo.Get(), id, flags, params, result, excep,
                    argError);
}

// ---- helpers ----------------------------------------------------------------

HRESULT TScanerControl::Done(int32_t code) {
  fResultCode = code;
  return S_OK;
}

template <class F>
HRESULT TScanerControl::Guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    fResultCode = rcUnknown;
    return E_OUTOFMEMORY;
  } catch (...) {
    fResultCode = rcUnknown;
    return E_UNEXPECTED;
  }
}

TScanerControl::TDeviceSlot* TScanerControl::Current() {
  return fCurrent < fDevices.size() ? &fDevices[fCurrent] : nullptr;
}

bool TScanerControl::SaveDevices() {
  std::vector<TDevice> devices;
  for (const TDeviceSlot& slot : fDevices) devices.push_back(slot.Device);
  return fStore.SaveDevices(devices) && fStore.SaveNumber(kCurrentValue, static_cast<DWORD>(fCurrent));
}

int32_t TScanerControl::Enable(TDeviceSlot& slot) {
  if (slot.Reader) return rcOk;
  if (!UsesSerialPort(slot.Device.Params.Model)) return rcNotSupported;
  return TSerialReader::Start(slot.Device, slot.Id, fInbox, slot.Reader);
}

HRESULT TScanerControl::GetParam(TParam p, LONG* value) {
  if (!value) return E_POINTER;
  const TDeviceSlot* slot = Current();
  *value = slot ? slot->Device.Params.Get(p) : 0;
  return Done(slot ? rcOk : rcDeviceNotFound);
}

HRESULT TScanerControl::PutParam(TParam p, LONG value) {
  return Guarded([&] {
    TDeviceSlot* slot = Current();
    if (!slot) return Done(rcDeviceNotFound);
    if (!IsValidParam(p, value)) return Done(rcInvalidValue);
    if (slot->Device.Params.Get(p) == value) return Done(rcOk);
    const TDevice before = slot->Device;
    slot->Device.Params.Set(p, value);
    if (!SaveDevices()) {
      slot->Device = before;
      return Done(rcUnknown);
    }
    // An enabled device is reopened with its new settings; if that fails it
    // stays disabled and the caller gets the port's result.
    if (slot->Reader) {
      slot->Reader.reset();
      return Done(Enable(*slot));
    }
    return Done(rcOk);
  });
}

HRESULT TScanerControl::GetEventText(std::wstring TDataEvent::*field, BSTR* value) {
  if (!value) return E_POINTER;
  const TDataEvent* event = fQueue.SelectedEvent();
  // With no event selected the data is empty; that is not an error, so a
  // client that refreshes after deleting its event sees an empty field.
  Done(rcOk);
  return ReturnString(event ? std::wstring_view(event->*field) : std::wstring_view(), value);
}

HRESULT TScanerControl::Method(LONG* result, int32_t (TScanerControl::*body)()) {
  if (!result) return E_POINTER;
  return Guarded([&] {
    *result = (this->*body)();
    return Done(*result);
  });
}

// ---- properties -------------------------------------------------------------

HRESULT TScanerControl::get_ResultCode(LONG* value) {
  if (!value) return E_POINTER;
  *value = fResultCode;
  return S_OK;
}

HRESULT TScanerControl::get_ResultDescription(BSTR* value) {
  if (!value) return E_POINTER;
  return ReturnString(ResultText(fResultCode), value);
}

HRESULT TScanerControl::get_Version(BSTR* value) {
  if (!value) return E_POINTER;
  return Guarded([&] {
    Done(rcOk);
    return ReturnString(ModuleVersion(), value);
  });
}

HRESULT TScanerControl::get_CurrentDeviceIndex(LONG* value) {
  if (!value) return E_POINTER;
  *value = static_cast<LONG>(fCurrent);
  return Done(rcOk);
}

HRESULT TScanerControl::put_CurrentDeviceIndex(LONG value) {
  if (value < 0 || static_cast<size_t>(value) >= fDevices.size()) return Done(rcDeviceNotFound);
  fCurrent = static_cast<size_t>(value);
  fStore.SaveNumber(kCurrentValue, static_cast<DWORD>(fCurrent));
  return Done(rcOk);
}

HRESULT TScanerControl::get_CurrentDeviceNumber(LONG* value) {
  if (!value) return E_POINTER;
  *value = static_cast<LONG>(fCurrent + 1);
  return Done(rcOk);
}

HRESULT TScanerControl::put_CurrentDeviceNumber(LONG value) {
  if (value < 1) return Done(rcDeviceNotFound);
  return put_CurrentDeviceIndex(value - 1);
}

HRESULT TScanerControl::get_CurrentDeviceName(BSTR* value) {
  if (!value) return E_POINTER;
  return Guarded([&] {
    const TDeviceSlot* slot = Current();
    Done(slot ? rcOk : rcDeviceNotFound);
    return ReturnString(slot ? std::wstring_view(slot->Device.Name) : std::wstring_view(), value);
  });
}

HRESULT TScanerControl::put_CurrentDeviceName(BSTR value) {
  return Guarded([&] {
    TDeviceSlot* slot = Current();
    if (!slot) return Done(rcDeviceNotFound);
    const std::wstring name(value ? value : L"", value ? SysStringLen(value) : 0);
    if (!IsValidName(name)) return Done(rcInvalidValue);
    const std::wstring before = std::exchange(slot->Device.Name, name);
    if (!SaveDevices()) {
      slot->Device.Name = before;
      return Done(rcUnknown);
    }
    return Done(rcOk);
  });
}

HRESULT TScanerControl::get_DeviceCount(LONG* value) {
  if (!value) return E_POINTER;
  *value = static_cast<LONG>(fDevices.size());
  return Done(rcOk);
}

HRESULT TScanerControl::get_PortNumber(LONG* value) { return GetParam(TParam::Port, value); }
HRESULT TScanerControl::put_PortNumber(LONG value) { return PutParam(TParam::Port, value); }
HRESULT TScanerControl::get_BaudRate(LONG* value) { return GetParam(TParam::BaudRate, value); }
HRESULT TScanerControl::put_BaudRate(LONG value) { return PutParam(TParam::BaudRate, value); }
HRESULT TScanerControl::get_Parity(LONG* value) { return GetParam(TParam::Parity, value); }
HRESULT TScanerControl::put_Parity(LONG value) { return PutParam(TParam::Parity, value); }
HRESULT TScanerControl::get_DataBits(LONG* value) { return GetParam(TParam::DataBits, value); }
HRESULT TScanerControl::put_DataBits(LONG value) { return PutParam(TParam::DataBits, value); }
HRESULT TScanerControl::get_StopBits(LONG* value) { return GetParam(TParam::StopBits, value); }
HRESULT TScanerControl::put_StopBits(LONG value) { return PutParam(TParam::StopBits, value); }
HRESULT TScanerControl::get_StopFlag(LONG* value) { return GetParam(TParam::StopFlag, value); }
HRESULT TScanerControl::put_StopFlag(LONG value) { return PutParam(TParam::StopFlag, value); }
HRESULT TScanerControl::get_Model(LONG* value) { return GetParam(TParam::Model, value); }
HRESULT TScanerControl::put_Model(LONG value) { return PutParam(TParam::Model, value); }

HRESULT TScanerControl::get_LockDevices(LONG* value) {
  if (!value) return E_POINTER;
  *value = fLockDevices;
  return Done(rcOk);
}

HRESULT TScanerControl::put_LockDevices(LONG value) {
  if (value != 0 && value != 1) return Done(rcInvalidValue);
  fLockDevices = value;
  return Done(rcOk);
}

HRESULT TScanerControl::get_DeviceDescription(BSTR* value) {
  if (!value) return E_POINTER;
  return Guarded([&] {
    const TDeviceSlot* slot = Current();
    Done(slot ? rcOk : rcDeviceNotFound);
    return ReturnString(slot ? DescribeDevice(slot->Device) : std::wstring(), value);
  });
}

HRESULT TScanerControl::get_DeviceEnabled(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  const TDeviceSlot* slot = Current();
  *value = slot && slot->Reader ? VARIANT_TRUE : VARIANT_FALSE;
  return Done(slot ? rcOk : rcDeviceNotFound);
}

HRESULT TScanerControl::put_DeviceEnabled(VARIANT_BOOL value) {
  return Guarded([&] {
    TDeviceSlot* slot = Current();
    if (!slot) return Done(rcDeviceNotFound);
    if (value == VARIANT_FALSE) {
      slot->Reader.reset();
      return Done(rcOk);
    }
    return Done(Enable(*slot));
  });
}

HRESULT TScanerControl::get_AutoDisable(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  *value = fQueue.AutoDisable() ? VARIANT_TRUE : VARIANT_FALSE;
  return Done(rcOk);
}

HRESULT TScanerControl::put_AutoDisable(VARIANT_BOOL value) {
  fQueue.SetAutoDisable(value != VARIANT_FALSE);
  return Done(rcOk);
}

HRESULT TScanerControl::get_DataCount(LONG* value) {
  if (!value) return E_POINTER;
  *value = static_cast<LONG>(fQueue.Count());
  return Done(rcOk);
}

HRESULT TScanerControl::get_DataEventEnabled(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  *value = fQueue.FiringEnabled() ? VARIANT_TRUE : VARIANT_FALSE;
  return Done(rcOk);
}

HRESULT TScanerControl::put_DataEventEnabled(VARIANT_BOOL value) {
  const bool enable = value != VARIANT_FALSE;
  fQueue.SetFiringEnabled(enable);
  // Held events fire from the message loop, not from inside this call.
  if (enable && fQueue.WaitingToFire() > 0) PostMessageW(fWindow, WM_DRAVIX_FIRE, 0, 0);
  return Done(rcOk);
}

HRESULT TScanerControl::get_EventNumber(LONG* value) {
  if (!value) return E_POINTER;
  *value = fQueue.Selected();
  return Done(rcOk);
}

HRESULT TScanerControl::put_EventNumber(LONG value) {
  return Done(fQueue.Select(value) ? rcOk : rcInvalidValue);
}

HRESULT TScanerControl::get_ScanData(BSTR* value) { return GetEventText(&TDataEvent::Data, value); }
HRESULT TScanerControl::get_Track1(BSTR* value) { return GetEventText(&TDataEvent::Track1, value); }
HRESULT TScanerControl::get_Track2(BSTR* value) { return GetEventText(&TDataEvent::Track2, value); }
HRESULT TScanerControl::get_Track3(BSTR* value) { return GetEventText(&TDataEvent::Track3, value); }

HRESULT TScanerControl::get_PropertyPageEnabled(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  *value = fPropertyPageEnabled ? VARIANT_TRUE : VARIANT_FALSE;
  return Done(rcOk);
}

HRESULT TScanerControl::put_PropertyPageEnabled(VARIANT_BOOL value) {
  fPropertyPageEnabled = value != VARIANT_FALSE;
  fStore.SaveNumber(kPropertyPageValue, fPropertyPageEnabled ? 1 : 0);
  return Done(rcOk);
}

// ---- methods ----------------------------------------------------------------

HRESULT TScanerControl::ShowProperties(LONG* result) {
  return Method(result, &TScanerControl::DoShowProperties);
}
HRESULT TScanerControl::AddDevice(LONG* result) { return Method(result, &TScanerControl::DoAddDevice); }
HRESULT TScanerControl::DeleteDevice(LONG* result) { return Method(result, &TScanerControl::DoDeleteDevice); }
HRESULT TScanerControl::DeleteEvent(LONG* result) { return Method(result, &TScanerControl::DoDeleteEvent); }
HRESULT TScanerControl::ClearDevices(LONG* result) { return Method(result, &TScanerControl::DoClearDevices); }

int32_t TScanerControl::DoShowProperties() {
  std::vector<TDevice> devices;
  for (const TDeviceSlot& slot : fDevices) devices.push_back(slot.Device);
  const auto chosen = ShowPropertiesDialog(GetActiveWindow(), devices, fCurrent, fPropertyPageEnabled);
  // The device list cannot change while the modal dialog runs, except from
  // an event handler the dialog's loop dispatched: check the index again.
  if (chosen && *chosen < fDevices.size() && *chosen != fCurrent) {
    fCurrent = *chosen;
    fStore.SaveNumber(kCurrentValue, static_cast<DWORD>(fCurrent));
  }
  return rcOk;
}

int32_t TScanerControl::DoAddDevice() {
  if (fLockDevices || fDevices.size() >= kMaxDevices) return rcCannotAdd;
  TDevice device{L"Устройство " + std::to_wstring(fDevices.size() + 1), {}};
  const size_t before = fCurrent;
  fDevices.push_back({std::move(device), fNextDeviceId++, nullptr});
  fCurrent = fDevices.size() - 1;
  if (!SaveDevices()) {
    fDevices.pop_back();
    fCurrent = before;
    return rcCannotAdd;
  }
  return rcOk;
}

int32_t TScanerControl::DoDeleteDevice() {
  // The driver always keeps one device, so there is always a current one.
  if (fLockDevices || fDevices.size() <= 1 || !Current()) return rcCannotDelete;
  std::vector<TDevice> rest;
  for (size_t i = 0; i < fDevices.size(); ++i) {
    if (i != fCurrent) rest.push_back(fDevices[i].Device);
  }
  if (!fStore.SaveDevices(rest)) return rcCannotDelete;
  fDevices.erase(fDevices.begin() + static_cast<std::ptrdiff_t>(fCurrent));  // closes its port
  if (fCurrent >= fDevices.size()) fCurrent = fDevices.size() - 1;
  fStore.SaveNumber(kCurrentValue, static_cast<DWORD>(fCurrent));
  return rcOk;
}

int32_t TScanerControl::DoDeleteEvent() { return fQueue.DeleteSelected() ? rcOk : rcBadSequence; }

int32_t TScanerControl::DoClearDevices() {
  // Clearing returns to the list of a first start.
  if (fLockDevices) return rcCannotDelete;
  const std::vector<TDevice> defaults = DefaultDevices();
  if (!fStore.SaveDevices(defaults)) return rcCannotDelete;
  fDevices.clear();
  for (const TDevice& device : defaults) fDevices.push_back({device, fNextDeviceId++, nullptr});
  fCurrent = 0;
  fStore.SaveNumber(kCurrentValue, 0);
  return rcOk;
}

HRESULT TScanerControl::AboutBox() {
  const std::wstring text = L"Драйвер сканера штрих-кода Dravix\nВерсия " + ModuleVersion();
  MessageBoxW(GetActiveWindow(), text.c_str(), L"О драйвере", MB_OK | MB_ICONINFORMATION);
  return Done(rcOk);
}

// ---- connection point and class info ------------------------------------------

HRESULT TScanerControl::EnumConnectionPoints(IEnumConnectionPoints** points) {
  return CreateConnectionPointEnum(&fEvents, 0, points);
}

HRESULT TScanerControl::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (riid != DIID_IScanerEvents) return CONNECT_E_NOCONNECTION;
  *point = &fEvents;
  fEvents.AddRef();
  return S_OK;
}

HRESULT TScanerControl::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  return fTypeLib->GetTypeInfoOfGuid(CLSID_Scaner45, info);
}

HRESULT TScanerControl::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *guid = DIID_IScanerEvents;
  return S_OK;
}

// ---- input and events -------------------------------------------------------------

void TScanerControl::TakeInput() {
  for (TInput& input : fInbox->TakeAll()) {
    TDeviceSlot* slot = nullptr;
    for (TDeviceSlot& candidate : fDevices) {
      if (candidate.Id == input.DeviceId) slot = &candidate;
    }
    if (input.Kind == TInput::Lost) {
      if (slot) slot->Reader.reset();  // the port went away: the device is off
      continue;
    }
    const std::wstring device = slot ? slot->Device.Name : std::wstring();
    if (input.Kind == TInput::Key) {
      fQueue.AddKey({device, L"KeyDown", std::to_wstring(static_cast<unsigned char>(input.Bytes.front()))});
      continue;
    }
    TDataEvent event;
    event.Data = FromDevice(input.Bytes);
    event.Device = device;
    if (slot) {
      event.Port = slot->Device.Params.PortNumber;
      if (IsCardReader(slot->Device.Params.Model)) {
        const TTracks tracks = SplitTracks(input.Bytes);
        event.Track1 = FromDevice(tracks.Track1);
        event.Track2 = FromDevice(tracks.Track2);
        event.Track3 = FromDevice(tracks.Track3);
      }
    }
    fQueue.AddData(std::move(event));
  }
  FireWaiting();
}

void TScanerControl::FireWaiting() {
  // A handler that runs a message loop may bring us here again; the outer
  // loop fires what arrives meanwhile, in order.
  if (fFiring) return;
  fFiring = true;
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{fFiring};
  while (const auto next = fQueue.NextToFire()) {
    for (const ComPtr<IDispatch>& sink : fEvents.Sinks()) {
      VARIANT args[3];
      DISPPARAMS params{args, nullptr, 0, 0};
      DISPID id = kDataEventId;
      if (const auto* eventId = std::get_if<int32_t>(&*next)) {
        args[0].vt = VT_I4;
        args[0].lVal = *eventId;
        params.cArgs = 1;
      } else {
        const TKeyEvent& key = std::get<TKeyEvent>(*next);
        id = kKeyEventId;
        // Arguments go in reverse order: Source, Message, Data.
        args[2].vt = args[1].vt = args[0].vt = VT_BSTR;
        args[2].bstrVal = SysAllocString(key.Source.c_str());
        args[1].bstrVal = SysAllocString(key.Message.c_str());
        args[0].bstrVal = SysAllocString(key.Data.c_str());
        params.cArgs = 3;
      }
      sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
      for (UINT i = 0; i < params.cArgs; ++i) VariantClear(&args[i]);
    }
  }
}

}  // namespace dravix::server
