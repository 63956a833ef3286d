// The driver control Scaner45: logical devices, their serial readers, the
// event queue and the result pair, behind the dual interface IScaner714.
// Apartment threaded: every call and every event happens on the thread that
// created it.
#pragma once

#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <vector>

#include "Dravix.h"
#include "driver/core/Codes.h"
#include "driver/core/EventQueue.h"
#include "driver/server/ConnectionPoint.h"
#include "driver/server/Module.h"
#include "driver/server/SerialReader.h"
#include "driver/server/SettingsStore.h"

namespace dravix::server {

class TScanerControl final : public IScaner714, public IConnectionPointContainer, public IProvideClassInfo2 {
 public:
  static HRESULT Create(REFIID riid, void** object);

  // Use Create; public only for std::make_unique.
  TScanerControl();
  ~TScanerControl();
  TScanerControl(const TScanerControl&) = delete;
  TScanerControl& operator=(const TScanerControl&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch, from the embedded type library
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argError) override;

  // IScaner714
  HRESULT STDMETHODCALLTYPE get_ResultCode(LONG* value) override;
  HRESULT STDMETHODCALLTYPE get_ResultDescription(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_CurrentDeviceIndex(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_CurrentDeviceIndex(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_CurrentDeviceNumber(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_CurrentDeviceNumber(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_CurrentDeviceName(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE put_CurrentDeviceName(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_DeviceCount(LONG* value) override;
  HRESULT STDMETHODCALLTYPE get_PortNumber(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_PortNumber(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_BaudRate(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_BaudRate(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_Parity(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_Parity(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_DataBits(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_DataBits(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_StopBits(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_StopBits(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_StopFlag(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_StopFlag(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_LockDevices(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_LockDevices(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_DeviceDescription(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_DeviceEnabled(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_DeviceEnabled(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE get_Model(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_Model(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_AutoDisable(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_AutoDisable(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE get_DataCount(LONG* value) override;
  HRESULT STDMETHODCALLTYPE get_DataEventEnabled(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_DataEventEnabled(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE get_EventNumber(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_EventNumber(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_ScanData(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_Track1(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_Track2(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_Track3(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_PropertyPageEnabled(VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE put_PropertyPageEnabled(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE ShowProperties(LONG* result) override;
  HRESULT STDMETHODCALLTYPE AddDevice(LONG* result) override;
  HRESULT STDMETHODCALLTYPE DeleteDevice(LONG* result) override;
  HRESULT STDMETHODCALLTYPE DeleteEvent(LONG* result) override;
  HRESULT STDMETHODCALLTYPE ClearDevices(LONG* result) override;
  HRESULT STDMETHODCALLTYPE AboutBox() override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override;

  // From the hidden window, on the control's thread.
  void TakeInput();
  void FireWaiting();

 private:
  struct TDeviceSlot {
    TDevice Device;
    uint32_t Id = 0;
    std::unique_ptr<TSerialReader> Reader;  // set while the device is enabled
  };

  HRESULT Init();

  // The result pair is set by every access; these return the HRESULT.
  HRESULT Done(int32_t code);
  template <class F>
  HRESULT Guarded(F&& body);
  TDeviceSlot* Current();
  HRESULT GetParam(TParam p, LONG* value);
  HRESULT PutParam(TParam p, LONG value);
  HRESULT GetEventText(std::wstring TDataEvent::*field, BSTR* value);
  HRESULT Method(LONG* result, int32_t (TScanerControl::*body)());
  int32_t Enable(TDeviceSlot& slot);
  bool SaveDevices();

  int32_t DoShowProperties();
  int32_t DoAddDevice();
  int32_t DoDeleteDevice();
  int32_t DoDeleteEvent();
  int32_t DoClearDevices();

  std::atomic<ULONG> fRefs{1};
  TModuleRef fModule;
  Microsoft::WRL::ComPtr<ITypeLib> fTypeLib;
  Microsoft::WRL::ComPtr<ITypeInfo> fTypeInfo;
  TConnectionPoint fEvents;
  TSettingsStore fStore;
  std::vector<TDeviceSlot> fDevices;
  size_t fCurrent = 0;
  uint32_t fNextDeviceId = 1;
  int32_t fLockDevices = 0;
  bool fPropertyPageEnabled = true;
  TEventQueue fQueue;
  int32_t fResultCode = rcOk;
  bool fFiring = false;
  HWND fWindow = nullptr;
  std::shared_ptr<TInbox> fInbox;
};

}  // namespace dravix::server
